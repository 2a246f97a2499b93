// Shared helpers of proxwire: the typed-parameter check, raising Python errors from C++,
// and building classes through type(name, bases, namespace).
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

}  // namespace proxwire
