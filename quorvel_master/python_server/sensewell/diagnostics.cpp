// Diagnostics of the edited module: the parser's syntax error alone, or pyflakes' findings
// read back from its text report followed by the unresolved imports, sorted errors first.
#include "sensewell.h"

#include <utility>

using namespace pybind11::literals;

namespace sensewell {
namespace {

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
  // Failures are only recorded in the handlers; the logging runs after them, where a thread
  // stopped by the interpreter's exit can still be parked.
  py::object failure;
  try {
    py::list diagnostics;
    bool named = !module_name.is_none() && PyUnicode_GET_LENGTH(module_name.ptr()) > 0;
    py::object filename = named ? py::str("<") + module_name + py::str(">") : py::str("<editor>");

    bool syntax_ok = true;
    py::object error;
    try {
      call_parked(global("ast").attr("parse"), py::make_tuple(code),
                  py::dict("filename"_a = filename));
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_SyntaxError)) throw;
      syntax_ok = false;
      error = e.value();
    }
    if (!syntax_ok) {
      py::object lineno = or_else(error.attr("lineno"), py::int_(1));
      py::object offset = or_else(error.attr("offset"), py::int_(1));
      py::object msg = or_else(error.attr("msg"), py::str("Syntax error"));
      diagnostics.append(marker(lineno, offset, offset + py::int_(1), msg,
                                global("MONACO_MARKER_SEVERITY_ERROR")));
      log("debug", "[LSP] Syntax error at line %d, col %d: %s", lineno, offset, msg);
    }

    if (syntax_ok && truthy(global("PYFLAKES_AVAILABLE"))) {
      diagnostics.attr("extend")(
          call_parked(self.attr("_run_pyflakes"), py::make_tuple(code, filename)));
    }
    if (syntax_ok) {
      diagnostics.attr("extend")(
          call_parked(self.attr("_check_unresolved_imports"), py::make_tuple(code, module_name)));
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
    failure = e.value();
  }
  py::str error_msg(failure);
  log("error", "[LSP] Error in get_diagnostics: %s", error_msg);
  py::dict result;
  result["diagnostics"] = py::list();
  result["error"] = error_msg;
  return result;
}

py::object run_pyflakes(py::object self, py::object code, py::object filename) {
  require_exact(code, &PyUnicode_Type, "code");
  require_exact(filename, &PyUnicode_Type, "filename");
  py::list diagnostics;
  py::object failure;
  try {
    py::object string_io = global("io").attr("StringIO");
    py::object warning_stream = string_io();
    py::object error_stream = string_io();
    py::object reporter = call_parked(global("pyflakes_reporter").attr("Reporter"),
                                      py::make_tuple(warning_stream, error_stream));
    call_parked(global("pyflakes_api").attr("check"), py::make_tuple(code, filename, reporter));

    py::object parse = self.attr("_parse_pyflakes_message");
    const std::pair<py::object *, const char *> streams[] = {
        {&warning_stream, "MONACO_MARKER_SEVERITY_WARNING"},
        {&error_stream, "MONACO_MARKER_SEVERITY_ERROR"},
    };
    for (auto [stream, severity_name] : streams) {
      stream->attr("seek")(0);
      py::object severity = global(severity_name);
      for (py::handle line : *stream) {
        py::object record = call_parked(parse, py::make_tuple(line.attr("strip")(), severity));
        if (!record.is_none()) diagnostics.append(record);
      }
    }
    log("debug", "[LSP] Pyflakes returned %d diagnostics", py::len(diagnostics));
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    failure = e.value();
  }
  if (failure) log("warning", "[LSP] Pyflakes check failed: %s", failure);
  return diagnostics;
}

py::object parse_pyflakes_message(py::object, py::object message, py::object severity) {
  require_exact(message, &PyUnicode_Type, "message");
  py::int_ level = to_int(severity, "severity");
  if (PyUnicode_GET_LENGTH(message.ptr()) == 0) return py::none();
  py::object failure;
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
    py::object quoted = call_parked(global("re").attr("match"), py::make_tuple("^'([^']+)'", msg));
    if (!quoted.is_none()) end_col = colno + py::int_(py::len(quoted.attr("group")(1)));
    return marker(lineno, colno, end_col, msg, level);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    failure = e.value();
  }
  log("debug", "[LSP] Failed to parse pyflakes message '%s': %s", message, failure);
  return py::none();
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
