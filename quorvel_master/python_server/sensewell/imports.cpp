// The unresolved-import check: every import statement of the text, at any nesting level,
// whose module the kernel, the synced user modules or the import system cannot resolve.
#include "sensewell.h"

#include <utility>
#include <vector>

namespace sensewell {
namespace {

// getattr that reports a missing field as null, as ast.iter_fields skips those.
py::object field_or_null(py::handle node, py::handle name) {
  PyObject *value = PyObject_GetAttr(node.ptr(), name.ptr());
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
  }
  return py::reinterpret_steal<py::object>(value);
}

// Walks the tree in ast.walk's breadth-first order, visiting only the nodes that can hold
// statements: imports are statements, and no expression contains one, so pruning the rest
// keeps the order of the statements while skipping most of the tree.
class StatementWalk {
 public:
  explicit StatementWalk(py::handle ast)
      : containers_(py::make_tuple(ast.attr("mod"), ast.attr("stmt"), ast.attr("excepthandler"),
                                   ast.attr("match_case"))),
        fields_("_fields") {}

  template <typename Visit>
  void run(py::object tree, Visit &&visit) {
    std::vector<py::object> queue;
    queue.push_back(std::move(tree));
    for (size_t next = 0; next < queue.size(); ++next) {
      py::object node = queue[next];
      visit(node);
      for (py::handle name : py::reinterpret_steal<py::object>(fields_of(node))) {
        py::object value = field_or_null(node, name);
        if (!value) continue;
        if (PyList_Check(value.ptr())) {
          for (py::handle item : value) {
            if (is_instance(item, containers_))
              queue.push_back(py::reinterpret_borrow<py::object>(item));
          }
        } else if (is_instance(value, containers_)) {
          queue.push_back(std::move(value));
        }
      }
      queue[next] = py::object();  // visited nodes need not outlive their turn
    }
  }

 private:
  PyObject *fields_of(py::handle node) {
    PyObject *fields = PyObject_GetAttr(node.ptr(), fields_.ptr());
    if (fields == nullptr) throw py::error_already_set();
    return fields;
  }

