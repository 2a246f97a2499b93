// Precise markers for LSPBridge: get_diagnostics' findings in its order, each narrowed to the
// name it is about and marked with its kind, its source and Monaco's tags.
#include <utility>

#include "editor.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

constexpr int TAG_UNNECESSARY = 1;  // Monaco's MarkerTag.Unnecessary: drawn faded

py::object or_else(py::object value, py::object fallback) {
  return truthy(value) ? std::move(value) : std::move(fallback);
}

void describe(py::dict &marker, const char *code, const char *source, bool unnecessary = false) {
  marker["code"] = code;
  marker["source"] = source;
  py::list tags;
  if (unnecessary) tags.append(TAG_UNNECESSARY);
  marker["tags"] = tags;
}

py::object filename_for(py::handle module_name) {
  bool named = !module_name.is_none() && PyUnicode_GET_LENGTH(module_name.ptr()) > 0;
  return named ? py::str("<") + py::reinterpret_borrow<py::object>(module_name) + py::str(">")
               : py::object(py::str("<editor>"));
}

// Where `needle` stands as a whole name in line `line` (1-based) of `lines` from column
// `from` (0-based): the 1-based start column, or null. `before` is the class of characters
// that may not precede it.
py::object find_name(py::handle lines, long long line, py::handle from, py::handle needle,
                     const char *before) {
  if (line < 1 || line > static_cast<long long>(py::len(lines))) return py::object();
  py::object re = global("re");
  py::object pattern = py::str("(?<![{}]){}(?!\\w)").format(before, re.attr("escape")(needle));
  py::object found = re.attr("compile")(pattern).attr("search")(
      py::reinterpret_borrow<py::object>(lines)[py::int_(line - 1)], from);
  if (found.is_none()) return py::object();
  return found.attr("start")() + py::int_(1);
}

void narrow(py::dict &marker, py::handle line, py::handle start, py::handle needle) {
  marker["startLineNumber"] = line;
  marker["endLineNumber"] = line;
  marker["startColumn"] = start;
  marker["endColumn"] = py::reinterpret_borrow<py::object>(start) + py::int_(py::len(needle));
}

// An import statement's marker narrowed to the module name it could not resolve.
py::dict import_marker(py::dict record, py::handle lines) {
  py::object quoted = global("re").attr("search")("'([^']+)'", record["message"]);
  if (!quoted.is_none()) {
    py::object module = quoted.attr("group")(1);
    auto first = record["startLineNumber"].cast<long long>();
    auto last = record["endLineNumber"].cast<long long>();
    for (long long line = first; line <= last; ++line) {
      py::object from =
          line == first ? py::object(record["startColumn"]) - py::int_(1) : py::object(py::int_(0));
      py::object start = find_name(lines, line, from, module, "\\w");
      if (start) {
        narrow(record, py::int_(line), start, module);
        break;
      }
    }
  }
  describe(record, "UnresolvedImport", "imports");
  return record;
}

py::dict markers_result(py::list markers, py::object error) {
  return py::dict("markers"_a = markers, "error"_a = error);
}

py::object get_markers(py::object self, py::object code, py::object module_name) {
  require_exact(code, &PyUnicode_Type, "code");
  require_exact_or_none(module_name, &PyUnicode_Type, "module_name");
  log("debug", "[LSP] Request: get_markers, code_length=%d", PyUnicode_GET_LENGTH(code.ptr()));
  return guard_request(
      "get_markers",
      [&] {
        Findings findings = find_problems(self, code, module_name);
        py::list markers;
        if (findings.syntax_marker) {
          markers.append(findings.syntax_marker);
        } else {
          py::list lines = split_lines(code);
          for (py::handle message : findings.messages) {
            py::object marker = pyflakes_marker(self, message, lines);
            if (!marker.is_none()) markers.append(marker);
          }
          markers.attr("extend")(findings.error_markers);
          py::object records = call_parked(self.attr("_check_unresolved_imports"),
                                           py::make_tuple(code, module_name));
          for (py::handle record : records) {
            markers.append(import_marker(py::reinterpret_borrow<py::dict>(record), lines));
          }
        }
        // Errors first, equal severities in the order found, as get_diagnostics sorts.
        py::object by_severity =
            py::module_::import("operator").attr("methodcaller")("get", "severity", 0);
        markers.attr("sort")(py::arg("key") = by_severity, py::arg("reverse") = true);
        log("debug", "[LSP] Markers: %d found", py::len(markers));
        return markers_result(markers, py::none());
      },
      [](py::object error_msg) { return markers_result(py::list(), error_msg); });
}

}  // namespace

py::list split_lines(py::handle code) {
  return global("re").attr("split")("\r\n|\r|\n", code);
}

