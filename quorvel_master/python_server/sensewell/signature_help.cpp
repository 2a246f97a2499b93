// Signature help for LSPBridge: the first jedi signature of the call around the cursor,
// as Monaco's signature-help widget consumes it, with the parameter at the cursor.
#include "sensewell.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

py::dict signature_result(py::list signatures, py::object active_parameter, py::object error) {
  return py::dict("signatures"_a = signatures, "activeSignature"_a = 0,
                  "activeParameter"_a = active_parameter, "error"_a = error);
}

py::dict signature_failed(py::object error_msg) {
  return signature_result(py::list(), py::int_(0), error_msg);
}

// jedi may lack a text for a parameter or signature; only these two are absorbed.
bool is_missing_value(const py::error_already_set &e) {
  return e.matches(PyExc_AttributeError) || e.matches(PyExc_TypeError);
}

py::list parameter_records(py::object sig) {
  py::list records;
  for (py::handle param : sig.attr("params")) {
    py::dict record("label"_a = param.attr("name"));
    try {
      py::object param_desc = param.attr("description");
      if (truthy(param_desc)) record["documentation"] = param_desc;
    } catch (py::error_already_set &e) {
      if (!is_missing_value(e)) throw;
    }
    records.append(record);
  }
  return records;
}

py::dict signature_help(const Request &req) {
  check_position(req);
  sync_request_modules(req);
  JediLock lock(req);
  py::object script = open_script(req);
  py::object signatures = call_jedi(script.attr("get_signatures"),
                                    py::dict("line"_a = req.line, "column"_a = req.column));
  if (!truthy(signatures)) {
    log("debug", "[LSP] No signatures found");
    return signature_result(py::list(), py::int_(0), py::none());
  }
  py::object sig = signatures[py::int_(0)];
  py::list parameters = parameter_records(sig);
  py::object sig_label = req.self.attr("_format_signature")(sig);
  py::object docstring = py::str("");
  try {
    py::object raw = call_jedi(sig.attr("docstring"), py::dict("raw"_a = true));
    if (truthy(raw)) docstring = raw;
  } catch (py::error_already_set &e) {
    if (!is_missing_value(e)) throw;
  }
  py::object name = sig.attr("name");
  py::object sig_name = py::str("function");
  if (truthy(name)) sig_name = name;
  py::list labels;
  labels.append(py::str(sig_name));
  labels.append(py::str(sig_label));
  py::dict record("label"_a = py::str("").attr("join")(labels), "documentation"_a = docstring,
                  "parameters"_a = parameters);
  py::object index = sig.attr("index");
  py::object active_param = py::int_(0);
  if (!index.is_none()) active_param = index;
  py::list records;
  records.append(record);
  py::dict response = signature_result(records, active_param, py::none());
  log("debug", "[LSP] Signature help: %s, activeParam=%d", name, active_param);
  return response;
}

py::dict get_signature_help(py::object self, py::object code, py::object line, py::object column,
                            py::object path, py::object modules, py::object dirty_files) {
  Request req = accept_request(self, code, line, column, path, modules, dirty_files);
  log("debug", "[LSP] Request: get_signature_help line=%d, column=%d, path=%s", req.line,
      req.column, req.path);
  return guard_request(
      "get_signature_help", [&] { return signature_help(req); }, signature_failed);
}

}  // namespace

void init_signature_help(Methods &methods) {
  methods["get_signature_help"] = request_method(
      "get_signature_help", get_signature_help,
      "LSPBridge.get_signature_help(self, code: str, line: int, column: int, "
      "path: Optional[str] = None, modules: Optional[Dict[str, str]] = None, "
      "dirty_files: Optional[Dict[str, str]] = None) -> Dict[str, Any]\n\n"
      "The signature of the call around the cursor (line 1-based, column 0-based) in\n"
      "Monaco's format, with the index of the parameter at the cursor.");
}

}  // namespace sensewell
