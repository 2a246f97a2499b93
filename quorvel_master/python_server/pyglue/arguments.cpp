// Arguments shared by both modules: the typed-parameter checks with their exact TypeError
// texts, and binding fast-call arguments the way a def statement does.
#include <string>

#include "pyglue.h"

namespace pyglue {
namespace {

[[noreturn]] void refuse(py::handle value, PyTypeObject *type, const char *param) {
  PyTypeObject *given = Py_TYPE(value.ptr());
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

[[noreturn]] void raise_format(const char *format, const char *func, const char *arg) {
  PyErr_Format(PyExc_TypeError, format, func, arg);
  throw py::error_already_set();
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

void bind_args(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               std::initializer_list<const char *> params, size_t required, PyObject **out,
               size_t positional_only) {
  const size_t count = params.size();
  const char *const *names = params.begin();
  for (size_t i = 0; i < count; ++i) out[i] = nullptr;
  auto given = static_cast<size_t>(nargs);
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
  for (size_t i = 0; i < given; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject *key = PyTuple_GET_ITEM(kwnames, k);
      size_t slot = count;
      for (size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
          slot = i;
          break;
        }
      }
      if (slot == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
        throw py::error_already_set();
      }
      if (slot < positional_only) {
        raise_format("%s() got some positional-only arguments passed as keyword arguments: '%s'",
                     func, names[slot]);
      }
      if (out[slot] != nullptr)
        raise_format("%s() got multiple values for argument '%s'", func, names[slot]);
      out[slot] = args[nargs + k];
    }
  }
  // Python's own wording: "f() missing 2 required positional arguments: 'a' and 'b'".
  size_t missing = 0;
  for (size_t i = 0; i < required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return;
  std::string list;
  size_t listed = 0;
  for (size_t i = 0; i < required; ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) list += listed + 1 == missing ? (missing > 2 ? ", and " : " and ") : ", ";
    list += std::string("'") + names[i] + "'";
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", func,
               missing, missing == 1 ? "" : "s", list.c_str());
  throw py::error_already_set();
}

VarArgs bind_var_args(const char *func, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  PyObject *self = nargs > 0 ? args[0] : nullptr;
  py::dict kwargs;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (PyDict_SetItem(kwargs.ptr(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
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

}  // namespace pyglue