  py::tuple containers_;
  py::str fields_;
};

py::object check_unresolved_imports(py::object self, py::object code, py::object module_name) {
  require_exact(code, &PyUnicode_Type, "code");
  require_exact_or_none(module_name, &PyUnicode_Type, "module_name");
  py::list diagnostics;
  // Failures are only recorded in the handler; the logging runs after it, where a thread
  // stopped by the interpreter's exit can still be parked.
  py::object failure;
  try {
    py::object ast = global("ast");
    py::object tree;
    try {
      tree = call_parked(ast.attr("parse"), py::make_tuple(code));
    } catch (py::error_already_set &e) {
      // Syntax errors are the parser's diagnostic, reported on their own.
      if (e.matches(PyExc_SyntaxError)) return diagnostics;
      throw;
    }
    py::object import_type = ast.attr("Import");
    py::object import_from_type = ast.attr("ImportFrom");
    py::object can_resolve = self.attr("_can_resolve_import");
    py::object severity = global("MONACO_MARKER_SEVERITY_ERROR");
    py::str dotted_name("name");

    StatementWalk(ast).run(std::move(tree), [&](py::handle node) {
      std::vector<py::object> names;
      if (is_instance(node, import_type)) {
        for (py::handle alias : node.attr("names")) names.push_back(alias.attr(dotted_name));
      } else if (is_instance(node, import_from_type)) {
        // The relative level plays no part; `from . import x` names no module to check.
        py::object module = node.attr("module");
        if (!module.is_none() && truthy(module)) names.push_back(std::move(module));
      }
      py::dict range;  // the whole statement, shared by all of its unresolved names
      for (py::object &name : names) {
        if (truthy(call_parked(can_resolve, py::make_tuple(name)))) continue;
        if (range.empty()) {
          py::object lineno = node.attr("lineno");
          py::object col_offset = node.attr("col_offset");
          py::object end_lineno = node.attr("end_lineno");
          py::object end_col_offset = node.attr("end_col_offset");
          range["startLineNumber"] = lineno;
          range["startColumn"] = col_offset + py::int_(1);
          range["endLineNumber"] = truthy(end_lineno) ? end_lineno : lineno;
          range["endColumn"] = (truthy(end_col_offset) ? end_col_offset : col_offset) + py::int_(1);
        }
        py::dict record = py::reinterpret_steal<py::dict>(PyDict_Copy(range.ptr()));
        if (!record) throw py::error_already_set();
        record["message"] = py::str("import '") + name + py::str("' could not be resolved");
        record["severity"] = severity;
        diagnostics.append(record);
      }
    });
    log("debug", "[LSP] Import check found %d unresolved imports", py::len(diagnostics));
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    failure = e.value();
  }
  if (failure) log("warning", "[LSP] Import check failed: %s", failure);
  return diagnostics;
}

// What the import system's finders report for `name` in the search locations `locations`
// (None: the top level), found without importing or running anything of the module or its parents.
py::object find_without_import(py::handle name, py::handle locations) {
  py::object sys = global("sys");
  py::object path_finder = py::module_::import("importlib.machinery").attr("PathFinder");
  for (py::handle finder : py::list(sys.attr("meta_path"))) {
    py::object spec;
    if (finder.is(path_finder)) {
      // PathFinder.find_spec wraps a namespace package's portions in a path object that reads
      // the parent's __path__ from sys.modules, which a parent not imported lacks; the search
      // it wraps needs no parent object.
      py::object search =
          locations.is_none() ? sys.attr("path") : py::reinterpret_borrow<py::object>(locations);
      spec = call_parked(path_finder.attr("_get_spec"), py::make_tuple(name, search));
      if (!spec.is_none() && spec.attr("loader").is_none() &&
          !truthy(spec.attr("submodule_search_locations"))) {
        spec = py::none();
      }
    } else {
      py::object find = py::getattr(finder, "find_spec", py::none());
      if (find.is_none()) continue;
      spec = call_parked(find, py::make_tuple(name, locations, py::none()));
    }
    if (!spec.is_none()) return spec;
  }
  return py::none();
}

// Whether a dotted name can be found. Parents already imported are used as they are; the
// others are only searched for, since importing one runs its package code in the kernel.
bool find_dotted(py::handle module_name) {
  py::object modules = global("sys").attr("modules");
  py::list parts = py::reinterpret_borrow<py::str>(module_name).attr("split")(".");
  size_t count = py::len(parts);
  bool parents_imported = true;
  py::object locations = py::none();
  py::object name = parts[0];
  for (size_t i = 0; i + 1 < count; ++i) {
    if (i > 0) name = name + py::str(".") + parts[i];
    if (!truthy(parts[i])) return false;  // "a..b", ".a": no module has an empty name part
    PyObject *loaded = PyDict_GetItemWithError(modules.ptr(), name.ptr());
    if (loaded == nullptr && PyErr_Occurred()) throw py::error_already_set();
    if (loaded != nullptr) {
      // None marks an import that is blocked; a module without __path__ is no package.
      if (loaded == Py_None) return false;
      locations = py::reinterpret_borrow<py::object>(loaded).attr("__path__");
      continue;
    }
    parents_imported = false;
    py::object spec = find_without_import(name, locations);
    if (spec.is_none()) return false;
    locations = spec.attr("submodule_search_locations");
    if (locations.is_none()) return false;
  }
  if (!truthy(parts[count - 1])) return false;
  if (!parents_imported) return !find_without_import(module_name, locations).is_none();
  // With every parent imported, find_spec imports nothing.
  py::object spec =
      call_parked(global("importlib").attr("util").attr("find_spec"), py::make_tuple(module_name));
  return !spec.is_none();
}

py::object can_resolve_import(py::object self, py::object module_name) {
  require_exact(module_name, &PyUnicode_Type, "module_name");
  try {
    int loaded = PySequence_Contains(global("sys").attr("modules").ptr(), module_name.ptr());
    if (loaded < 0) throw py::error_already_set();
    if (loaded) return py::bool_(true);

    py::object temp_dir = self.attr("_temp_dir");
    if (!temp_dir.is_none()) {
      // Synced user modules are flat files, so a dotted name only matches a dotted file name.
      py::object path = global("os").attr("path");
      py::object temp_module_path = call_parked(
          path.attr("join"), py::make_tuple(temp_dir.attr("name"), module_name + py::str(".py")));
      if (truthy(call_parked(path.attr("exists"), py::make_tuple(temp_module_path)))) {
        return py::bool_(true);
      }
    }

    if (PyUnicode_FindChar(module_name.ptr(), '.', 0, PyUnicode_GET_LENGTH(module_name.ptr()), 1) >=
        0) {
      return py::bool_(find_dotted(module_name));
    }
    py::object spec = call_parked(global("importlib").attr("util").attr("find_spec"),
                                  py::make_tuple(module_name));
    return py::bool_(!spec.is_none());
  } catch (py::error_already_set &e) {
    // ModuleNotFoundError is an ImportError; a parent that is no package raises it too.
    if (e.matches(PyExc_ImportError) || e.matches(PyExc_ValueError) ||
        e.matches(PyExc_AttributeError)) {
      return py::bool_(false);
    }
    throw;
  }
}

}  // namespace

void init_imports(Methods &methods) {
  methods["_check_unresolved_imports"] = method(
      "_check_unresolved_imports", &check_unresolved_imports,
      "LSPBridge._check_unresolved_imports(self, code: str, module_name: Optional[str] = None) "
      "-> List[Dict[str, Any]]\n"
      "\n"
      "Report every import statement whose module cannot be resolved as an error marker over\n"
      "the whole statement, outer levels first; a text that does not parse gives no findings.\n"
      "module_name is accepted and not used.",
      py::arg("self"), py::arg("code"), py::arg("module_name") = py::none());
  methods["_can_resolve_import"] = method(
      "_can_resolve_import", &can_resolve_import,
      "LSPBridge._can_resolve_import(self, module_name: str) -> bool\n"
      "\n"
      "Whether the dotted module name is loaded in the kernel, is a user module synced to the\n"
      "temporary directory, or can be found by the import system. Parent packages that are\n"
      "not imported are searched for, never imported.",
      py::arg("self"), py::arg("module_name"));
}

}  // namespace sensewell
