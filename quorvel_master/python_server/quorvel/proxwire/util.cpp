// Shared helpers of proxwire: the typed-parameter check, raising Python errors from C++,
// fast-call functions, and building classes through type(name, bases, namespace).
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "proxwire.h"

namespace proxwire {

void require_exact(py::handle value, PyTypeObject *type, const char *param) {
  PyTypeObject *given = Py_TYPE(value.ptr());
  if (given == type) return;
  // PyErr_Format truncates as the texts' %.200s asks, without splitting a UTF-8 sequence.
  if (PyObject_TypeCheck(value.ptr(), type)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). Note: "
                 "subclasses of %.200s are refused; pass an exact %.200s (for example "
                 "%.200s(value)).",
                 param, type->tp_name, given->tp_name, type->tp_name, type->tp_name, type->tp_name);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 type->tp_name, given->tp_name);
  }
  throw py::error_already_set();
}

void raise_error(PyObject *exc_type, const std::string &message) {
  PyErr_SetString(exc_type, message.c_str());
  throw py::error_already_set();
}

PyObject *intern(const char *text) {
  PyObject *s = PyUnicode_InternFromString(text);
  if (s == nullptr) throw py::error_already_set();
  return s;
}

void bind_arguments(const char *func, const char *const *params, std::size_t count,
                    std::size_t required, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **out) {
  auto given = static_cast<std::size_t>(nargs);
  if (given > count) {
    if (required == count) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", func,
                   count, nargs);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zd were given", func,
                   required, count, nargs);
    }
    throw py::error_already_set();
  }
  for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject *key = PyTuple_GET_ITEM(kwnames, k);
      std::size_t slot = count;
      for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params[i]) == 0) {
          slot = i;
          break;
        }
      }
      if (slot == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
        throw py::error_already_set();
      }
      if (out[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func,
                     params[slot]);
        throw py::error_already_set();
      }
      out[slot] = args[nargs + k];
    }
  }
  // Python's own wording: "f() missing 2 required positional arguments: 'a' and 'b'".
  std::size_t missing = 0;
  for (std::size_t i = 0; i < required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return;
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) names += listed + 1 == missing ? (missing > 2 ? ", and " : " and ") : ", ";
    names += std::string("'") + params[i] + "'";
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", func,
               missing, missing == 1 ? "" : "s", names.c_str());
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

py::object make_fast_function(PyMethodDef *def) {
  py::str module_name(MODULE_NAME);
  PyObject *fn = PyCFunction_NewEx(def, nullptr, module_name.ptr());
  if (fn == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(fn);
}

ClassBuilder::ClassBuilder(const char *name, const char *doc) : name_(name) {
  // The keys a class statement puts first.
  ns_["__module__"] = MODULE_NAME;
  ns_["__qualname__"] = name;
  ns_["__doc__"] = doc;
}

ClassBuilder &ClassBuilder::add(const char *name, py::object member) {
  ns_[name] = std::move(member);
  return *this;
}

py::object ClassBuilder::build(py::tuple bases) {
  auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
  return type(name_, bases, ns_);
}

namespace {

PyMethodDef *make_def(const char *name, FastFunction fn, const char *doc) {
  // Owned by the function objects for the life of the process, like a static method table.
  return new PyMethodDef{strdup(name),
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                         METH_FASTCALL | METH_KEYWORDS, strdup(doc)};
}

[[noreturn]] void raise_format(const char *format, const char *func, const char *arg) {
  PyErr_Format(PyExc_TypeError, format, func, arg);
  throw py::error_already_set();
}

}  // namespace

py::object fast_function(const char *name, FastFunction fn, const char *doc) {
  return make_fast_function(make_def(name, fn, doc));
}

py::object fast_method(const char *name, FastFunction fn, const char *doc) {
  py::object f = fast_function(name, fn, doc);
  PyObject *bound = PyInstanceMethod_New(f.ptr());
  if (bound == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bound);
}

void bind_args(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               std::initializer_list<const char *> params, size_t required, PyObject **out) {
  for (size_t i = 0; i < params.size(); ++i) out[i] = nullptr;
  bind_arguments(func, params.begin(), params.size(), required, args, nargs, kwnames, out);
}

VarArgs bind_var_args(const char *func, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  PyObject *self = nargs > 0 ? args[0] : nullptr;
  py::dict kwargs;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    if (PyUnicode_CompareWithASCIIString(key, "self") == 0) {
      if (self != nullptr) raise_format("%s() got multiple values for argument '%s'", func, "self");
      self = args[nargs + k];
    } else if (PyDict_SetItem(kwargs.ptr(), key, args[nargs + k]) < 0) {
      throw py::error_already_set();
    }
  }
  if (self == nullptr) {
    raise_format("%s() missing 1 required positional argument: '%s'", func, "self");
  }
  const Py_ssize_t rest_count = nargs > 0 ? nargs - 1 : 0;
  PyObject *rest = PyTuple_New(rest_count);
  if (rest == nullptr) throw py::error_already_set();
  for (Py_ssize_t i = 0; i < rest_count; ++i) {
    Py_INCREF(args[i + 1]);
    PyTuple_SET_ITEM(rest, i, args[i + 1]);
  }
  return VarArgs{self, py::reinterpret_steal<py::tuple>(rest), std::move(kwargs)};
}

py::object global(PyObject *name) {
  PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(state().module.ptr()), name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

}  // namespace proxwire
