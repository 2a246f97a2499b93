// OfficeJsTransaction: tells the add-in's transaction object when a batch of writes begins and
// when it is committed; the writes themselves travel as usual.
#include "proxwire.h"

namespace proxwire {
namespace {

const char *const TRANSACTION_DOC =
    "\n"
    "    Transaction object to batch multiple set operations into a single request.\n"
    "    ";

bool truth(py::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// One of the add-in transaction object's functions, read through the proxy path.
py::object remote_function(PyObject *self, const char *name) {
  py::str attr(name);
  PyObject *argv[2] = {self, attr.ptr()};
  return steal(PyObject_Vectorcall(global(proxy_names().cw_getattr).ptr(), argv, 2, nullptr));
}

PyObject *transaction_init(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[5];
    bind_args("__init__", args, nargs, kwnames,
              {"self", "roolback_at_error", "raiseError", "error_callback", "block_gets"}, 1, a);
    PyObject *self = a[0];
    py::handle rollback = a[1] != nullptr ? a[1] : Py_False;
    py::handle raise = a[2] != nullptr ? a[2] : Py_True;
    py::handle callback = a[3] != nullptr ? a[3] : Py_None;
    py::handle block_gets = a[4] != nullptr ? a[4] : Py_False;
    static PyObject *type_name = PyUnicode_InternFromString("Transaction");
    static PyObject *typ = PyUnicode_InternFromString("officejs_transaction");
    init_internal(self, global("UNIQUE_TRANSACTION_ID").ptr(), type_name, typ, false);
    py::handle h(self);
    h.attr("_rollback_at_error") = rollback;
    h.attr("_error_callback") = callback;
    h.attr("_raiseError") = raise;
    h.attr("_isInWith") = py::bool_(false);
    h.attr("_block_gets") = block_gets;
    return py::none();
  });
}

PyObject *transaction_start(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[1];
    bind_args("_start", args, nargs, kwnames, {"self"}, 1, a);
    py::object start = remote_function(a[0], "start");
    start(global(proxy_names().context), py::handle(a[0]).attr("_block_gets"));
    return py::none();
  });
}

PyObject *transaction_commit(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[1];
    bind_args("commit", args, nargs, kwnames, {"self"}, 1, a);
    py::handle self(a[0]);
    remote_function(a[0], "commit")();
    // An explicit commit inside the block: what follows is the next batch.
    if (truth(self.attr("_isInWith"))) self.attr("_start")();
    return py::none();
  });
}

PyObject *transaction_enter(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[1];
    bind_args("__enter__", args, nargs, kwnames, {"self"}, 1, a);
    py::handle self(a[0]);
    self.attr("_isInWith") = py::bool_(true);
    self.attr("_start")();
    return py::reinterpret_borrow<py::object>(self);
  });
}

PyObject *transaction_exit(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[4];
    bind_args("__exit__", args, nargs, kwnames, {"self", "exc_type", "exc_val", "exc_tb"}, 4, a);
    py::handle self(a[0]);
    self.attr("_isInWith") = py::bool_(false);
    if (a[1] == Py_None) {
      self.attr("commit")();
      return py::none();
    }
    // Without rollback the writes made before the error still land; with it the batch is
    // simply never committed.
    if (!truth(self.attr("_rollback_at_error"))) self.attr("commit")();
    py::object callback = self.attr("_error_callback");
    if (truth(callback)) callback(py::handle(a[1]), py::handle(a[2]), py::handle(a[3]));
    return py::bool_(!truth(self.attr("_raiseError")));
  });
}

PyObject *transaction_repr(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *a[1];
    bind_args("__repr__", args, nargs, kwnames, {"self"}, 1, a);
    py::object id = steal(PyObject_GetAttr(a[0], proxy_names().internal_id));
    py::str empty("");
    py::object id_text = steal(PyObject_Format(id.ptr(), empty.ptr()));
    return steal(PyUnicode_FromFormat("<OfficeJsTransaction id=%U>", id_text.ptr()));
  });
}

}  // namespace

void init_transaction(py::module_ &m) {
  m.attr("UNIQUE_TRANSACTION_ID") = 5;
  ClassBuilder cls("OfficeJsTransaction", TRANSACTION_DOC);
  cls.add("__init__", fast_method("__init__", &transaction_init,
                                  "OfficeJsTransaction.__init__(self, roolback_at_error=False, "
                                  "raiseError=True, error_callback=None, block_gets=False)"));
  cls.add("_start", fast_method("_start", &transaction_start,
                                "OfficeJsTransaction._start(self)\n\n"
                                "Open a batch on the add-in's transaction object."));
  cls.add("commit", fast_method("commit", &transaction_commit,
                                "OfficeJsTransaction.commit(self)\n\n"
                                "Commit the batch; inside a with block, open the next one."));
  cls.add("__enter__",
          fast_method("__enter__", &transaction_enter, "OfficeJsTransaction.__enter__(self)"));
  cls.add("__exit__", fast_method("__exit__", &transaction_exit,
                                  "OfficeJsTransaction.__exit__(self, exc_type, exc_val, exc_tb)"));
  cls.add("__del__", fast_method("__del__", &proxy_del, "OfficeJsTransaction.__del__(self)"));
  cls.add("__repr__",
          fast_method("__repr__", &transaction_repr, "OfficeJsTransaction.__repr__(self)"));
  m.attr("OfficeJsTransaction") = cls.build(py::make_tuple());
}

}  // namespace proxwire
