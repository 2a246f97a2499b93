// Errors and exits shared by both modules: raising Python errors from C++, the one translation
// of a C++ exception into the pending Python error, parking, and once-only initialisation.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <new>

#include "pyglue.h"

namespace pyglue {

void raise_error(PyObject *exc_type, const std::string &message) {
  PyErr_SetString(exc_type, message.c_str());
  throw py::error_already_set();
}

void park_forever() noexcept {
  // Signals blocked, so they go to the thread that is finishing the process.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) pause();
}

CATCHES_FORCED_UNWIND void set_error_from_current_exception() {
  try {
    throw;
  } catch (abi::__forced_unwind &) {
    park_forever();  // called inside a catch-all, from which it could not go on unwinding
  } catch (py::error_already_set &e) {
    e.restore();
  } catch (py::builtin_exception &e) {
    e.set_error();
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

namespace {

// What the one module compiled with these helpers is initialised with.
struct Definition {
  const char *name, *doc, *again;
  void (*populate)(py::module_ &);
  bool initialised = false;
};
Definition definition;

CATCHES_FORCED_UNWIND int exec_module(PyObject *module) {
  if (definition.initialised) {
    PyErr_SetString(PyExc_ImportError, definition.again);
    return -1;
  }
  try {
    py::options options;
    options.disable_function_signatures();
    // pybind11 sets up its shared state on first use, which may otherwise be an error's
    // destructor deep in a recursion, where the set-up fails and the process terminates.
    py::detail::get_internals();
    auto m = py::reinterpret_borrow<py::module_>(module);
    m.doc() = definition.doc;
    definition.populate(m);
    definition.initialised = true;
    return 0;
  } catch (abi::__forced_unwind &) {
    throw;  // a daemon thread ended by the interpreter's exit
  } catch (py::error_already_set &e) {
    e.restore();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  } catch (...) {
    PyErr_Format(PyExc_ImportError, "%s failed to initialise", definition.name);
  }
  return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject *module_init(const char *name, const char *doc, void (*populate)(py::module_ &),
                      const char *again) {
  definition.name = name;
  definition.doc = doc;
  definition.populate = populate;
  definition.again = again;
  module_def.m_name = name;
  return PyModuleDef_Init(&module_def);
}

}  // namespace pyglue
