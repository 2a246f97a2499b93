// Fuzz target: source text given to LSPBridge.get_diagnostics. A first line that starts with
// "#name:" supplies the module name; the request must answer with its result dict, never raise.
#include "harness.h"

#include <cstdlib>

namespace {

py::object *bridge = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  py::module_ sensewell = quorvel_fuzz::start("quorvel_master.python_server.sensewell");
  // Failed requests log at error level; with no handler installed that would go to stderr.
  sensewell.attr("logger").attr("addHandler")(py::module_::import("logging").attr("NullHandler")());
  bridge = new py::object(sensewell.attr("LSPBridge")());
  // Let the warm-up thread finish before inputs start arriving.
  py::module_ threading = py::module_::import("threading");
  for (py::handle thread : threading.attr("enumerate")()) {
    if (py::str(thread.attr("name")).cast<std::string>() == "LSP-quorvel-preload") {
      thread.attr("join")();
    }
  }
  PyEval_SaveThread();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  quorvel_fuzz::Gil gil;
  py::object code = quorvel_fuzz::decode_text(data, size);
  if (code.is_none()) return 0;
  py::object module_name = py::none();
  if (py::bool_(code.attr("startswith")("#name:"))) {
    py::object parts = code.attr("partition")("\n");
    module_name = parts[py::int_(0)][py::slice(6, PY_SSIZE_T_MAX, 1)];
  }
  try {
    py::object result = bridge->attr("get_diagnostics")(code, module_name);
    if (!PyDict_CheckExact(result.ptr()) || !PyList_CheckExact(result["diagnostics"].ptr())) {
      std::abort();
    }
  } catch (py::error_already_set &e) {
    quorvel_fuzz::check(e);
    // get_diagnostics answers every failure with its "error" entry; nothing may escape.
    std::abort();
  }
  return 0;
}
