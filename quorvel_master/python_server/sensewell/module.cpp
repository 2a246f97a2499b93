// Module initialisation of sensewell: multi-phase init, the imports and optional
// libraries, the shared constants, and LSPBridge with its methods in their fixed order.
#include "sensewell.h"

namespace sensewell {
namespace {

const char *const MODULE_DOC =
    "LSP bridge for the Quorvel code editor.\n"
    "\n"
    "Provides LSP-like language features for the Monaco editor, built on python-lsp-server\n"
    "internals and jedi:\n"
    "- code completion, with detailed logging of every request and response\n"
    "- signature help\n"
    "- diagnostics through ast.parse and pyflakes\n"
    "- hover, with room for go-to-definition\n"
    "\n"
    "Every request and response is logged with the \"[LSP] \" prefix, and results are mapped\n"
    "to Monaco editor formats. A jedi.Project gives cross-module resolution; names that\n"
    "start with an underscore are only offered once an underscore is typed; \"dirty files\"\n"
    "(unsaved editor content) are taken into account.\n";

const char *const BRIDGE_DOC =
    "Bridge that provides LSP-like functionality on top of pylsp and jedi.\n"
    "\n"
    "Every interaction is logged with the \"[LSP] \" prefix.\n"
    "\n"
    "Sync-to-Disk strategy: the user's modules live in the kernel's memory, but jedi only\n"
    "resolves imports against files. The bridge owns a private temporary directory, makes it\n"
    "the root of its jedi.Project and writes each user module there as <name>.py before\n"
    "analysis, so that imports between the user's modules resolve.\n";

// The order in which the class defines its methods.
const char *const METHOD_ORDER[] = {
    "__init__",
    "preload_quorvel_module",
    "preload_quorvel_module_async",
    "cleanup",
    "set_hover_mode",
    "update_sys_paths",
    "_get_word_prefix",
    "_format_signature",
    "_format_compact_hover",
    "_get_type_description",
    "_is_module_name",
    "sync_modules",
    "delete_module",
    "get_completions",
    "set_workspace",
    "get_signature_help",
    "get_hover",
    "get_diagnostics",
    "_run_pyflakes",
    "_parse_pyflakes_message",
    "_check_unresolved_imports",
    "_can_resolve_import",
    // The editor requests added after the original ones.
    "get_definitions",
    "get_references",
    "get_document_symbols",
    "get_rename_edits",
    "get_code_actions",
    "get_markers",
    "_fill_completion_store",
};

// `from package import name`: a missing name is an ImportError, as the statement makes it.
py::object import_from(py::handle package, const char *name) {
  try {
    return package.attr(name);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_AttributeError)) throw;
  }
  py::object package_name = package.attr("__name__");
  py::object modules = py::module_::import("sys").attr("modules");
  py::object full = package_name + py::str(".") + py::str(name);
  if (modules.contains(full)) return modules[full];
  py::object file = py::getattr(package, "__file__", py::none());
  PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%S' (%S)", name,
               package_name.ptr(), file.is_none() ? py::str("unknown location").ptr() : file.ptr());
  throw py::error_already_set();
}

// Binds an optional library's names one by one; an ImportError leaves the flag False and
// whatever was bound before it.
bool bind_optional(py::module_ &m,
                   std::initializer_list<std::pair<const char *, const char *>> names) {
  try {
    for (auto [global, spec] : names) {
      // "pkg:name" reads as `from pkg import name`; a bare path as `import path`.
      std::string path = spec;
      auto colon = path.find(':');
      if (colon == std::string::npos) {
        m.attr(global) = py::module_::import(path.c_str());
        continue;
      }
      std::string name = path.substr(colon + 1);
      py::object mod = py::module_::import("builtins")
                           .attr("__import__")(path.substr(0, colon), py::none(), py::none(),
                                               py::make_tuple(name));
      m.attr(global) = import_from(mod, name.c_str());
    }
    return true;
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ImportError)) throw;
    return false;
  }
}

// Top-level names of the modules in sys.modules.
py::set top_level_modules() {
  py::set names;
  for (auto name : py::module_::import("sys").attr("modules")) {
    names.add(py::str(name).attr("partition")(".")[py::int_(0)]);
  }
  return names;
}

