// Shared helpers of sensewell: module globals and builtins, calls parked at exit, and the
// logging call.
#include "sensewell.h"

namespace sensewell {

py::object builtin(const char *name) {
  PyObject *dict = PyModule_GetDict(state().module.ptr());
  PyObject *found = PyDict_GetItemWithError(dict, py::str(name).ptr());
  if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
  if (PyErr_Occurred()) throw py::error_already_set();
  return py::module_::import("builtins").attr(name);
}

py::object call_jedi(const py::object &callable, py::handle kwargs) {
  PyObject *result = park_on_exit(
      [&] { return PyObject_VectorcallDict(callable.ptr(), nullptr, 0, kwargs.ptr()); });
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

bool is_instance(py::handle value, py::handle type) {
  int result = PyObject_IsInstance(value.ptr(), type.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

py::object fspath(py::handle path) {
  // A path object's __fspath__ is Python code.
  PyObject *text = park_on_exit([&] { return PyOS_FSPath(path.ptr()); });
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(text);
}

py::object call_parked(py::handle callable, py::handle args, py::handle kwargs) {
  PyObject *result =
      park_on_exit([&] { return PyObject_Call(callable.ptr(), args.ptr(), kwargs.ptr()); });
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

void log_record(const char *level, py::handle args, py::handle kwargs) {
  // A logging handler's lock is another place a thread waits.
  call_parked(global("logger").attr(level), args, kwargs);
}

}  // namespace sensewell
