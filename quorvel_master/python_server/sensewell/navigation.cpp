// Go-to-definition and find-references for LSPBridge: jedi's names as locations in the
// edited text, the synced user modules or library files, with Monaco ranges.
#include "editor.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

// One location per place: jedi may reach the same name along two roads.
class Unique {
 public:
  bool add(const py::dict &location) {
    auto range = location["range"].cast<py::dict>();
    py::tuple key =
        py::make_tuple(py::object(location["module"]), py::object(location["path"]),
                       py::object(range["startLineNumber"]), py::object(range["startColumn"]),
                       py::object(range["endLineNumber"]), py::object(range["endColumn"]));
    if (seen_.contains(key)) return false;
    seen_.add(key);
    return true;
  }

 private:
  py::set seen_;
};

py::dict definitions_result(py::list definitions, py::object error) {
  return py::dict("definitions"_a = definitions, "error"_a = error);
}

py::dict definitions_failed(py::object error_msg) {
  return definitions_result(py::list(), error_msg);
}

py::dict references_result(py::list references, py::object error) {
  return py::dict("references"_a = references, "error"_a = error);
}

py::dict references_failed(py::object error_msg) {
  return references_result(py::list(), error_msg);
}

py::dict definitions(const Request &req) {
  check_position(req);
  sync_request_modules(req);
  JediLock lock(req);
  py::object script = open_script(req);
  py::object found =
      call_jedi(script.attr("goto"),
                py::dict("line"_a = req.line, "column"_a = req.column, "follow_imports"_a = true));
  Places places(req, script);
  Unique unique;
  py::list locations;
  for (py::handle name : found) {
    py::object location = places.location(name);
    if (location && unique.add(location)) locations.append(location);
  }
  log("debug", "[LSP] Definitions: jedi found %d, %d locations returned", py::len(found),
      py::len(locations));
  return definitions_result(locations, py::none());
}

py::dict references(const Request &req) {
  check_position(req);
  sync_request_modules(req);
  JediLock lock(req);
  py::object script = open_script(req);
  py::object found = call_jedi(
      script.attr("get_references"),
      py::dict("line"_a = req.line, "column"_a = req.column, "include_builtins"_a = false));
  Places places(req, script);
  Unique unique;
  py::list locations;
  for (py::handle name : found) {
    // Only the user's own code: library places are not the user's to visit or change.
    py::object module = places.user_module(name);
    if (!module) continue;
    py::object location = places.location(name, module);
    if (location && unique.add(location)) locations.append(location);
  }
  log("debug", "[LSP] References: jedi found %d, %d in the user's modules", py::len(found),
      py::len(locations));
  return references_result(locations, py::none());
}

py::dict get_definitions(py::object self, py::object code, py::object line, py::object column,
                         py::object path, py::object modules, py::object dirty_files) {
  Request req = accept_request(self, code, line, column, path, modules, dirty_files);
  log("debug", "[LSP] Request: get_definitions line=%d, column=%d, path=%s", req.line, req.column,
      req.path);
  return guard_request(
      "get_definitions", [&] { return definitions(req); }, definitions_failed);
}

py::dict get_references(py::object self, py::object code, py::object line, py::object column,
                        py::object path, py::object modules, py::object dirty_files) {
  Request req = accept_request(self, code, line, column, path, modules, dirty_files);
  log("debug", "[LSP] Request: get_references line=%d, column=%d, path=%s", req.line, req.column,
      req.path);
  return guard_request(
      "get_references", [&] { return references(req); }, references_failed);
}

}  // namespace

py::dict monaco_range(py::object start_line, py::object start_column, py::object end_line,
                      py::object end_column) {
  return py::dict("startLineNumber"_a = start_line, "startColumn"_a = start_column,
                  "endLineNumber"_a = end_line, "endColumn"_a = end_column);
}

py::object name_range(py::handle name) {
  py::object line = name.attr("line");
  py::object column = name.attr("column");
  if (line.is_none() || column.is_none()) return py::object();
  py::int_ one(1);
  // A module itself is found at the start of its file, where its name is not written. The
  // position is checked first: jedi works the type out, the position it has.
  if (line.equal(one) && column.equal(py::int_(0)) && equals(name.attr("type"), "module")) {
    return monaco_range(one, one, one, one);
  }
  py::object start = column + one;
  return monaco_range(line, start, line, start + py::int_(py::len(name.attr("name"))));
}

Places::Places(const Request &req, py::handle script) {
  edited_module_ = truthy(req.path) ? req.path : py::none();
  py::object path = script.attr("path");
  script_path_ = path.is_none() ? py::object(py::none()) : fspath(path);
  py::object temp_dir = req.self.attr("_temp_dir");
  temp_dir_ = temp_dir.is_none() ? py::object(py::none()) : py::str(temp_dir.attr("name"));
}

py::object Places::user_module(py::handle name) const {
  py::object module_path = name.attr("module_path");
  if (module_path.is_none()) return py::object();
  py::object file = fspath(module_path);
  if (!script_path_.is_none() && file.equal(script_path_)) return edited_module_;
  if (temp_dir_.is_none() || !PyUnicode_Check(file.ptr())) return py::object();
  // A synced module is "<temp_dir>/<name>.py" (jedi's paths are normalised). Done here on the
  // string: every reference asks, and the calls into os.path cost more than jedi's own
  // look-up of the name.
  Py_ssize_t length = PyUnicode_GetLength(file.ptr());
  Py_ssize_t slash = PyUnicode_FindChar(file.ptr(), '/', 0, length, -1);
  if (slash < 0 ||
      PyUnicode_Tailmatch(file.ptr(), py::str(".py").ptr(), slash + 1, length, 1) != 1 ||
      !py::object(file[py::slice(0, slash, 1)]).equal(temp_dir_)) {
    return py::object();
  }
  return file[py::slice(slash + 1, length - 3, 1)];
}

py::object Places::location(py::handle name, py::object module) const {
  py::object range = name_range(name);
  if (!range) return py::object();
  if (!module) module = user_module(name);
  if (module) return py::dict("module"_a = module, "path"_a = py::none(), "range"_a = range);
  py::object module_path = name.attr("module_path");
  if (module_path.is_none()) return py::object();
  return py::dict("module"_a = py::none(), "path"_a = fspath(module_path), "range"_a = range);
}

void init_navigation(Methods &methods) {
  methods["get_definitions"] = request_method(
      "get_definitions", get_definitions,
      "LSPBridge.get_definitions(self, code: str, line: int, column: int, "
      "path: Optional[str] = None, modules: Optional[Dict[str, str]] = None, "
      "dirty_files: Optional[Dict[str, str]] = None) -> Dict[str, Any]\n\n"
      "Where the name at the cursor (line 1-based, column 0-based) is defined, following\n"
      "imports to the defining module: {\"definitions\": [{\"module\", \"path\", \"range\"}, "
      "...],\n"
      "\"error\": None}. \"module\" names a user module (the edited text's own path, None\n"
      "when it has none); \"path\" is the file of library code.");
  methods["get_references"] = request_method(
      "get_references", get_references,
      "LSPBridge.get_references(self, code: str, line: int, column: int, "
      "path: Optional[str] = None, modules: Optional[Dict[str, str]] = None, "
      "dirty_files: Optional[Dict[str, str]] = None) -> Dict[str, Any]\n\n"
      "Every use of the name at the cursor in the edited text and the synced modules:\n"
      "{\"references\": [{\"module\", \"path\": None, \"range\"}, ...], \"error\": None}.");
}

}  // namespace sensewell
