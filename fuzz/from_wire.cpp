// Fuzz target: JSON-decoded wire values given to Serializer.from_wire; whatever comes back
// is serialized again, so proxies and containers built from hostile input are exercised too.
#include "harness.h"

#include <cstdio>
#include <cstdlib>

namespace {

py::object *serializer = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  py::module_ proxwire = quorvel_fuzz::start("quorvel_master.python_server.quorvel.proxwire");
  if (!py::hasattr(proxwire, "Serializer")) {
    std::fprintf(stderr, "fuzz: proxwire has no Serializer yet; nothing to fuzz\n");
    std::exit(0);
  }
  serializer = new py::object(proxwire.attr("Serializer"));
  // Finalised proxies send their release into a handler that drops it.
  proxwire.attr("messaging").attr("set_send_handler")(py::cpp_function([](py::object) {}));
  PyEval_SaveThread();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  quorvel_fuzz::Gil gil;
  py::object wire = quorvel_fuzz::decode_json(data, size);
  if (!PyDict_CheckExact(wire.ptr())) return 0;
  try {
    py::object value = serializer->attr("from_wire")(wire);
    serializer->attr("to_wire")(value);
  } catch (py::error_already_set &e) {
    quorvel_fuzz::check(e);
  }
  return 0;
}
