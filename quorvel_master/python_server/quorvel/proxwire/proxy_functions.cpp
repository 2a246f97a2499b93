// The five module functions behind the proxy operators, and the one request path they share:
// every GET, GETITEM, SET, CALL and DEL request is built here and differs only in its keys.
#include "proxwire.h"

namespace proxwire {
namespace {

// Request and response keys and the fixed texts of the requests, interned once.
struct Keys {
  PyObject *method, *name, *value, *args, *caller, *arg_type, *ok, *result, *error, *message;
  PyObject *op_get, *op_getitem, *op_set, *op_call, *op_del, *placed, *named, *call_name, *del_name,
      *function;
  PyObject *get_method;
};

const Keys &keys() {
  static const Keys *k = new Keys{
      intern("method"), intern("name"),     intern("value"),   intern("args"),
      intern("caller"), intern("arg_type"), intern("ok"),      intern("result"),
      intern("error"),  intern("message"),  intern("GET"),     intern("GETITEM"),
      intern("SET"),    intern("CALL"),     intern("DEL"),     intern("PLACED"),
      intern("NAMED"),  intern("__call__"), intern("__del__"), intern("Function"),
      intern("get"),
  };
  return *k;
}

void set_item(PyObject *dict, PyObject *key, PyObject *value) {
  if (PyDict_SetItem(dict, key, value) < 0) throw py::error_already_set();
}

// The name of a local attribute is one of these; all begin with "_", which rules out most
// names at the first character.
bool is_local(PyObject *name, bool with_cache) {
  if (PyUnicode_GET_LENGTH(name) < 4 || PyUnicode_READ_CHAR(name, 0) != '_') return false;
  const ProxyNames &n = proxy_names();
  for (PyObject *local : {n.internal_id, n.internal_type_name, n.msg_guid, n.typ}) {
    if (name == local || PyUnicode_Compare(name, local) == 0) return true;
  }
  return with_cache && (name == n.internal_cache || PyUnicode_Compare(name, n.internal_cache) == 0);
}

// A proxy from an earlier messaging context refers to objects the add-in has forgotten.
void check_live(PyObject *self) {
  const ProxyNames &n = proxy_names();
  py::object own = steal(PyObject_GetAttr(self, n.msg_guid));
  py::object current = steal(PyObject_GetAttr(global(n.messaging).ptr(), n.guid));
  int stale = PyObject_RichCompareBool(own.ptr(), current.ptr(), Py_NE);
  if (stale < 0) throw py::error_already_set();
  if (stale)
    raise_error(PyExc_RuntimeError, "Excel Object used after messaging context was stopped");
}

// The request dict of every operation: "method", "name", the further key where there is one,
// then "caller".
py::dict build_request(PyObject *self, PyObject *method, PyObject *name, PyObject *extra_key,
                       PyObject *extra) {
  const Keys &k = keys();
  py::object caller = steal(PyObject_GetAttr(self, proxy_names().internal_id));
  auto req = py::reinterpret_steal<py::dict>(steal(PyDict_New()).release());
  set_item(req.ptr(), k.method, method);
  set_item(req.ptr(), k.name, name);
  if (extra_key != nullptr) set_item(req.ptr(), extra_key, extra);
  set_item(req.ptr(), k.caller, caller.ptr());
  return req;
}

// dict.get on the answer, whatever mapping the transport handed back.
py::object get(PyObject *mapping, PyObject *key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject *value = PyDict_GetItemWithError(mapping, key);
    if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(value == nullptr ? Py_None : value);
  }
  PyObject *argv[2] = {mapping, key};
  return steal(PyObject_VectorcallMethod(keys().get_method, argv,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The add-in's text for a failed answer: the "message" of its "error" dict, else `fallback`.
// An "error" given as bare text is that text, as on the messaging side.
template <typename Fallback>
py::object error_text(PyObject *response, Fallback &&fallback) {
  py::object error = get(response, keys().error);
  if (PyDict_Check(error.ptr())) {
    py::object fb = fallback();
    PyObject *argv[3] = {error.ptr(), keys().message, fb.ptr()};
    return steal(PyObject_VectorcallMethod(keys().get_method, argv,
                                           3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  if (PyUnicode_Check(error.ptr()) && PyUnicode_GET_LENGTH(error.ptr()) > 0) return error;
  return fallback();
}

// The one request path: send through messaging, check "ok", convert "result" when wanted.
template <typename Fallback>
py::object exchange(py::dict req, PyObject *error_type, Fallback &&fallback, bool convert) {
  py::object messaging = global(proxy_names().messaging);
  PyObject *argv[2] = {messaging.ptr(), req.ptr()};
  py::object response = steal(PyObject_VectorcallMethod(
      proxy_names().send_request_sync, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  py::object ok = get(response.ptr(), keys().ok);
  int good = PyObject_IsTrue(ok.ptr());
  if (good < 0) throw py::error_already_set();
  if (!good) {
    py::object text = error_text(response.ptr(), fallback);
    py::object exc = steal(PyObject_CallOneArg(error_type, text.ptr()));
    PyErr_SetObject(error_type, exc.ptr());
    throw py::error_already_set();
  }
  if (!convert) return py::none();
  py::object result = get(response.ptr(), keys().result);
  return from_wire(result);
}

py::object concat(const char *prefix, PyObject *text) {
  py::str head(prefix);
  return steal(PyUnicode_Concat(head.ptr(), text));
}

py::object format(PyObject *value) {
  static PyObject *empty = intern("");
  return steal(PyObject_Format(value, empty));
}

// The add-in's own errors to reads and writes are attribute errors to Python's attribute
// protocol (hasattr, getattr with a default) and runtime errors to everyone else.
PyObject *attribute_error_type() {
  return state().remote_attribute_error.ptr();
}

// The item key as the add-in reads it: start:stop:step with empty parts for None, or the int.
py::object item_key(PyObject *index) {
  if (PySlice_Check(index)) {
    auto *slice = reinterpret_cast<PySliceObject *>(index);
    static PyObject *colon = intern(":");
    py::list parts;
    for (PyObject *part : {slice->start, slice->stop, slice->step}) {
      if (part == Py_None) {
        parts.append(py::str(""));
      } else {
        parts.append(format(part));
      }
    }
    return steal(PyUnicode_Join(colon, parts.ptr()));
  }
  if (PyLong_Check(index)) return steal(PyObject_Str(index));
  raise_error(PyExc_TypeError, "Index must be an integer or a slice");
}

PyObject *cw_getattr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[2];
    bind_args("_cw__getattr__", args, nargs, kwnames, {"self", "name"}, 2, a, 1);
    require_exact(a[1], &PyUnicode_Type, "name");
    if (is_local(a[1], true)) return steal(PyObject_GenericGetAttr(a[0], a[1]));
    check_live(a[0]);
    return exchange(
        build_request(a[0], keys().op_get, a[1], nullptr, nullptr), attribute_error_type(),
        [&] { return concat("GET failed for ", a[1]); }, true);
  });
}

PyObject *cw_getitem(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[2];
    bind_args("_cw__getitem__", args, nargs, kwnames, {"self", "index"}, 2, a, 1);
    py::object key = item_key(a[1]);
    check_live(a[0]);
    return exchange(
        build_request(a[0], keys().op_getitem, key.ptr(), nullptr, nullptr), attribute_error_type(),
        [&] { return concat("GET ITEM failed for ", format(a[1]).ptr()); }, true);
  });
}

PyObject *cw_setattr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[3];
    bind_args("_cw__setattr__", args, nargs, kwnames, {"self", "name", "value"}, 3, a, 1);
    require_exact(a[1], &PyUnicode_Type, "name");
    if (is_local(a[1], false)) {
      if (PyObject_GenericSetAttr(a[0], a[1], a[2]) < 0) throw py::error_already_set();
      return py::none();
    }
    check_live(a[0]);
    py::object wire = to_wire(a[2]);
    return exchange(
        build_request(a[0], keys().op_set, a[1], keys().value, wire.ptr()), attribute_error_type(),
        [&] { return concat("SET failed for ", a[1]); }, false);
  });
}

PyObject *cw_call(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    VarArgs call = bind_var_args("_cw__call__", args, nargs, kwnames);
    const Keys &k = keys();
    check_live(call.self);
    py::object type_name = steal(PyObject_GetAttr(call.self, proxy_names().internal_type_name));
    int other = PyObject_RichCompareBool(type_name.ptr(), k.function, Py_NE);
    if (other < 0) throw py::error_already_set();
    if (other) raise_error(PyExc_TypeError, "Only Function-typed SpecialObjects are callable");

    const Py_ssize_t placed = PyTuple_GET_SIZE(call.args.ptr());
    // Owned: the interpreter's exit may stop this thread in any conversion of the loop.
    Owned list = steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < placed; ++i) {
      Owned wire = to_wire(PyTuple_GET_ITEM(call.args.ptr(), i));
      Owned entry_dict = steal(PyDict_New());
      set_item(entry_dict.ptr(), k.arg_type, k.placed);
      set_item(entry_dict.ptr(), k.value, wire.ptr());
      if (PyList_Append(list.ptr(), entry_dict.ptr()) < 0) throw py::error_already_set();
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(call.kwargs.ptr(), &pos, &key, &value)) {
      Owned wire = to_wire(value);
      Owned entry_dict = steal(PyDict_New());
      set_item(entry_dict.ptr(), k.arg_type, k.named);
      set_item(entry_dict.ptr(), k.name, key);
      set_item(entry_dict.ptr(), k.value, wire.ptr());
      if (PyList_Append(list.ptr(), entry_dict.ptr()) < 0) throw py::error_already_set();
    }
    return exchange(
        build_request(call.self, k.op_call, k.call_name, k.args, list.ptr()), PyExc_RuntimeError,
        [] { return py::object(py::str("CALL failed")); }, true);
  });
}

