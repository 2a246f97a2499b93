// Shared helpers of sensewell: typed-parameter checks, raising Python errors from C++,
// and the process-wide jedi lock.
#include "sensewell.h"

#include <pthread.h>
#include <pythread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace sensewell {

namespace {

[[noreturn]] void refuse(py::handle value, PyTypeObject *type, const char *param) {
  std::string text = "Argument '" + std::string(param).substr(0, 200) +
                     "' has incorrect type (expected " + std::string(type->tp_name).substr(0, 200) +
                     ", got " + std::string(Py_TYPE(value.ptr())->tp_name).substr(0, 200) + ")";
  if (PyObject_TypeCheck(value.ptr(), type)) {
    text += ". Note: subclasses of " + std::string(type->tp_name) + " are refused; pass an exact " +
            type->tp_name + " (for example " + type->tp_name + "(value)).";
  }
  raise_error(PyExc_TypeError, text);
}

PyThread_type_lock jedi_lock() {
  static PyThread_type_lock lock = PyThread_allocate_lock();
  return lock;
}

// The thread inside jedi and how often it has entered; depth is touched by that thread only.
std::atomic<unsigned long> jedi_owner{0};
int jedi_depth = 0;

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

py::object builtin(const char *name) {
  PyObject *dict = PyModule_GetDict(state().module.ptr());
  PyObject *found = PyDict_GetItemWithError(dict, py::str(name).ptr());
  if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
  if (PyErr_Occurred()) throw py::error_already_set();
  return py::module_::import("builtins").attr(name);
}

void park_forever() noexcept {
  // Signals blocked, so they go to the thread that is finishing the process.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) pause();
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

JediLock::JediLock() {
  unsigned long me = PyThread_get_thread_ident();
  if (jedi_owner.load() == me) {
    ++jedi_depth;
    return;
  }
  if (PyThread_acquire_lock(jedi_lock(), NOWAIT_LOCK) == 0) {
    // Another thread is inside jedi: wait without the GIL so it can finish. The GIL is taken
    // back here rather than in a destructor, where a thread stopped at shutdown cannot unwind.
    PyThreadState *saved = PyEval_SaveThread();
    PyThread_acquire_lock(jedi_lock(), WAIT_LOCK);
    park_on_exit([&] { PyEval_RestoreThread(saved); });
  }
  jedi_owner.store(me);
  jedi_depth = 1;
}

JediLock::~JediLock() {
  if (--jedi_depth > 0) return;
  jedi_owner.store(0);
  PyThread_release_lock(jedi_lock());
}

}  // namespace sensewell
