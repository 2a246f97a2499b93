// Shared helpers of sensewell: typed-parameter checks, raising Python errors from C++,
// and the process-wide jedi lock.
#include "sensewell.h"

#include <pythread.h>

namespace sensewell {

namespace {

[[noreturn]] void refuse(py::handle value, PyTypeObject *type, const char *param) {
  std::string text = "Argument '" + std::string(param).substr(0, 200) +
                     "' has incorrect type (expected " + std::string(type->tp_name).substr(0, 200) +
                     ", got " + std::string(Py_TYPE(value.ptr())->tp_name).substr(0, 200) + ")";
  if (PyObject_TypeCheck(value.ptr(), type)) {
    text += ". Note: subclasses of " + std::string(type->tp_name) +
            " are refused; pass an exact " + type->tp_name + " (for example " + type->tp_name +
            "(value)).";
  }
  raise_error(PyExc_TypeError, text);
}

PyThread_type_lock jedi_lock() {
  static PyThread_type_lock lock = PyThread_allocate_lock();
  return lock;
}

}  // namespace

void require_exact(py::handle value, PyTypeObject *type, const char *param) {
  if (Py_TYPE(value.ptr()) != type) refuse(value, type, param);
}

void require_exact_or_none(py::handle value, PyTypeObject *type, const char *param) {
  if (!value.is_none()) require_exact(value, type, param);
}

py::int_ to_int(py::handle value, const char *param) {
  PyObject *v = value.ptr();
  if (PyLong_CheckExact(v)) return py::reinterpret_borrow<py::int_>(value);
  bool number = !PyUnicode_Check(v) && !PyBytes_Check(v) && !PyByteArray_Check(v) &&
                (PyIndex_Check(v) || (Py_TYPE(v)->tp_as_number != nullptr &&
                                      (Py_TYPE(v)->tp_as_number->nb_int != nullptr ||
                                       Py_TYPE(v)->tp_as_number->nb_float != nullptr)));
  if (!number) refuse(value, &PyLong_Type, param);
  PyObject *converted = PyNumber_Long(v);
  if (converted == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::int_>(converted);
}

void raise_error(PyObject *exc_type, const std::string &message) {
  PyErr_SetString(exc_type, message.c_str());
  throw py::error_already_set();
}

JediLock::JediLock() {
  if (PyThread_acquire_lock(jedi_lock(), NOWAIT_LOCK)) return;
  // Another thread is inside jedi: wait without the GIL so it can finish.
  py::gil_scoped_release nogil;
  PyThread_acquire_lock(jedi_lock(), WAIT_LOCK);
}

JediLock::~JediLock() { PyThread_release_lock(jedi_lock()); }

}  // namespace sensewell
