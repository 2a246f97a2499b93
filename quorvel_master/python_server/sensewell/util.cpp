// Shared helpers of sensewell: module globals and builtins, calls parked at exit, logging,
// and the process-wide jedi lock.
#include "sensewell.h"

#include <pythread.h>
#include <unistd.h>

#include <atomic>

namespace sensewell {

namespace {

PyThread_type_lock jedi_lock() {
  static PyThread_type_lock lock = PyThread_allocate_lock();
  return lock;
}

// The thread inside jedi and how often it has entered; depth is touched by that thread only.
std::atomic<unsigned long> jedi_owner{0};
int jedi_depth = 0;
// Threads blocked in JediLock, so background work can step aside for them.
std::atomic<int> jedi_waiters{0};

}  // namespace

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
    ++jedi_waiters;
    PyThread_acquire_lock(jedi_lock(), WAIT_LOCK);
    --jedi_waiters;
    park_on_exit([&] { PyEval_RestoreThread(saved); });
  }
  jedi_owner.store(me);
  jedi_depth = 1;
}

bool JediLock::awaited() {
  return jedi_waiters.load() > 0;
}

void JediLock::let_waiters_in() {
  if (!awaited()) return;
  // Without the GIL until a waiter has the lock (or a short while has passed), so the waiter
  // both takes the lock and gets to run before this thread asks for it again.
  PyThreadState *saved = PyEval_SaveThread();
  for (int i = 0; i < 100 && jedi_waiters.load() > 0; ++i) usleep(500);
  park_on_exit([&] { PyEval_RestoreThread(saved); });
}

JediLock::~JediLock() {
  if (--jedi_depth > 0) return;
  jedi_owner.store(0);
  PyThread_release_lock(jedi_lock());
}

}  // namespace sensewell
