// Messaging: request envelopes handed to the kernel's send handler, futures resolved by
// the listener thread, reset of the messaging context, and the callable registry.
#include <deque>
#include <string>

#include "proxwire.h"

namespace proxwire {
namespace {

const char *const MESSAGING_DOC =
    "\n"
    "    Handles messaging for the Python-Excel bridge.\n"
    "\n"
    "    This class does NOT start a WebSocket server. Instead, it uses a\n"
    "    send handler callback pattern that allows the kernel to forward\n"
    "    messages through the Business Layer.\n"
    "\n"
    "    Threading Model:\n"
    "    ----------------\n"
    "    This class is designed to be thread-safe for use in multi-threaded environments:\n"
    "    - waiters dict: Protected by _waiters_lock (threading.Lock)\n"
    "    - callable_registry: Protected by _callable_lock (threading.Lock)\n"
    "    - send_request_sync(): Can be called from worker threads, blocks using "
    "concurrent.futures.Future\n"
    "    - on_message(): Can be called from listener thread to resolve pending futures\n"
    "    ";

const char *const THREAD_SAFE_NOTE =
    "\n\n"
    "Threading Note: This method is thread-safe due to _callable_lock.\n"
    "Can be called from any thread (worker or listener).";

const char *const TIMEOUT_TEXT = "Timed out waiting for Office.js response";

// Holds a threading.Lock for the scope; acquiring a contended one releases the GIL.
class PyLockGuard {
 public:
  explicit PyLockGuard(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
  ~PyLockGuard() {
    PyObject *r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
    if (r == nullptr) PyErr_WriteUnraisable(lock_.ptr());
    Py_XDECREF(r);
  }
  PyLockGuard(const PyLockGuard &) = delete;
  PyLockGuard &operator=(const PyLockGuard &) = delete;

 private:
  py::object lock_;
};

// How deep this thread is inside the send handler, so finalisation never re-enters it.
thread_local int handler_depth = 0;
// Detached requests that arose inside the handler; touched only with the GIL held.
std::deque<py::object> &detached_queue() {
  static auto *queue = new std::deque<py::object>();
  return *queue;
}
// The thread that last delivered a response, to explain time-outs of requests made there.
unsigned long last_listener_thread = 0;

py::str new_request_id() {
  return state().uuid4().attr("hex");
}

py::dict make_envelope(py::handle req, py::handle rid) {
  PyObject *env = PyDict_Copy(req.ptr());
  if (env == nullptr) throw py::error_already_set();
  auto result = py::reinterpret_steal<py::dict>(env);
  result["requestId"] = rid;
  result["kind"] = "request";
  return result;
}

void flush_detached();

void call_handler(py::handle handler, py::handle env) {
  ++handler_depth;
  try {
    handler(env);
  } catch (...) {
    --handler_depth;
    throw;
  }
  if (--handler_depth == 0) flush_detached();
}

void flush_detached() {
  auto &queue = detached_queue();
  while (!queue.empty() && handler_depth == 0) {
    py::object env = std::move(queue.front());
    queue.pop_front();
    try {
      py::object handler = global("messaging").attr("_send_handler");
      if (PyObject_IsTrue(handler.ptr()) == 1) call_handler(handler, env);
    } catch (py::error_already_set &) {
      // A release the add-in never hears of only keeps one object alive there.
    }
    PyErr_Clear();
  }
}

void pop_waiter(py::handle self, py::handle rid) {
  PyLockGuard guard(self.attr("_waiters_lock"));
  self.attr("waiters").attr("pop")(rid, py::none());
}

std::string describe_seconds(double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", seconds);
  return buf;
}

// The note added under a time-out's traceback, so the user can tell what was waited for.
std::string timeout_note(py::handle self, py::dict req, py::handle rid, double timeout) {
  std::string note = "No response from the add-in for ";
  bool has_method = req.contains("method"), has_name = req.contains("name");
  if (has_method || has_name) {
    note += "request";
    if (has_method) note += " " + py::str(req["method"]).cast<std::string>();
    if (has_name) note += " " + py::repr(req["name"]).cast<std::string>();
  } else {
    note += "the request";
  }
  if (req.contains("caller")) note += " on object " + py::str(req["caller"]).cast<std::string>();
  note += " (requestId " + py::str(rid).cast<std::string>() + ") after " +
          describe_seconds(timeout) + " s.";
  size_t pending;
  {
    PyLockGuard guard(self.attr("_waiters_lock"));
    pending = py::len(self.attr("waiters"));
  }
  note += " " + std::to_string(pending) + " other request" + (pending == 1 ? " is" : "s are") +
          " still pending.";
  if (last_listener_thread != 0 && last_listener_thread == PyThread_get_thread_ident()) {
    note +=
        " This thread delivers the add-in's responses (on_message), so a response can never "
        "arrive while it waits: make requests from a worker thread instead.";
  }
  return note;
}

[[noreturn]] void raise_timeout(py::handle self, py::dict req, py::handle rid, double timeout,
                                py::error_already_set &caught) {
  std::string note = timeout_note(self, req, rid, timeout);
  py::object error = py::reinterpret_borrow<py::object>(PyExc_TimeoutError)(TIMEOUT_TEXT);
  caught.restore();
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyException_SetContext(error.ptr(), value);  // steals value
  error.attr("add_note")(note);
  PyErr_SetObject(PyExc_TimeoutError, error.ptr());
  throw py::error_already_set();
}

// The add-in's refusal of an attribute or item reaches user code as the attribute error,
// so that Python's attribute protocol (hasattr, getattr with a default) keeps answering.
bool refuses_attribute(py::handle req) {
  PyObject *method = PyDict_GetItemWithError(req.ptr(), py::str("method").ptr());
  if (method == nullptr) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(method)) return false;
  for (const char *name : {"GET", "GETITEM", "SET"}) {
    if (PyUnicode_CompareWithASCIIString(method, name) == 0) return true;
  }
  return false;
}

[[noreturn]] void raise_remote_attribute_error(py::error_already_set &caught) {
  py::object error = state().remote_attribute_error(*caught.value().attr("args"));
  PyErr_SetObject(state().remote_attribute_error.ptr(), error.ptr());
  throw py::error_already_set();
}

void init(py::handle self) {
  py::object threading = global("threading");
  self.attr("waiters") = py::dict();
  self.attr("_waiters_lock") = threading.attr("Lock")();
  self.attr("_guid") = new_request_id();
  self.attr("_send_handler") = py::none();
  self.attr("loop") = py::none();
  self.attr("loop_thread") = py::none();
  self.attr("_callable_registry") = py::dict();
  self.attr("_callable_lock") = threading.attr("Lock")();
  self.attr("_next_callable_id") = 1;
}

void set_send_handler(py::handle self, py::object handler) {
  self.attr("_send_handler") = handler;
}

void on_message(py::handle self, py::object message) {
  require_exact(message, &PyDict_Type, "message");
  last_listener_thread = PyThread_get_thread_ident();
  auto msg = py::reinterpret_borrow<py::dict>(message);
  py::object req_id = msg.attr("get")("requestId");
  if (!PyObject_IsTrue(req_id.ptr())) return;
  py::object fut;
  {
    PyLockGuard guard(self.attr("_waiters_lock"));
    fut = self.attr("waiters").attr("pop")(req_id, py::none());
  }
  if (fut.is_none() || PyObject_IsTrue(fut.attr("done")().ptr())) return;
  if (PyObject_IsTrue(msg.attr("get")("ok").ptr())) {
    fut.attr("set_result")(msg);
    return;
  }
  py::object error = msg.attr("get")("error", py::dict());
  py::object text;
  if (PyDict_Check(error.ptr())) {
    text = error.attr("get")("message", "Remote error");
  } else if (PyUnicode_Check(error.ptr()) && PyUnicode_GetLength(error.ptr()) > 0) {
    // A malformed answer still fails the request at once instead of leaving it to time out.
    text = error;
  } else {
    text = py::str("Remote error");
  }
  fut.attr("set_exception")(py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(text));
}

py::object send_request_sync(py::handle self, py::object req, py::object timeout) {
  require_exact(req, &PyDict_Type, "req");
  double seconds = PyFloat_AsDouble(timeout.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (!PyObject_IsTrue(self.attr("_send_handler").ptr())) {
    raise_error(PyExc_RuntimeError, "No send handler registered");
  }
  py::str rid = new_request_id();
  py::dict env = make_envelope(req, rid);
  py::object fut = state().future_type();
  {
    PyLockGuard guard(self.attr("_waiters_lock"));
    self.attr("waiters")[rid] = fut;
  }
  bool sent = false;
  try {
    flush_detached();
    call_handler(self.attr("_send_handler"), env);
    sent = true;
    return fut.attr("result")(py::arg("timeout") = seconds);
  } catch (py::error_already_set &e) {
    pop_waiter(self, rid);
    if (e.matches(PyExc_TimeoutError)) {
      raise_timeout(self, py::reinterpret_borrow<py::dict>(req), rid, seconds, e);
    }
    if (sent && Py_TYPE(e.value().ptr()) == reinterpret_cast<PyTypeObject *>(PyExc_RuntimeError) &&
        refuses_attribute(req)) {
      raise_remote_attribute_error(e);
    }
    throw;
  } catch (...) {
    pop_waiter(self, rid);
    throw;
  }
}

void reset(py::handle self) {
  {
    PyLockGuard guard(self.attr("_waiters_lock"));
    py::object waiters = self.attr("waiters");
    py::list pending(waiters.attr("values")());
    for (py::handle fut : pending) {
      if (!PyObject_IsTrue(fut.attr("done")().ptr())) fut.attr("cancel")();
    }
    waiters.attr("clear")();
  }
  py::object guid = new_request_id();
  self.attr("_guid") = guid;
  {
    PyLockGuard guard(self.attr("_callable_lock"));
    self.attr("_callable_registry").attr("clear")();
    self.attr("_next_callable_id") = 1;
  }
  // The fixed root objects outlive a reconnect; every other proxy stays stale.
  for (const char *name : {"Context", "Excel", "GetSetting", "Union", "Intersect"}) {
    try {
      py::object root = global(name);
      if (PyObject_GenericSetAttr(root.ptr(), py::str("_msg_guid").ptr(), guid.ptr()) < 0) {
        throw py::error_already_set();
      }
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
}

py::object register_callable(py::handle self, py::object callable_obj) {
  if (!PyCallable_Check(callable_obj.ptr())) {
    raise_error(PyExc_TypeError, std::string("Object must be callable, got ") +
                                     Py_TYPE(callable_obj.ptr())->tp_name);
  }
  PyLockGuard guard(self.attr("_callable_lock"));
  py::object counter = self.attr("_next_callable_id");
  std::string guid = py::str(self.attr("_guid")).cast<std::string>();
  py::str callable_id("pyfunc_" + guid.substr(0, 8) + "_" + py::str(counter).cast<std::string>());
  self.attr("_next_callable_id") = counter + py::int_(1);
  self.attr("_callable_registry")[callable_id] = callable_obj;
  return callable_id;
}

py::object get_callable(py::handle self, py::object callable_id) {
  require_exact(callable_id, &PyUnicode_Type, "callable_id");
  PyLockGuard guard(self.attr("_callable_lock"));
  return self.attr("_callable_registry").attr("get")(callable_id);
}

void unregister_callable(py::handle self, py::object callable_id) {
  require_exact(callable_id, &PyUnicode_Type, "callable_id");
  PyLockGuard guard(self.attr("_callable_lock"));
  self.attr("_callable_registry").attr("pop")(callable_id, py::none());
}

}  // namespace

void send_detached(py::dict req) {
  if (_Py_IsFinalizing()) return;
  try {
    py::object handler = global("messaging").attr("_send_handler");
    if (PyObject_IsTrue(handler.ptr()) != 1) {
      PyErr_Clear();
      return;
    }
    py::dict env = make_envelope(req, new_request_id());
    if (handler_depth > 0) {
      // Re-entering the handler from inside itself could corrupt the kernel's channel.
      detached_queue().push_back(std::move(env));
      return;
    }
    call_handler(handler, env);
  } catch (py::error_already_set &) {
  }
  PyErr_Clear();
}

void init_messaging(py::module_ &m) {
  ClassBuilder refusal("RemoteAttributeError",
                       "The add-in refused to read or write an attribute or item of an object.");
  state().remote_attribute_error = refusal.build(
      py::make_tuple(py::handle(PyExc_AttributeError), py::handle(PyExc_RuntimeError)));
  ClassBuilder cls("Messaging", MESSAGING_DOC);
  cls.add("__init__", method("__init__", &init, "Messaging.__init__(self)", py::arg("self")));
  cls.add("set_send_handler", method("set_send_handler", &set_send_handler,
                                     "Messaging.set_send_handler(self, handler)\n\n"
                                     "Register a callback used to send messages to the add-in.",
                                     py::arg("self"), py::arg("handler")));
  cls.add("on_message", method("on_message", &on_message,
                               "Messaging.on_message(self, dict message: Dict[str, Any])\n\n"
                               "Handle an incoming response message from the add-in.",
                               py::arg("self"), py::arg("message")));
  cls.add("send_request_sync",
          method("send_request_sync", &send_request_sync,
                 "Messaging.send_request_sync(self, dict req: Dict[str, Any], "
                 "double timeout: float = 30.0)\n\n"
                 "Send a request and wait synchronously for the response.",
                 py::arg("self"), py::arg("req"), py::arg("timeout") = py::float_(30.0)));
  cls.add("reset", method("reset", &reset,
                          "Messaging.reset(self)\n\n"
                          "Reset the messaging state (e.g., when the connection is closed).",
                          py::arg("self")));
  cls.add("register_callable",
          method("register_callable", &register_callable,
                 (std::string("Messaging.register_callable(self, callable_obj: Any) -> str\n\n"
                              "Register a Python callable and return its ID.") +
                  THREAD_SAFE_NOTE)
                     .c_str(),
                 py::arg("self"), py::arg("callable_obj")));
  cls.add("get_callable",
          method("get_callable", &get_callable,
                 (std::string("Messaging.get_callable(self, str callable_id: str) -> Any\n\n"
                              "Retrieve a registered callable by its ID.") +
                  THREAD_SAFE_NOTE)
                     .c_str(),
                 py::arg("self"), py::arg("callable_id")));
  cls.add("unregister_callable",
          method("unregister_callable", &unregister_callable,
                 (std::string("Messaging.unregister_callable(self, str callable_id: str)\n\n"
                              "Remove a callable from the registry.") +
                  THREAD_SAFE_NOTE)
                     .c_str(),
                 py::arg("self"), py::arg("callable_id")));
  m.attr("Messaging") = cls.build(py::make_tuple());
}

}  // namespace proxwire
