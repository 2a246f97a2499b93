// Shared helpers of proxwire: the typed-parameter check, raising Python errors from C++,
// and building classes through type(name, bases, namespace).
#include <cstring>

#include "proxwire.h"

namespace proxwire {

void require_exact(py::handle value, PyTypeObject *type, const char *param) {
  if (Py_TYPE(value.ptr()) == type) return;
  std::string text = "Argument '" + std::string(param).substr(0, 200) +
                     "' has incorrect type (expected " + std::string(type->tp_name).substr(0, 200) +
                     ", got " + std::string(Py_TYPE(value.ptr())->tp_name).substr(0, 200) + ")";
  if (PyObject_TypeCheck(value.ptr(), type)) {
    text += ". Note: subclasses of " + std::string(type->tp_name) + " are refused; pass an exact " +
            type->tp_name + " (for example " + type->tp_name + "(value)).";
  }
  raise_error(PyExc_TypeError, text);
}

void raise_error(PyObject *exc_type, const std::string &message) {
  PyErr_SetString(exc_type, message.c_str());
  throw py::error_already_set();
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
  PyObject *f = PyCFunction_NewEx(make_def(name, fn, doc), nullptr, py::str(MODULE_NAME).ptr());
  if (f == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(f);
}

py::object fast_method(const char *name, FastFunction fn, const char *doc) {
  py::object f = fast_function(name, fn, doc);
  PyObject *bound = PyInstanceMethod_New(f.ptr());
  if (bound == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bound);
}

void bind_args(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               std::initializer_list<const char *> params, size_t required, PyObject **out) {
  const size_t count = params.size();
  if (static_cast<size_t>(nargs) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", func,
                 count, nargs);
    throw py::error_already_set();
  }
  for (size_t i = 0; i < count; ++i) out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    size_t i = 0;
    for (const char *param : params) {
      if (PyUnicode_CompareWithASCIIString(key, param) == 0) break;
      ++i;
    }
    if (i == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
      throw py::error_already_set();
    }
    if (out[i] != nullptr)
      raise_format("%s() got multiple values for argument '%s'", func, params.begin()[i]);
    out[i] = args[nargs + k];
  }
  for (size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      raise_format("%s() missing 1 required positional argument: '%s'", func, params.begin()[i]);
    }
  }
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
