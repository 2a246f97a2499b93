// OfficeJsObject, the dynamic proxy of an add-in object; the traceback cleaning that every
// delegating dunder shares; and the five fixed root proxies bound at import.
#include "proxwire.h"

namespace proxwire {
namespace {

const char *const OBJECT_DOC =
    "\n"
    "    Dynamic proxy class for Office.js objects.\n"
    "\n"
    "    Provides __getattr__, __setattr__, __call__, __getitem__ to proxy\n"
    "    operations to the Office.js Add-in via WebSocket.\n"
    "    ";

// Whether the traceback entry's function is one of the proxy's own.
bool is_internal(PyObject *tb, PyObject *internal) {
  PyFrameObject *frame = reinterpret_cast<PyTracebackObject *>(tb)->tb_frame;
  auto code =
      py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(PyFrame_GetCode(frame)));
  int found = PySequence_Contains(internal, reinterpret_cast<PyCodeObject *>(code.ptr())->co_name);
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

PyObject *object_init(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[3];
    bind_args("__init__", args, nargs, kwnames, {"self", "object_id", "type_name"}, 3, a);
    require_exact(a[1], &PyLong_Type, "object_id");
    require_exact(a[2], &PyUnicode_Type, "type_name");
    static PyObject *typ = PyUnicode_InternFromString("officejs_object");
    init_internal(a[0], a[1], a[2], typ, true);
    return py::none();
  });
}

PyObject *object_getitem(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> PyObject * {
    PyObject *a[2];
    bind_args("__getitem__", args, nargs, kwnames, {"self", "index"}, 2, a, 1);
    return delegate(proxy_names().cw_getitem, a, 2, nullptr);
  });
}

PyObject *object_setattr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> PyObject * {
    PyObject *a[3];
    bind_args("__setattr__", args, nargs, kwnames, {"self", "name", "value"}, 3, a, 1);
    require_exact(a[1], &PyUnicode_Type, "name");
    return delegate(proxy_names().cw_setattr, a, 3, nullptr);
  });
}

PyObject *object_repr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[1];
    bind_args("__repr__", args, nargs, kwnames, {"self"}, 1, a);
    py::object type_name = steal(PyObject_GetAttr(a[0], proxy_names().internal_type_name));
    py::object id = steal(PyObject_GetAttr(a[0], proxy_names().internal_id));
    py::str empty("");
    py::object type_text = steal(PyObject_Format(type_name.ptr(), empty.ptr()));
    py::object id_text = steal(PyObject_Format(id.ptr(), empty.ptr()));
    return steal(PyUnicode_FromFormat("<OfficeJsObject %U id=%U>", type_text.ptr(), id_text.ptr()));
  });
}

}  // namespace

void clean_traceback() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value == nullptr || !PyErr_GivenExceptionMatches(value, PyExc_Exception)) {
    PyErr_Restore(type, value, tb);
    return;
  }
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  PyObject *kept = tb;
  try {
    py::object internal = global(proxy_names().internal_names);
    while (kept != nullptr && is_internal(kept, internal.ptr())) {
      kept = reinterpret_cast<PyObject *>(reinterpret_cast<PyTracebackObject *>(kept)->tb_next);
    }
  } catch (py::error_already_set &e) {
    // A failure while cleaning replaces the error, which stays attached as its context.
    e.restore();
    PyObject *type2, *value2, *tb2;
    PyErr_Fetch(&type2, &value2, &tb2);
    PyErr_NormalizeException(&type2, &value2, &tb2);
    PyException_SetContext(value2, value);  // steals value
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_Restore(type2, value2, tb2);
    return;
  }
  Py_XINCREF(kept);
  Py_XDECREF(tb);
  PyException_SetTraceback(value, kept != nullptr ? kept : Py_None);
  PyException_SetCause(value, nullptr);  // as "from None": no cause, context suppressed
  PyErr_Restore(type, value, kept);
}