void populate(py::module_ &m) {
  state().module = m;
  py::set before = top_level_modules();
  for (const char *name :
       {"ast", "importlib", "io", "logging", "os", "re", "sys", "tempfile", "threading"}) {
    if (std::string(name) == "importlib") py::module_::import("importlib.util");
    m.attr(name) = py::module_::import(name);
  }
  py::module_ typing = py::module_::import("typing");
  for (const char *name : {"Any", "Dict", "List", "Optional"}) m.attr(name) = typing.attr(name);

  m.attr("jedi") = py::module_::import("jedi");
  m.attr("PYFLAKES_AVAILABLE") = py::bool_(bind_optional(
      m, {{"pyflakes_api", "pyflakes.api"}, {"pyflakes_reporter", "pyflakes.reporter"}}));
  m.attr("PYLSP_AVAILABLE") =
      py::bool_(bind_optional(m, {{"uris", "pylsp:uris"},
                                  {"Config", "pylsp.config.config:Config"},
                                  {"Workspace", "pylsp.workspace:Workspace"},
                                  {"Document", "pylsp.workspace:Document"}}));

  // The product's logging module lives two package levels up.
  py::object logging_config = py::module_::import("importlib")
                                  .attr("import_module")("..logging_config", m.attr("__package__"));
  m.attr("setup_logging_subprocess") = import_from(logging_config, "setup_logging_subprocess");
  m.attr("get_logger") = import_from(logging_config, "get_logger");
  m.attr("logger") = m.attr("get_logger")(m.attr("__name__"));
  // What the bridge itself needs is not what the kernel's user works with.
  state().own_packages = top_level_modules().attr("difference")(before);

  py::dict kinds;
  for (auto [type, kind] : {std::pair{"function", 1},
                            {"class", 5},
                            {"module", 7},
                            {"property", 8},
                            {"instance", 4},
                            {"param", 4},
                            {"statement", 4},
                            {"keyword", 13},
                            {"path", 17}}) {
    kinds[type] = kind;
  }
  m.attr("JEDI_TO_MONACO_KIND") = kinds;
  m.attr("MONACO_MARKER_SEVERITY_ERROR") = 8;
  m.attr("MONACO_MARKER_SEVERITY_WARNING") = 4;
  py::object compile = m.attr("re").attr("compile");
  m.attr("PYFLAKES_MESSAGE_PATTERN") = compile(R"(^(.+?):(\d+)(?::(\d+))?:\s*(.+)$)");
  m.attr("IMPORT_ALIAS_PATTERN") = compile(
      R"(^\s*(import\s+[\w.]+\s+as(\s+\w*)?|from\s+[\w.]+\s+import\s+[\w.]+\s+as(\s+\w*)?)$)");

  Methods methods;
  init_lifecycle(methods);
  init_hover(methods);
  init_completions(methods);
  init_signature_help(methods);
  init_diagnostics(methods);
  init_imports(methods);
  init_navigation(methods);
  init_symbols(methods);
  init_rename(methods);
  init_code_actions(methods);
  init_markers(methods);

  // The namespace in the class's definition order.
  ClassBuilder cls("LSPBridge", BRIDGE_DOC);
  for (const char *name : METHOD_ORDER) {
    auto it = methods.find(name);
    if (it != methods.end()) cls.add(name, it->second);
  }
  m.attr("LSPBridge") = cls.build(py::make_tuple(
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBaseObject_Type))));
}

}  // namespace

State &state() {
  static State *s = new State();
  return *s;
}

}  // namespace sensewell

// What the shared helpers compiled into this module know of it.
const char *pyglue::home_name() {
  return sensewell::MODULE_NAME;
}
py::handle pyglue::home_module() {
  return sensewell::state().module;
}

extern "C" PYBIND11_EXPORT PyObject *PyInit_sensewell() {
  return pyglue::module_init(
      "sensewell", sensewell::MODULE_DOC, &sensewell::populate,
      "sensewell is already initialised in this process and cannot be loaded "
      "again (no re-import, reload or subinterpreter); keep using the first "
      "module");
}
