// OfficeJsArray and OfficeJsDict: a list and a dict holding a local snapshot of an add-in array
// or dict, that still answer remote attribute reads, calls and finalisation like a proxy.
#include "proxwire.h"

#include <utility>

namespace proxwire {
namespace {

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

// What each container class is made of, kept to recognise the module's own class unchanged.
struct Kind {
  PyTypeObject *base;
  const char *type_name_text, *typ_text, *fill_name;
  PyObject *type_name = nullptr, *typ = nullptr, *fill = nullptr;
  PyObject *cls = nullptr, *init = nullptr;  // the class and its __init__ as first built
};
Kind array_kind{&PyList_Type, "Array", "officejs_array", "extend"};
Kind dict_kind{&PyDict_Type, "Dict", "officejs_dict", "update"};

PyObject *array_init(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return init_container(args, nargs, kwnames, &PyList_Type, array_kind.type_name, array_kind.typ);
}

PyObject *dict_init(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return init_container(args, nargs, kwnames, &PyDict_Type, dict_kind.type_name, dict_kind.typ);
}

// The class is still ours as built, with its own constructor.
bool untouched(const Kind &kind, PyObject *cls) {
  static PyObject *init_name = intern("__init__");
  if (cls != kind.cls || Py_TYPE(cls) != &PyType_Type) return false;
  auto *tp = reinterpret_cast<PyTypeObject *>(cls);
  return tp->tp_new == kind.base->tp_new && _PyType_Lookup(tp, init_name) == kind.init;
}

// cls(object_id), made in place while the class is untouched: the same allocation, check and
// attributes, in the same order, without the call machinery.
py::object new_container(const Kind &kind, PyObject *cls, PyObject *object_id, bool *in_place) {
  *in_place = untouched(kind, cls);
  if (!*in_place) return steal(PyObject_CallOneArg(cls, object_id));
  // The depth checks of the call and of its __init__: where they would fail nothing is made,
  // so every instance made has room left for the calls of its own __del__.
  struct Level {
    Level() {
      if (Py_EnterRecursiveCall(" while calling a Python object")) throw py::error_already_set();
    }
    ~Level() { Py_LeaveRecursiveCall(); }
  } call_level;
  { Level init_level; }
  auto *tp = reinterpret_cast<PyTypeObject *>(cls);
  static PyObject *no_args = PyTuple_New(0);
  py::object self = steal(tp->tp_new(tp, no_args, nullptr));
  // A refused ID drops the instance after its allocation, as a failing __init__ would.
  require_exact(object_id, &PyLong_Type, "object_id");
  init_internal(self.ptr(), object_id, kind.type_name, kind.typ, true);
  return self;
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
    bind_args("__getattr__", args, nargs, kwnames, {"self", "name"}, 2, a, 1);
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

py::object new_array(PyObject *cls, PyObject *object_id, bool *in_place) {
  return new_container(array_kind, cls, object_id, in_place);
}

py::object new_dict(PyObject *cls, PyObject *object_id, bool *in_place) {
  return new_container(dict_kind, cls, object_id, in_place);
}

bool base_fill(PyObject *container) {
  static PyObject *getattribute = intern("__getattribute__");
  PyTypeObject *tp = Py_TYPE(container);
  const Kind *kind = nullptr;
  if (reinterpret_cast<PyObject *>(tp) == array_kind.cls) kind = &array_kind;
  if (reinterpret_cast<PyObject *>(tp) == dict_kind.cls) kind = &dict_kind;
  return kind != nullptr &&
         _PyType_Lookup(tp, kind->fill) == _PyType_Lookup(kind->base, kind->fill) &&
         _PyType_Lookup(tp, getattribute) == _PyType_Lookup(kind->base, getattribute);
}

void init_containers(py::module_ &m) {
  for (Kind *kind : {&array_kind, &dict_kind}) {
    kind->type_name = intern(kind->type_name_text);
    kind->typ = intern(kind->typ_text);
    kind->fill = intern(kind->fill_name);
  }
  py::object array = build("OfficeJsArray", "Specialized proxy for arrays returned from Office.js.",
                           &array_init, &proxy_getattr, &array_setattr, &array_repr,
                           reinterpret_cast<PyObject *>(&PyList_Type));
  py::object dict = build(
      "OfficeJsDict", "Specialized proxy for dictionaries returned from Office.js.", &dict_init,
      &dict_getattr, &dict_setattr, &dict_repr, reinterpret_cast<PyObject *>(&PyDict_Type));
  // Held for the life of the process, so the identity tests never meet a reused address.
  for (auto [kind, cls] : {std::pair{&array_kind, &array}, std::pair{&dict_kind, &dict}}) {
    kind->cls = cls->inc_ref().ptr();
    py::object init = cls->attr("__dict__")["__init__"];
    kind->init = init.release().ptr();
  }
  m.attr("OfficeJsArray") = array;
  m.attr("OfficeJsDict") = dict;
}

}  // namespace proxwire