// Whether a send handler is installed, by identity alone: a finaliser runs no user code.
bool handler_installed() {
  if (_Py_IsFinalizing()) return false;
  static PyObject *send_handler = intern("_send_handler");
  PyObject *messaging =
      PyDict_GetItemWithError(PyModule_GetDict(state().module.ptr()), proxy_names().messaging);
  if (messaging == nullptr || Py_TYPE(messaging)->tp_getattro != PyObject_GenericGetAttr) {
    PyErr_Clear();
    return messaging != nullptr;  // an unusual messaging object: its sender decides
  }
  PyObject *handler = PyObject_GenericGetAttr(messaging, send_handler);
  if (handler == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool installed = handler != Py_None;
  Py_DECREF(handler);
  return installed;
}

PyObject *cw_del(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[1];
    bind_args("_cw__del__", args, nargs, kwnames, {"self"}, 1, a, 1);
    try {
      if (!handler_installed()) return py::none();
      // No staleness test: the add-in may still hold the object of an old context.
      record_release(build_request(a[0], keys().op_del, keys().del_name, nullptr, nullptr));
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
    return py::none();
  });
}

}  // namespace

const ProxyNames &proxy_names() {
  static const ProxyNames *n = new ProxyNames{
      intern("_internal_id"),   intern("_internal_typeName"), intern("_msg_guid"),
      intern("_typ"),           intern("_internal_cache"),    intern("_guid"),
      intern("messaging"),      intern("send_request_sync"),  intern("_internal_officejs_names"),
      intern("Context"),        intern("_cw__getattr__"),     intern("_cw__getitem__"),
      intern("_cw__setattr__"), intern("_cw__call__"),        intern("_cw__del__"),
  };
  return *n;
}

