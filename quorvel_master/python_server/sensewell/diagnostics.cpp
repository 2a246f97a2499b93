// Diagnostics of the edited module: the parser's syntax error alone, or pyflakes' findings
// read back from its text report followed by the unresolved imports, sorted errors first.
#include "sensewell.h"

#include <utility>

namespace sensewell {
namespace {

template <typename... Args>
void log(const char *level, const char *format, Args &&...args) {
  global("logger").attr(level)(format, std::forward<Args>(args)...);
}

bool truthy(py::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

// `value or fallback`, as the parser leaves lineno, offset and msg unset for some errors.
py::object or_else(py::object value, py::object fallback) {
  return truthy(value) ? std::move(value) : std::move(fallback);
}

py::dict marker(py::object line, py::object start, py::object end, py::object message,
                py::object severity) {
  py::dict record;
  record["startLineNumber"] = line;
  record["startColumn"] = std::move(start);
  record["endLineNumber"] = line;
  record["endColumn"] = std::move(end);
  record["message"] = std::move(message);
  record["severity"] = std::move(severity);
  return record;
}

py::object get_diagnostics(py::object self, py::object code, py::object module_name) {
  require_exact(code, &PyUnicode_Type, "code");
  require_exact_or_none(module_name, &PyUnicode_Type, "module_name");
  log("debug", "[LSP] Request: get_diagnostics, code_length=%d", PyUnicode_GET_LENGTH(code.ptr()));
  try {
    py::list diagnostics;
    bool named = !module_name.is_none() && PyUnicode_GET_LENGTH(module_name.ptr()) > 0;
    py::object filename = named ? py::str("<") + module_name + py::str(">") : py::str("<editor>");

    bool syntax_ok = true;
    try {
      global("ast").attr("parse")(code, py::arg("filename") = filename);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_SyntaxError)) throw;
      syntax_ok = false;
      py::object error = e.value();
      py::object lineno = or_else(error.attr("lineno"), py::int_(1));
      py::object offset = or_else(error.attr("offset"), py::int_(1));
      py::object msg = or_else(error.attr("msg"), py::str("Syntax error"));
      diagnostics.append(marker(lineno, offset, offset + py::int_(1), msg,
                                global("MONACO_MARKER_SEVERITY_ERROR")));
      log("debug", "[LSP] Syntax error at line %d, col %d: %s", lineno, offset, msg);
    }

    if (syntax_ok && truthy(global("PYFLAKES_AVAILABLE"))) {
      diagnostics.attr("extend")(self.attr("_run_pyflakes")(code, filename));
    }
    if (syntax_ok) {
      diagnostics.attr("extend")(self.attr("_check_unresolved_imports")(code, module_name));
    }

    // list.sort is stable with reverse=True too, so equal severities keep their order.
    py::object by_severity =
        py::module_::import("operator").attr("methodcaller")("get", "severity", 0);
    diagnostics.attr("sort")(py::arg("key") = by_severity, py::arg("reverse") = true);

    py::dict result;
    result["diagnostics"] = diagnostics;
    result["error"] = py::none();
    return result;
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::str error_msg(e.value());
    log("error", "[LSP] Error in get_diagnostics: %s", error_msg);
    py::dict result;
    result["diagnostics"] = py::list();
    result["error"] = error_msg;
    return result;
  }
}

py::object run_pyflakes(py::object self, py::object code, py::object filename) {
  require_exact(code, &PyUnicode_Type, "code");
  require_exact(filename, &PyUnicode_Type, "filename");
  py::list diagnostics;
  try {
    py::object string_io = global("io").attr("StringIO");
    py::object warning_stream = string_io();
    py::object error_stream = string_io();
    py::object reporter =
        global("pyflakes_reporter").attr("Reporter")(warning_stream, error_stream);
    global("pyflakes_api").attr("check")(code, filename, reporter);

    py::object parse = self.attr("_parse_pyflakes_message");
    const std::pair<py::object *, const char *> streams[] = {
        {&warning_stream, "MONACO_MARKER_SEVERITY_WARNING"},
        {&error_stream, "MONACO_MARKER_SEVERITY_ERROR"},
    };
    for (auto [stream, severity_name] : streams) {
      stream->attr("seek")(0);
      py::object severity = global(severity_name);
      for (py::handle line : *stream) {
        py::object record = parse(line.attr("strip")(), severity);
        if (!record.is_none()) diagnostics.append(record);
      }
    }
    log("debug", "[LSP] Pyflakes returned %d diagnostics", py::len(diagnostics));
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    log("warning", "[LSP] Pyflakes check failed: %s", e.value());
  }
  return diagnostics;
}

py::object parse_pyflakes_message(py::object, py::object message, py::object severity) {
  require_exact(message, &PyUnicode_Type, "message");
  py::int_ level = to_int(severity, "severity");
  if (PyUnicode_GET_LENGTH(message.ptr()) == 0) return py::none();
  try {
    py::object match = global("PYFLAKES_MESSAGE_PATTERN").attr("match")(message);
    if (match.is_none()) return py::none();
    py::tuple groups = match.attr("groups")();
    // int() of the text, as \d also matches digits of other scripts.
    py::object lineno = py::int_(groups[1]);
    py::object column = groups[2];
    py::object colno = !column.is_none() && truthy(column) ? py::object(py::int_(column))
                                                           : py::object(py::int_(1));
    py::object msg = groups[3];
    py::object end_col = colno + py::int_(1);
    // A message that starts with a quoted name gets the name's width.
    py::object quoted = global("re").attr("match")("^'([^']+)'", msg);
    if (!quoted.is_none()) end_col = colno + py::int_(py::len(quoted.attr("group")(1)));
    return marker(lineno, colno, end_col, msg, level);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    log("debug", "[LSP] Failed to parse pyflakes message '%s': %s", message, e.value());
    return py::none();
  }
}

}  // namespace

void init_diagnostics(Methods &methods) {
  methods["get_diagnostics"] = method(
      "get_diagnostics", &get_diagnostics,
      "LSPBridge.get_diagnostics(self, code: str, module_name: Optional[str] = None) -> "
      "Dict[str, Any]\n"
      "\n"
      "Check the text of the module being edited and return its problems as Monaco markers:\n"
      "the parser's syntax error alone when there is one, otherwise pyflakes' findings and\n"
      "the imports that cannot be resolved, errors first.\n"
      "Returns {\"diagnostics\": [...], \"error\": None or the text of the failure}.",
      py::arg("self"), py::arg("code"), py::arg("module_name") = py::none());
  methods["_run_pyflakes"] = method(
      "_run_pyflakes", &run_pyflakes,
      "LSPBridge._run_pyflakes(self, code: str, filename: str) -> List[Dict[str, Any]]\n"
      "\n"
      "Run pyflakes over the text under the given file name and return its findings as\n"
      "Monaco markers: ordinary findings as warnings, the error stream's as errors. A failure\n"
      "of pyflakes is logged and leaves the findings gathered so far.",
      py::arg("self"), py::arg("code"), py::arg("filename"));
  methods["_parse_pyflakes_message"] = method(
      "_parse_pyflakes_message", &parse_pyflakes_message,
      "LSPBridge._parse_pyflakes_message(self, message: str, severity: int) -> "
      "Optional[Dict[str, Any]]\n"
      "\n"
      "Turn one line of pyflakes output (file:line[:column]: text) into a Monaco marker with\n"
      "the given severity, or return None for an empty line or one that is not a message.",
      py::arg("self"), py::arg("message"), py::arg("severity"));
}

}  // namespace sensewell