PyObject *delegate(PyObject *name, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
  PyObject *result = nullptr;
  PyObject *fn = PyDict_GetItemWithError(PyModule_GetDict(state().module.ptr()), name);
  if (fn != nullptr) {
    // Held for the call, which may rebind the global.
    auto held = py::reinterpret_borrow<py::object>(fn);
    result = PyObject_Vectorcall(held.ptr(), args, nargsf, kwnames);
  } else if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  if (result == nullptr) clean_traceback();
  return result;
}

void init_internal(PyObject *self, PyObject *object_id, PyObject *type_name, PyObject *typ,
                   bool with_cache) {
  const ProxyNames &n = proxy_names();
  auto set = [self](PyObject *name, PyObject *value) {
    if (PyObject_GenericSetAttr(self, name, value) < 0) throw py::error_already_set();
  };
  set(n.internal_id, object_id);
  set(n.internal_type_name, type_name);
  py::object guid = steal(PyObject_GetAttr(global(n.messaging).ptr(), n.guid));
  set(n.msg_guid, guid.ptr());
  set(n.typ, typ);
  if (with_cache) set(n.internal_cache, py::dict().ptr());
}

PyObject *proxy_getattr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> PyObject * {
    PyObject *a[2];
    bind_args("__getattr__", args, nargs, kwnames, {"self", "name"}, 2, a, 1);
    require_exact(a[1], &PyUnicode_Type, "name");
    return delegate(proxy_names().cw_getattr, a, 2, nullptr);
  });
}

PyObject *proxy_call(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  // The arguments pass on as they came; _cw__call__ binds them.
  return delegate(proxy_names().cw_call, args, static_cast<size_t>(nargs), kwnames);
}

PyObject *proxy_del(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  // Module globals are being torn down; the add-in side goes away with the process.
  if (_Py_IsFinalizing()) Py_RETURN_NONE;
  return entry([&]() -> PyObject * {
    PyObject *a[1];
    bind_args("__del__", args, nargs, kwnames, {"self"}, 1, a, 1);
    return delegate(proxy_names().cw_del, a, 1, nullptr);
  });
}

void init_proxy(py::module_ &m) {
  ClassBuilder cls("OfficeJsObject", OBJECT_DOC);
  cls.add("__init__", fast_method("__init__", &object_init,
                                  "OfficeJsObject.__init__(self, int object_id: int, "
                                  "str type_name: str)"));
  cls.add("__getattr__", fast_method("__getattr__", &proxy_getattr,
                                     "OfficeJsObject.__getattr__(self, str name: str)"));
  cls.add("__getitem__",
          fast_method("__getitem__", &object_getitem, "OfficeJsObject.__getitem__(self, index)"));
  cls.add("__setattr__", fast_method("__setattr__", &object_setattr,
                                     "OfficeJsObject.__setattr__(self, str name: str, value)"));
  cls.add("__call__",
          fast_method("__call__", &proxy_call, "OfficeJsObject.__call__(self, *args, **kwargs)"));
  cls.add("__del__", fast_method("__del__", &proxy_del, "OfficeJsObject.__del__(self)"));
  cls.add("__repr__", fast_method("__repr__", &object_repr, "OfficeJsObject.__repr__(self)"));
  m.attr("OfficeJsObject") = cls.build(py::make_tuple());
}

void init_root_proxies(py::module_ &m) {
  py::object cls = m.attr("OfficeJsObject");
  const std::pair<const char *, const char *> roots[] = {
      {"Context", "RequestContext"}, {"Excel", "Excel"},        {"GetSetting", "Function"},
      {"Union", "Function"},         {"Intersect", "Function"},
  };
  int id = 0;
  for (const auto &[name, type_name] : roots) {
    m.attr(name) = cls(py::arg("object_id") = id++, py::arg("type_name") = type_name);
  }
}

}  // namespace proxwire