void init_proxy_functions(py::module_ &m) {
  m.attr("_cw__getattr__") = fast_function("_cw__getattr__", &cw_getattr,
                                           "_cw__getattr__(self, str name: str)\n\n"
                                           "Get attribute proxy method for OfficeJsObject.");
  m.attr("_cw__getitem__") = fast_function("_cw__getitem__", &cw_getitem,
                                           "_cw__getitem__(self, index)\n\n"
                                           "Get item proxy method for OfficeJsObject.");
  m.attr("_cw__setattr__") = fast_function("_cw__setattr__", &cw_setattr,
                                           "_cw__setattr__(self, str name: str, value)\n\n"
                                           "Set attribute proxy method for OfficeJsObject.");
  m.attr("_cw__call__") = fast_function("_cw__call__", &cw_call,
                                        "_cw__call__(self, *args, **kwargs)\n\n"
                                        "Call proxy method for OfficeJsObject (Function type).");
  m.attr("_cw__del__") = fast_function("_cw__del__", &cw_del,
                                       "_cw__del__(self)\n\n"
                                       "Delete proxy method for OfficeJsObject.");
  py::list internal;
  for (const char *name :
       {"_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__",
        "__getattr__", "__getitem__", "__setattr__", "__call__", "__del__"}) {
    internal.append(py::str(name));
  }
  m.attr("_internal_officejs_names") = internal;
}

}  // namespace proxwire
