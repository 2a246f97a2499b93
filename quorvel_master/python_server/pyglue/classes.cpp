// Classes and functions shared by both modules: fast-call functions on process-long method
// definitions, and classes built through type(name, bases, namespace).
#include <cstring>

#include "pyglue.h"

namespace pyglue {

py::object fast_function(const char *name, FastFunction fn, const char *doc) {
  // Owned by the function objects for the life of the process, like a static method table.
  auto *def =
      new PyMethodDef{strdup(name), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                      METH_FASTCALL | METH_KEYWORDS, strdup(doc)};
  py::str module_name(home_name());
  PyObject *f = PyCFunction_NewEx(def, nullptr, module_name.ptr());
  if (f == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(f);
}

py::object fast_method(const char *name, FastFunction fn, const char *doc) {
  py::object f = fast_function(name, fn, doc);
  PyObject *bound = PyInstanceMethod_New(f.ptr());
  if (bound == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bound);
}

ClassBuilder::ClassBuilder(const char *name, const char *doc) : name_(name) {
  // The keys a class statement puts first.
  ns_["__module__"] = home_name();
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

}  // namespace pyglue
