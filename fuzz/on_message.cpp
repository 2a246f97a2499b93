// Fuzz target: JSON-decoded response messages given to Messaging.on_message, one message or
// a list of them, with a pending request under every request ID they name.
#include "harness.h"

#include <cstdlib>

namespace {

py::object *messaging = nullptr;
py::object *future_type = nullptr;

void deliver(py::handle message) {
  if (!PyDict_CheckExact(message.ptr())) return;
  py::dict waiters = messaging->attr("waiters");
  py::object rid = py::reinterpret_borrow<py::dict>(message).attr("get")("requestId");
  py::object pending;
  if (PyUnicode_CheckExact(rid.ptr())) {
    pending = (*future_type)();
    waiters[rid] = pending;
  }
  try {
    messaging->attr("on_message")(message);
  } catch (py::error_already_set &e) {
    quorvel_fuzz::check(e);
  }
  // A message for a pending request must have settled it one way or the other.
  if (pending && PyUnicode_GET_LENGTH(rid.ptr()) > 0 && !waiters.contains(rid) &&
      !PyObject_IsTrue(pending.attr("done")().ptr())) {
    std::abort();
  }
  waiters.clear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  py::module_ proxwire = quorvel_fuzz::start("quorvel_master.python_server.quorvel.proxwire");
  messaging = new py::object(proxwire.attr("messaging"));
  future_type = new py::object(py::module_::import("concurrent.futures").attr("Future"));
  PyEval_SaveThread();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  quorvel_fuzz::Gil gil;
  py::object decoded = quorvel_fuzz::decode_json(data, size);
  if (PyList_CheckExact(decoded.ptr())) {
    for (py::handle message : decoded) deliver(message);
  } else {
    deliver(decoded);
  }
  return 0;
}
