// Shared helpers of proxwire: interned names and module globals read as Python code reads them;
// what both modules share lives in the helper library.
#include "proxwire.h"

namespace proxwire {

PyObject *intern(const char *text) {
  PyObject *s = PyUnicode_InternFromString(text);
  if (s == nullptr) throw py::error_already_set();
  return s;
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
