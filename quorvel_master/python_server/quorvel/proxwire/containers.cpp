// OfficeJsArray and OfficeJsDict: a list and a dict holding a local snapshot of an add-in array
// or dict, that still answer remote attribute reads, calls and finalisation like a proxy.
#include "proxwire.h"

namespace proxwire {
namespace {

py::object steal(PyObject *p) {
  if (p == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(p);
}

// The shared constructor: an empty base container, then the proxy's internal attributes.
PyObject *init_container(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                         PyTypeObject *base, PyObject *type_name, PyObject *typ) {
  return entry([&]() -> py::object {
    PyObject *a[2];
    bind_args("__init__", args, nargs, kwnames, {"self", "object_id"}, 2, a);
    require_exact(a[1], &PyLong_Type, "object_id");
    py::tuple no_args;
    if (base->tp_init(a[0], no_args.ptr(), nullptr) < 0) throw py::error_already_set();
    init_internal(a[0], a[1], type_name, typ, true);
    return py::none();
  });
}

PyObject *array_init(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static PyObject *type_name = intern("Array"), *typ = intern("officejs_array");
  return init_container(args, nargs, kwnames, &PyList_Type, type_name, typ);
}

PyObject *dict_init(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  static PyObject *type_name = intern("Dict"), *typ = intern("officejs_dict");
  return init_container(args, nargs, kwnames, &PyDict_Type, type_name, typ);
}

PyObject *array_setattr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[3];
    bind_args("__setattr__", args, nargs, kwnames, {"self", "name", "value"}, 3, a);
    require_exact(a[1], &PyUnicode_Type, "name");
    raise_error(PyExc_AttributeError, "Cannot set attributes on OfficeJsArray");
  });
}

// A key of the snapshot reads as an attribute; every other name is a remote read.
PyObject *dict_getattr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> PyObject * {
    PyObject *a[2];
    bind_args("__getattr__", args, nargs, kwnames, {"self", "name"}, 2, a);
    require_exact(a[1], &PyUnicode_Type, "name");
    int local = PySequence_Contains(a[0], a[1]);
    if (local < 0) throw py::error_already_set();
    if (local) return PyObject_GetItem(a[0], a[1]);
    return delegate(proxy_names().cw_getattr, a, 2, nullptr);
  });
}

PyObject *dict_setattr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[3];
    bind_args("__setattr__", args, nargs, kwnames, {"self", "name", "value"}, 3, a);
    require_exact(a[1], &PyUnicode_Type, "name");
    int local = PySequence_Contains(a[0], a[1]);
    if (local < 0) throw py::error_already_set();
    if (!local) raise_error(PyExc_AttributeError, "Cannot set attributes on OfficeJsDict");
    if (PyObject_SetItem(a[0], a[1], a[2]) < 0) throw py::error_already_set();
    return py::none();
  });
}

py::object formatted_id(PyObject *self) {
  py::object id = steal(PyObject_GetAttr(self, proxy_names().internal_id));
  py::str empty("");
  return steal(PyObject_Format(id.ptr(), empty.ptr()));
}

PyObject *array_repr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[1];
    bind_args("__repr__", args, nargs, kwnames, {"self"}, 1, a);
    py::object id = formatted_id(a[0]);
    Py_ssize_t length = PyObject_Length(a[0]);
    if (length < 0) throw py::error_already_set();
    return steal(PyUnicode_FromFormat("<OfficeJsArray id=%U len=%zd>", id.ptr(), length));
  });
}

PyObject *dict_repr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[1];
    bind_args("__repr__", args, nargs, kwnames, {"self"}, 1, a);
    py::object id = formatted_id(a[0]);
    py::object keys =
        steal(PySequence_List(steal(PyObject_CallMethod(a[0], "keys", nullptr)).ptr()));
    py::str empty("");
    py::object key_text = steal(PyObject_Format(keys.ptr(), empty.ptr()));
    return steal(PyUnicode_FromFormat("<OfficeJsDict id=%U keys=%U>", id.ptr(), key_text.ptr()));
  });
}

// The six members of either container, with the class name in each signature line.
py::object build(const char *name, const char *doc, FastFunction init, FastFunction getattr,
                 FastFunction setattr, FastFunction repr, py::handle base) {
  const std::string cls_name = name;
  auto sig = [&](const char *rest) { return cls_name + "." + rest; };
  ClassBuilder cls(name, doc);
  cls.add("__init__",
          fast_method("__init__", init, sig("__init__(self, int object_id: int)").c_str()));
  cls.add("__getattr__",
          fast_method("__getattr__", getattr, sig("__getattr__(self, str name: str)").c_str()));
  cls.add("__setattr__", fast_method("__setattr__", setattr,
                                     sig("__setattr__(self, str name: str, value)").c_str()));
  cls.add("__call__",
          fast_method("__call__", &proxy_call, sig("__call__(self, *args, **kwargs)").c_str()));
  cls.add("__del__", fast_method("__del__", &proxy_del, sig("__del__(self)").c_str()));
  cls.add("__repr__", fast_method("__repr__", repr, sig("__repr__(self)").c_str()));
  return cls.build(py::make_tuple(base));
}

}  // namespace

void init_containers(py::module_ &m) {
  m.attr("OfficeJsArray") = build(
      "OfficeJsArray", "Specialized proxy for arrays returned from Office.js.", &array_init,
      &proxy_getattr, &array_setattr, &array_repr, reinterpret_cast<PyObject *>(&PyList_Type));
  m.attr("OfficeJsDict") = build(
      "OfficeJsDict", "Specialized proxy for dictionaries returned from Office.js.", &dict_init,
      &dict_getattr, &dict_setattr, &dict_repr, reinterpret_cast<PyObject *>(&PyDict_Type));
}

}  // namespace proxwire
