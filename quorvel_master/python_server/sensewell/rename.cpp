// Rename for LSPBridge: the edits that give every use of the name at the cursor, in the
// edited text and the synced modules, its new name. Library code is never edited.
#include <vector>

#include "editor.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

py::dict rename_result(py::list edits, py::object error) {
  return py::dict("edits"_a = edits, "error"_a = error);
}

py::dict rename_failed(py::object error_msg) {
  return rename_result(py::list(), error_msg);
}

void check_new_name(py::handle new_name) {
  if (PyUnicode_IsIdentifier(new_name.ptr()) != 1) {
    PyErr_Format(PyExc_ValueError, "%R is not a valid Python identifier", new_name.ptr());
    throw py::error_already_set();
  }
  if (truthy(py::module_::import("keyword").attr("iskeyword")(new_name))) {
    PyErr_Format(PyExc_ValueError, "%R is a Python keyword", new_name.ptr());
    throw py::error_already_set();
  }
}

// The module's own file stands for a module among jedi's references.
bool is_module_file(py::handle name) {
  return py::object(name.attr("line")).equal(py::int_(1)) &&
         py::object(name.attr("column")).equal(py::int_(0)) && equals(name.attr("type"), "module");
}

// The name the cursor is on: the reference in the edited text that the cursor touches.
// `modules` holds each reference's user module (null for library code).
py::object name_at_cursor(const Request &req, const py::list &refs,
                          const std::vector<py::object> &modules) {
  auto line = req.line.cast<long long>();
  auto column = req.column.cast<long long>();
  py::object edited = truthy(req.path) ? req.path : py::object(py::none());
  for (size_t i = 0; i < modules.size(); ++i) {
    py::handle ref = refs[i];
    if (!modules[i] || !modules[i].equal(edited)) continue;
    py::object ref_line = ref.attr("line");
    py::object ref_column = ref.attr("column");
    if (ref_line.is_none() || ref_column.is_none() || ref_line.cast<long long>() != line) continue;
    auto start = ref_column.cast<long long>();
    py::object name = ref.attr("name");
    if (start <= column && column <= start + static_cast<long long>(py::len(name))) return name;
  }
  return py::object();
}

py::dict rename_edits(const Request &req, py::object new_name) {
  check_position(req);
  check_new_name(new_name);
  sync_request_modules(req);
  JediLock lock(req);
  py::object script = open_script(req);
  py::list refs(call_jedi(
      script.attr("get_references"),
      py::dict("line"_a = req.line, "column"_a = req.column, "include_builtins"_a = false)));
  Places places(req, script);
  std::vector<py::object> modules;
  for (py::handle ref : refs) modules.push_back(places.user_module(ref));
  py::object old_name = name_at_cursor(req, refs, modules);
  if (!old_name && truthy(refs)) old_name = refs[0].attr("name");
  py::list edits;
  py::set seen;
  for (size_t i = 0; i < modules.size(); ++i) {
    py::handle ref = refs[i];
    // Other names among the references (the module behind an alias) keep theirs.
    if (!py::object(ref.attr("name")).equal(old_name)) continue;
    py::object module = modules[i];
    // Renaming only the user's side of a library name, or a module but not its file, would
    // leave code that no longer runs.
    if (!module) {
      PyErr_Format(PyExc_ValueError, "Cannot rename %R: it is defined outside the user's modules",
                   old_name.ptr());
      throw py::error_already_set();
    }
    if (is_module_file(ref)) {
      PyErr_Format(PyExc_ValueError, "Cannot rename %R: it names a module", old_name.ptr());
      throw py::error_already_set();
    }
    py::object range = name_range(ref);
    if (!range) continue;
    py::tuple key = py::make_tuple(module, py::tuple(range.attr("values")()));
    if (seen.contains(key)) continue;
    seen.add(key);
    edits.append(py::dict("module"_a = module, "range"_a = range, "text"_a = new_name));
  }
  log("debug", "[LSP] Rename: %d references, %d edits", py::len(refs), py::len(edits));
  return rename_result(edits, py::none());
}

py::dict get_rename_edits(py::object self, py::object code, py::object line, py::object column,
                          py::object new_name, py::object path, py::object modules,
                          py::object dirty_files) {
  Request req = accept_request(self, code, line, column, path, modules, dirty_files);
  require_exact(new_name, &PyUnicode_Type, "new_name");
  log("debug", "[LSP] Request: get_rename_edits line=%d, column=%d, new_name=%s, path=%s", req.line,
      req.column, new_name, req.path);
  return guard_request(
      "get_rename_edits", [&] { return rename_edits(req, new_name); }, rename_failed);
}

}  // namespace

void init_rename(Methods &methods) {
  methods["get_rename_edits"] = method(
      "get_rename_edits", get_rename_edits,
      "LSPBridge.get_rename_edits(self, code: str, line: int, column: int, new_name: str, "
      "path: Optional[str] = None, modules: Optional[Dict[str, str]] = None, "
      "dirty_files: Optional[Dict[str, str]] = None) -> Dict[str, Any]\n\n"
      "The edits that rename the name at the cursor in the edited text and the synced\n"
      "modules: {\"edits\": [{\"module\", \"range\", \"text\"}, ...], \"error\": None}. A new\n"
      "name that is no identifier or is a keyword, or a name defined in library code or\n"
      "naming a module, comes back as the error.",
      py::arg("self"), py::arg("code"), py::arg("line"), py::arg("column"), py::arg("new_name"),
      py::arg("path") = py::none(), py::arg("modules") = py::none(),
      py::arg("dirty_files") = py::none());
}

}  // namespace sensewell