Findings find_problems(py::object self, py::object code, py::object module_name) {
  Findings findings;
  py::object filename = filename_for(module_name);
  try {
    findings.tree = call_parked(global("ast").attr("parse"), py::make_tuple(code),
                                py::dict("filename"_a = filename));
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_SyntaxError)) throw;
    py::object error = e.value();
    py::object lineno = or_else(error.attr("lineno"), py::int_(1));
    py::object offset = or_else(error.attr("offset"), py::int_(1));
    py::object msg = or_else(error.attr("msg"), py::str("Syntax error"));
    py::dict marker = monaco_range(lineno, offset, lineno, offset + py::int_(1));
    marker["message"] = msg;
    marker["severity"] = global("MONACO_MARKER_SEVERITY_ERROR");
    describe(marker, Py_TYPE(error.ptr())->tp_name, "syntax");
    findings.syntax_marker = marker;
    return findings;
  }
  if (!truthy(global("PYFLAKES_AVAILABLE"))) return findings;
  py::object failure;
  try {
    py::object string_io = global("io").attr("StringIO");
    py::object warning_stream = string_io();
    py::object error_stream = string_io();
    py::object reporter = call_parked(global("pyflakes_reporter").attr("Reporter"),
                                      py::make_tuple(warning_stream, error_stream));
    // The report's message objects themselves, in the order the text report would list them.
    reporter.attr("flake") = findings.messages.attr("append");
    call_parked(global("pyflakes_api").attr("check"), py::make_tuple(code, filename, reporter));
    error_stream.attr("seek")(0);
    py::object parse = self.attr("_parse_pyflakes_message");
    py::object severity = global("MONACO_MARKER_SEVERITY_ERROR");
    for (py::handle line : error_stream) {
      py::object record = call_parked(parse, py::make_tuple(line.attr("strip")(), severity));
      if (record.is_none()) continue;
      auto marker = record.cast<py::dict>();
      describe(marker, "SyntaxError", "pyflakes");
      findings.error_markers.append(marker);
    }
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    failure = e.value();
  }
  if (failure) log("warning", "[LSP] Pyflakes check failed: %s", failure);
  return findings;
}

py::object pyflakes_marker(py::object self, py::handle message, py::handle lines) {
  py::str text(py::reinterpret_borrow<py::object>(message));
  py::object record =
      call_parked(self.attr("_parse_pyflakes_message"),
                  py::make_tuple(text.attr("strip")(), global("MONACO_MARKER_SEVERITY_WARNING")));
  if (record.is_none()) return record;
  auto marker = record.cast<py::dict>();
  std::string kind = py::str(message.attr("__class__").attr("__name__"));
  bool unused_import = kind == "UnusedImport";
  bool unnecessary = unused_import || kind == "UnusedVariable" || kind == "UnusedAnnotation";

  py::object quoted = global("re").attr("search")("'([^']+)'", marker["message"]);
  if (!quoted.is_none()) {
    py::object name = quoted.attr("group")(1);
    py::list candidates;
    candidates.append(name);
    if (unused_import) {
      // pyflakes names `from m import a as b` "m.a as b" and `from m import a` "m.a".
      py::list parts = name.attr("split")(" as ", 1);
      py::object real = parts[py::int_(0)].attr("rsplit")(".", 1)[py::int_(-1)];
      if (py::len(parts) == 2) {
        candidates.append(real + py::str(" as ") + parts[py::int_(1)]);
        candidates.append(parts[py::int_(1)]);
      } else {
        candidates.append(real);
      }
    }
    py::object line = marker["startLineNumber"];
    py::object from = py::object(marker["startColumn"]) - py::int_(1);
    for (py::handle candidate : candidates) {
      py::object start = find_name(lines, line.cast<long long>(), from, candidate, "\\w.");
      if (start) {
        narrow(marker, line, start, candidate);
        break;
      }
    }
  }
  describe(marker, kind.c_str(), "pyflakes", unnecessary);
  return marker;
}

bool marker_at(py::handle marker, py::handle line, py::handle column) {
  auto at = py::reinterpret_borrow<py::object>(marker);
  auto l = py::cast<long long>(line);
  auto c = py::cast<long long>(column) + 1;  // as a 1-based column
  auto first = at["startLineNumber"].cast<long long>();
  auto last = at["endLineNumber"].cast<long long>();
  if (l < first || l > last) return false;
  if (l == first && c < at["startColumn"].cast<long long>()) return false;
  if (l == last && c > at["endColumn"].cast<long long>()) return false;
  return true;
}

void init_markers(Methods &methods) {
  methods["get_markers"] = method(
      "get_markers", get_markers,
      "LSPBridge.get_markers(self, code: str, module_name: Optional[str] = None) -> "
      "Dict[str, Any]\n\n"
      "get_diagnostics' findings in its order, each with its range on the name it is about,\n"
      "\"code\" (its kind), \"source\" (\"syntax\", \"pyflakes\" or \"imports\") and \"tags\" "
      "([1]\n"
      "for unused imports and variables): {\"markers\": [...], \"error\": None}.",
      py::arg("self"), py::arg("code"), py::arg("module_name") = py::none());
}

}  // namespace sensewell
