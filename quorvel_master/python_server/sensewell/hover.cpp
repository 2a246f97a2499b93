// Hover for LSPBridge, and what the three jedi request methods share: argument checks,
// position checks, module sync, the script path rule, the signature formatter, the catch-all.
#include "sensewell.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

const char *const PART_SEPARATOR = "\n\n---\n\n";

py::str text(py::handle value) {
  return py::str(py::reinterpret_borrow<py::object>(value));
}
py::str text(const char *value) {
  return py::str(value);
}

// Concatenates the str() of each part, as an f-string would.
template <typename... Parts>
py::str cat(const Parts &...parts) {
  py::list pieces;
  (pieces.append(text(parts)), ...);
  return py::str("").attr("join")(pieces);
}

// One line of Python in a Markdown code fence.
py::str fence(py::handle line) {
  return cat("```python\n", line, "\n```");
}

bool is_one_of(const py::error_already_set &e, std::initializer_list<PyObject *> types) {
  for (PyObject *type : types) {
    if (e.matches(type)) return true;
  }
  return false;
}

// hasattr(): only AttributeError means absent.
bool has_attr(py::handle obj, const char *name) {
  PyObject *value = PyObject_GetAttrString(obj.ptr(), name);
  if (value != nullptr) {
    Py_DECREF(value);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return false;
}

py::object or_empty(py::object value) {
  if (truthy(value)) return value;
  return py::str("");
}

py::object first(py::handle seq) {
  return seq[py::int_(0)];
}

bool compare(py::handle a, py::handle b, int op) {
  int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

bool is_module_name(py::handle path) {
  if (PyUnicode_GET_LENGTH(path.ptr()) == 0) return false;
  py::object sep = global("os").attr("path").attr("sep");
  for (py::object mark : {sep, py::object(py::str("/")), py::object(py::str("\\"))}) {
    int found = PySequence_Contains(path.ptr(), mark.ptr());
    if (found < 0) throw py::error_already_set();
    if (found == 1) return false;
  }
  Py_UCS4 lead = PyUnicode_ReadChar(path.ptr(), 0);
  if (lead == '<' || lead == '.') return false;
  return PyUnicode_IsIdentifier(path.ptr()) == 1;
}

py::object _is_module_name(py::object, py::object path) {
  require_exact(path, &PyUnicode_Type, "path");
  return py::bool_(is_module_name(path));
}

py::object _format_signature(py::object, py::object signature) {
  try {
    py::object full_sig = call_jedi(signature.attr("to_string"));
    py::object paren_idx = full_sig.attr("find")("(");
    if (!compare(paren_idx, py::int_(0), Py_GE)) return full_sig;
    PyObject *from_paren = PySlice_New(paren_idx.ptr(), nullptr, nullptr);
    if (from_paren == nullptr) throw py::error_already_set();
    return full_sig[py::reinterpret_steal<py::object>(from_paren)];
  } catch (py::error_already_set &e) {
    if (!is_one_of(e, {PyExc_AttributeError, PyExc_TypeError})) throw;
  }
  // No text form: rebuild the parameter list from the parameters.
  try {
    py::list params;
    for (py::handle param : signature.attr("params")) {
      params.append(call_jedi(param.attr("to_string")));
    }
    return cat("(", py::str(", ").attr("join")(params), ")");
  } catch (py::error_already_set &e) {
    if (!is_one_of(e, {PyExc_AttributeError, PyExc_TypeError})) throw;
  }
  return py::str("");
}

py::object _get_type_description(py::object, py::object definition, py::object fallback_type) {
  require_exact(fallback_type, &PyUnicode_Type, "fallback_type");
  if (has_attr(definition, "description") && truthy(definition.attr("description"))) {
    return definition.attr("description");
  }
  return fallback_type;
}

py::object _format_compact_hover(py::object self, py::object definition) {
  try {
    py::object name = or_empty(definition.attr("name"));
    py::object def_type = definition.attr("type");
    if (equals(def_type, "function")) {
      try {
        py::object signatures = call_jedi(definition.attr("get_signatures"));
        if (truthy(signatures)) {
          return fence(cat("(function) ", name, self.attr("_format_signature")(first(signatures))));
        }
      } catch (py::error_already_set &e) {
        if (!is_exception(e)) throw;
      }
      return fence(cat("(function) ", name));
    }
    if (equals(def_type, "class")) return fence(cat("(class) ", name));
    if (equals(def_type, "module")) return fence(cat("(module) ", name));
    py::object type_desc = self.attr("_get_type_description")(definition, def_type);
    return fence(cat("(", def_type, ") ", name, ": ", type_desc));
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    log("debug", cat("[LSP] Error formatting compact hover: ", e.value()));
  }
  return py::none();
}

// The full name with its signature or type, then the docstring.
void add_detailed_parts(py::object self, py::object definition, py::list &parts) {
  py::object full_name = definition.attr("full_name");
  if (!truthy(full_name)) full_name = definition.attr("name");
  py::object def_type = definition.attr("type");
  if (equals(def_type, "function")) {
    py::object header = fence(full_name);
    try {
      py::object signatures = call_jedi(definition.attr("get_signatures"));
      if (truthy(signatures)) {
        header = fence(cat(full_name, self.attr("_format_signature")(first(signatures))));
      }
    } catch (py::error_already_set &e) {
      if (!is_exception(e)) throw;
    }
    parts.append(header);
  } else if (equals(def_type, "class")) {
    parts.append(fence(cat("class ", full_name)));
  } else if (equals(def_type, "module")) {
    parts.append(fence(cat("module ", full_name)));
  } else {
    py::object type_desc = self.attr("_get_type_description")(definition, def_type);
    parts.append(fence(cat(full_name, ": ", type_desc)));
  }
  try {
    py::object docstring = call_jedi(definition.attr("docstring"));
    if (truthy(docstring)) parts.append(docstring);
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
  }
}

py::dict hover_result(py::object contents, py::object error) {
  return py::dict("contents"_a = contents, "error"_a = error);
}

py::dict hover_failed(py::object error_msg) {
  return hover_result(py::none(), error_msg);
}

py::dict markdown(py::object value) {
  return py::dict("kind"_a = "markdown", "value"_a = value);
}

// jedi's help() for a cursor where inference finds nothing; never fails the request.
py::dict help_fallback(const Request &req, py::object script) {
  log("debug", "[LSP] infer() returned empty, trying help() as fallback");
  try {
    py::object help_results =
        call_jedi(script.attr("help"), py::dict("line"_a = req.line, "column"_a = req.column));
    if (truthy(help_results)) {
      py::list parts;
      for (py::handle h : help_results) {
        py::object name = or_empty(h.attr("name"));
        py::object desc = py::str("");
        if (has_attr(h, "description")) desc = h.attr("description");
        if (truthy(name) && truthy(desc)) {
          parts.append(fence(cat("(", desc, ") ", name)));
        } else if (truthy(name)) {
          parts.append(fence(name));
        }
        try {
          py::object docstring = call_jedi(h.attr("docstring"));
          if (truthy(docstring)) parts.append(docstring);
        } catch (py::error_already_set &e) {
          if (!is_exception(e)) throw;
        }
      }
      if (truthy(parts)) {
        py::object contents = markdown(py::str(PART_SEPARATOR).attr("join")(parts));
        log("debug", "[LSP] Hover (from help()): found %d results", py::len(help_results));
        return hover_result(contents, py::none());
      }
    }
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    log("debug", "[LSP] help() fallback failed: %s", e.value());
  }
  log("debug", "[LSP] No type information found for hover");
  return hover_result(py::none(), py::none());
}

py::dict hover(const Request &req) {
  check_position(req);
  sync_request_modules(req);
  JediLock lock(req);
  py::object script = open_script(req);
  py::object inferred =
      call_jedi(script.attr("infer"), py::dict("line"_a = req.line, "column"_a = req.column));
  if (!truthy(inferred)) return help_fallback(req, script);

  py::list parts;
  for (py::handle item : inferred) {
    auto definition = py::reinterpret_borrow<py::object>(item);
    // Read per definition: the mode may be switched while a request runs.
    if (equals(req.self.attr("_hover_mode"), "compact")) {
      py::object compact_str = req.self.attr("_format_compact_hover")(definition);
      if (truthy(compact_str)) parts.append(compact_str);
    } else {
      add_detailed_parts(req.self, definition, parts);
    }
  }
  py::object contents_str = py::none();
  if (truthy(parts)) contents_str = py::str(PART_SEPARATOR).attr("join")(parts);
  log("debug", "[LSP] Hover: found %d definitions", py::len(inferred));
  py::object contents = py::none();
  if (truthy(contents_str)) contents = markdown(contents_str);
  return hover_result(contents, py::none());
}

py::dict get_hover(py::object self, py::object code, py::object line, py::object column,
                   py::object path, py::object modules, py::object dirty_files) {
  Request req = accept_request(self, code, line, column, path, modules, dirty_files);
  log("debug", "[LSP] Request: get_hover line=%d, column=%d, path=%s", req.line, req.column,
      req.path);
  return guard_request(
      "get_hover", [&] { return hover(req); }, hover_failed);
}

}  // namespace

bool truthy(py::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

bool is_exception(const py::error_already_set &e) {
  return e.matches(PyExc_Exception);
}

bool equals(py::handle value, const char *str) {
  return compare(value, py::str(str), Py_EQ);
}

Request accept_request(py::object self, py::object code, py::object line, py::object column,
                       py::object path, py::object modules, py::object dirty_files) {
  require_exact(code, &PyUnicode_Type, "code");
  py::int_ line_no = to_int(line, "line");
  py::int_ column_no = to_int(column, "column");
  require_exact_or_none(path, &PyUnicode_Type, "path");
  require_exact_or_none(modules, &PyDict_Type, "modules");
  require_exact_or_none(dirty_files, &PyDict_Type, "dirty_files");
  return Request{self, code, line_no, column_no, path, modules, dirty_files};
}

py::object request_method(const char *name, RequestFn fn, const char *doc) {
  return method(name, fn, doc, py::arg("self"), py::arg("code"), py::arg("line"), py::arg("column"),
                py::arg("path") = py::none(), py::arg("modules") = py::none(),
                py::arg("dirty_files") = py::none());
}

void check_position(const Request &req) {
  // Python ints, so a position beyond any C integer reaches jedi, not an OverflowError.
  if (compare(req.line, py::int_(1), Py_LT)) {
    raise_error(PyExc_ValueError, "line must be a positive integer (1-based)");
  }
  if (compare(req.column, py::int_(0), Py_LT)) {
    raise_error(PyExc_ValueError, "column must be a non-negative integer (0-based)");
  }
}

void sync_request_modules(const Request &req) {
  if (!truthy(req.modules) && !truthy(req.dirty_files)) return;
  py::object modules = truthy(req.modules) ? req.modules : py::dict();
  call_parked(req.self.attr("sync_modules"), py::make_tuple(modules, req.dirty_files));
}

py::object script_path(const Request &req) {
  if (req.path.is_none() || !truthy(req.path)) return py::str("<editor>");
  if (!truthy(req.self.attr("_is_module_name")(req.path))) return req.path;
  // The edited module's own file, so jedi resolves the synced modules beside it.
  py::object path =
      call_parked(global("os").attr("path").attr("join"),
                  py::make_tuple(req.self.attr("_temp_dir").attr("name"), cat(req.path, ".py")));
  note_edited(path);
  return path;
}

py::object open_script(const Request &req, py::object path) {
  if (!path) path = script_path(req);
  note_script(path);
  return call_jedi(
      global("jedi").attr("Script"),
      py::dict("code"_a = req.code, "path"_a = path, "project"_a = req.self.attr("_jedi_project")));
}

CATCHES_FORCED_UNWIND py::dict guard_request(const char *method_name,
                                             const std::function<py::dict()> &body,
                                             py::dict (*failed)(py::object error_msg)) {
  py::object error_msg;
  try {
    return body();
  } catch (py::error_already_set &e) {
    if (is_interruption(e)) {
      error_msg = py::str(interruption_text());
    } else {
      if (!is_exception(e)) throw;
      error_msg = text(e.value());
    }
  } catch (const std::exception &e) {
    // A C++ failure (pybind11 cast, allocation) counts as the request failing too.
    error_msg = py::str(e.what());
  } catch (abi::__forced_unwind &) {
    // Stopped by the interpreter's exit past the parked calls: go no further, where
    // pybind11 would release the call's arguments without the GIL.
    park_forever();
  }
  log("error", ("[LSP] Error in " + std::string(method_name) + ": %s").c_str(), error_msg);
  return failed(error_msg);
}

void init_hover(Methods &methods) {
  methods["_format_signature"] =
      method("_format_signature", _format_signature,
             "LSPBridge._format_signature(self, signature) -> str\n\n"
             "The parameter list of a jedi signature, from its opening parenthesis (with any\n"
             "return annotation), or \"\" when the signature offers neither text nor parameters.",
             py::arg("self"), py::arg("signature"));
  methods["_format_compact_hover"] =
      method("_format_compact_hover", _format_compact_hover,
             "LSPBridge._format_compact_hover(self, definition) -> Optional[str]\n\n"
             "The compact hover line of one jedi definition, fenced as Python, or None when\n"
             "it cannot be built.",
             py::arg("self"), py::arg("definition"));
  methods["_get_type_description"] =
      method("_get_type_description", _get_type_description,
             "LSPBridge._get_type_description(self, definition, fallback_type: str) -> str\n\n"
             "The definition's description when it has a non-empty one, else fallback_type.",
             py::arg("self"), py::arg("definition"), py::arg("fallback_type"));
  methods["_is_module_name"] = method("_is_module_name", _is_module_name,
                                      "LSPBridge._is_module_name(self, path: str) -> bool\n\n"
                                      "Whether path is a bare module name rather than a file path.",
                                      py::arg("self"), py::arg("path"));
  methods["get_hover"] = request_method(
      "get_hover", get_hover,
      "LSPBridge.get_hover(self, code: str, line: int, column: int, path: Optional[str] = None, "
      "modules: Optional[Dict[str, str]] = None, dirty_files: Optional[Dict[str, str]] = None) "
      "-> Dict[str, Any]\n\n"
      "Hover Markdown for the name at the cursor (line 1-based, column 0-based), in the\n"
      "bridge's hover mode, falling back to jedi's help when inference finds nothing.");
}

}  // namespace sensewell
