// Messaging: request envelopes handed to the kernel's send handler, futures resolved by
// the listener thread, reset of the messaging context, and the callable registry.
#include <pthread.h>
#include <semaphore.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <exception>
#include <optional>
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

#define THREAD_SAFE_NOTE                                                \
  "\n\n"                                                                \
  "Threading Note: This method is thread-safe due to _callable_lock.\n" \
  "Can be called from any thread (worker or listener)."

const char *const TIMEOUT_TEXT = "Timed out waiting for Office.js response";
const char *const REMOTE_ERROR = "Remote error";

// Attribute names and keys of the hot paths, interned once.
struct Names {
  PyObject *waiters, *waiters_lock, *send_handler, *guid, *callable_registry, *callable_lock,
      *next_callable_id, *acquire, *release, *pop, *get, *values, *clear, *result, *set_result,
      *set_exception, *done, *cancel, *uuid, *uuid4, *hex, *request_id, *kind, *request, *ok,
      *error, *message, *method, *name, *caller, *msg_guid, *timeout_kwnames, *default_timeout,
      *messaging, *thread, *start, *sender_name;
};
Names names;

[[noreturn]] void fail() {
  throw py::error_already_set();
}

py::object get_attr(py::handle o, PyObject *name) {
  return steal(PyObject_GetAttr(o.ptr(), name));
}

// Lock acquisitions and future operations: a contended lock, or a future's own condition,
// is where a thread waits.
py::object call_method(py::handle o, PyObject *name) {
  return steal(park_on_exit([&] { return PyObject_CallMethodNoArgs(o.ptr(), name); }));
}

py::object call_method(py::handle o, PyObject *name, py::handle arg) {
  return steal(park_on_exit([&] { return PyObject_CallMethodOneArg(o.ptr(), name, arg.ptr()); }));
}

bool truth(py::handle o) {
  int t = PyObject_IsTrue(o.ptr());
  if (t < 0) fail();
  return t == 1;
}

// Clears an ordinary Exception so a listener never sees it; anything else (KeyboardInterrupt,
// SystemExit) goes on.
void swallow(py::error_already_set &e) {
  if (!e.matches(PyExc_Exception)) throw;
}

// How deep this thread is inside the send handler, which may answer a request itself.
thread_local int handler_depth = 0;

// Holds one of the threading.Lock attributes for the scope; a contended acquire releases the
// GIL while it waits.
class LockGuard {
 public:
  LockGuard(py::handle owner, PyObject *lock_name) : lock_(get_attr(owner, lock_name)) {
    call_method(lock_, names.acquire);
  }
  ~LockGuard() {
    PyObject *r = PyObject_CallMethodNoArgs(lock_.ptr(), names.release);
    if (r == nullptr) PyErr_WriteUnraisable(lock_.ptr());
    Py_XDECREF(r);
  }
  LockGuard(const LockGuard &) = delete;
  LockGuard &operator=(const LockGuard &) = delete;

 private:
  py::object lock_;
};

void start_release_sender();

// The thread that last delivered a response, to explain time-outs of requests made there.
unsigned long last_listener_thread = 0;

// Random bytes for request IDs, drawn a block at a time from the source os.urandom uses:
// a system call per request would cost more than the rest of the request.
unsigned char random_pool[256];
std::size_t random_used = sizeof random_pool;

void discard_random_pool() {
  random_used = sizeof random_pool;
}

bool draw_random(unsigned char *out) {
  if (random_used + 16 > sizeof random_pool) {
    std::size_t filled = 0;
    while (filled < sizeof random_pool) {
      ssize_t got = getrandom(random_pool + filled, sizeof random_pool - filled, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      filled += static_cast<std::size_t>(got);
    }
    random_used = 0;
  }
  std::copy(random_pool + random_used, random_pool + random_used + 16, out);
  random_used += 16;
  return true;
}

// A fresh request ID, uuid.uuid4().hex through the module global `uuid`. While that global
// and its uuid4 are the originals, the same text is formatted here, without the Python call.
py::object new_request_id() {
  py::object uuid = global(names.uuid);
  py::object uuid4 = get_attr(uuid, names.uuid4);
  unsigned char b[16];
  if (uuid.ptr() != state().uuid_module.ptr() || uuid4.ptr() != state().uuid4.ptr() ||
      !draw_random(b)) {
    py::object value = steal(park_on_exit([&] { return PyObject_CallNoArgs(uuid4.ptr()); }));
    return steal(park_on_exit([&] { return PyObject_GetAttr(value.ptr(), names.hex); }));
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  py::object id = steal(PyUnicode_New(32, 127));
  auto *text = static_cast<char *>(PyUnicode_DATA(id.ptr()));
  static const char HEX[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = HEX[b[i] >> 4];
    text[2 * i + 1] = HEX[b[i] & 0x0f];
  }
  return id;
}

// {**req, "requestId": rid, "kind": "request"}
py::object make_envelope(py::handle req, py::handle rid) {
  py::object env = steal(PyDict_Copy(req.ptr()));
  if (PyDict_SetItem(env.ptr(), names.request_id, rid.ptr()) < 0) fail();
  if (PyDict_SetItem(env.ptr(), names.kind, names.request) < 0) fail();
  return env;
}

void call_handler(py::handle handler, py::handle env) {
  ++handler_depth;
  PyObject *r = park_on_exit([&] { return PyObject_CallOneArg(handler.ptr(), env.ptr()); });
  --handler_depth;
  if (r == nullptr) fail();
  Py_DECREF(r);
}

py::object pop_waiter(py::handle self, py::handle rid) {
  LockGuard guard(self, names.waiters_lock);
  py::object waiters = get_attr(self, names.waiters);
  PyObject *args[] = {waiters.ptr(), rid.ptr(), Py_None};
  return steal(
      PyObject_VectorcallMethod(names.pop, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Pieces of the time-out note that cannot be formatted are left out rather than replacing
// the time-out itself.
std::string text_of(py::handle value, bool as_repr) {
  try {
    return as_repr ? py::repr(value).cast<std::string>() : py::str(value).cast<std::string>();
  } catch (py::error_already_set &e) {
    swallow(e);
  } catch (const py::cast_error &) {
  }
  return "?";
}

// A new reference, since user code that runs later (a __str__, a __bool__) may drop the entry.
py::object dict_item(py::handle d, PyObject *key) {
  PyObject *v = PyDict_GetItemWithError(d.ptr(), key);
  if (v == nullptr && PyErr_Occurred()) fail();
  return py::reinterpret_borrow<py::object>(v);
}

// The note shown under a time-out's traceback, so the user can tell what was waited for.
std::string timeout_note(py::handle self, py::handle req, py::handle rid, double timeout) {
  std::string what;
  try {
    py::object method = dict_item(req, names.method), name = dict_item(req, names.name),
               caller = dict_item(req, names.caller);
    if (method) what += " " + text_of(method, false);
    if (name) what += " " + text_of(name, true);
    what += " (";
    if (caller) what += "caller " + text_of(caller, false) + ", ";
  } catch (py::error_already_set &e) {
    swallow(e);
    what = " (";
  }
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, "%g", timeout);
  std::string note = "No response from the add-in for request" + what + "requestId " +
                     text_of(rid, false) + ") within " + seconds + " s.";
  try {
    std::size_t pending;
    {
      LockGuard guard(self, names.waiters_lock);
      pending = py::len(get_attr(self, names.waiters));
    }
    note += " " + std::to_string(pending) + " other request" + (pending == 1 ? " is" : "s are") +
            " still pending.";
  } catch (py::error_already_set &e) {
    swallow(e);
  }
  if (last_listener_thread != 0 && last_listener_thread == PyThread_get_thread_ident()) {
    note +=
        " This thread is the one that last delivered a response (on_message): a response can "
        "never arrive on the thread that waits for it, so make requests from another thread.";
  }
  return note;
}

// TimeoutError with the caught time-out as its context, as `raise` inside `except` leaves it.
[[noreturn]] void raise_timeout(py::handle self, py::handle req, py::handle rid, double timeout,
                                py::error_already_set &caught) {
  std::string note = timeout_note(self, req, rid, timeout);
  py::object error = steal(PyObject_CallOneArg(PyExc_TimeoutError, py::str(TIMEOUT_TEXT).ptr()));
  if (caught.trace()) PyException_SetTraceback(caught.value().ptr(), caught.trace().ptr());
  PyException_SetContext(error.ptr(), caught.value().inc_ref().ptr());
  call_method(error, py::str("add_note").ptr(), py::str(note));
  PyErr_Restore(py::handle(PyExc_TimeoutError).inc_ref().ptr(), error.release().ptr(), nullptr);
  fail();
}

// The add-in's refusal of an attribute or item reaches user code as the attribute error,
// so that Python's attribute protocol (hasattr, getattr with a default) keeps answering.
bool refuses_attribute(py::handle req) {
  PyObject *method = PyDict_GetItemWithError(req.ptr(), names.method);
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
  PyObject *cls = state().remote_attribute_error.ptr();
  py::object args = get_attr(caught.value(), py::str("args").ptr());
  py::object error = steal(PyObject_Call(cls, args.ptr(), nullptr));
  PyErr_SetObject(cls, error.ptr());
  fail();
}

PyObject *init(PyObject *, PyObject *const *raw, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *args[1];
    bind_args("__init__", raw, nargs, kwnames, {"self"}, 1, args);
    py::handle self = args[0];
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
    return py::none();
  });
}

PyObject *set_send_handler(PyObject *, PyObject *const *raw, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *args[2];
    bind_args("set_send_handler", raw, nargs, kwnames, {"self", "handler"}, 2, args);
    if (PyObject_SetAttr(args[0], names.send_handler, args[1]) < 0) fail();
    if (args[1] != Py_None) start_release_sender();
    return py::none();
  });
}

// What a false "ok" fails the request with: the "message" of an "error" dict, a non-empty
// "error" text itself, else "Remote error".
py::object remote_error_text(py::handle message) {
  py::object error = dict_item(message, names.error);
  if (!error) return py::str(REMOTE_ERROR);
  if (PyDict_CheckExact(error.ptr())) {
    py::object text = dict_item(error, names.message);
    return text ? text : py::str(REMOTE_ERROR);
  }
  if (PyDict_Check(error.ptr())) {
    py::str deflt(REMOTE_ERROR);
    PyObject *args[] = {error.ptr(), names.message, deflt.ptr()};
    return steal(
        PyObject_VectorcallMethod(names.get, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  if (PyUnicode_Check(error.ptr()) && PyUnicode_GET_LENGTH(error.ptr()) > 0) {
    return error;
  }
  return py::str(REMOTE_ERROR);
}

void fail_future(py::handle fut, py::handle text) {
  py::object error = steal(PyObject_CallOneArg(PyExc_RuntimeError, text.ptr()));
  call_method(fut, names.set_exception, error);
}

// Resolves a future popped from `waiters`; a malformed response fails it rather than
// leaving its caller to wait out the time-out.
void resolve(py::handle fut, py::handle message) {
  bool ok;
  try {
    py::object ok_value = dict_item(message, names.ok);
    ok = ok_value && truth(ok_value);
  } catch (py::error_already_set &e) {
    swallow(e);
    ok = false;
  }
  if (ok) {
    call_method(fut, names.set_result, message);
    return;
  }
  py::object text;
  try {
    text = remote_error_text(message);
  } catch (py::error_already_set &e) {
    swallow(e);
    text = py::str(REMOTE_ERROR);
  }
  fail_future(fut, text);
}

PyObject *on_message(PyObject *, PyObject *const *raw, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *args[2];
    bind_args("on_message", raw, nargs, kwnames, {"self", "message"}, 2, args);
    py::handle self = args[0], message = args[1];
    require_exact(message, &PyDict_Type, "message");
    // An answer given inside the send call arrives on the waiting thread by design.
    if (handler_depth == 0) last_listener_thread = PyThread_get_thread_ident();
    py::object fut;
    try {
      py::object req_id = dict_item(message, names.request_id);
      if (!req_id || !truth(req_id)) return py::none();
      // Request IDs are str; only an exact str is looked up, so no user code runs under the lock.
      if (!PyUnicode_Check(req_id.ptr())) return py::none();
      if (!PyUnicode_CheckExact(req_id.ptr())) req_id = steal(PyUnicode_FromObject(req_id.ptr()));
      fut = pop_waiter(self, req_id);
      if (fut.is_none() || truth(call_method(fut, names.done))) return py::none();
    } catch (py::error_already_set &e) {
      swallow(e);
      return py::none();
    }
    bool resolved = true;
    try {
      resolve(fut, message);
    } catch (py::error_already_set &e) {
      swallow(e);
      resolved = false;
    }
    if (resolved) return py::none();
    // Outside the handler, like every call that may wait on the future's condition.
    try {
      if (!truth(call_method(fut, names.done))) fail_future(fut, py::str(REMOTE_ERROR));
    } catch (py::error_already_set &again) {
      swallow(again);
    }
    return py::none();
  });
}

PyObject *send_request_sync(PyObject *, PyObject *const *raw, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() CATCHES_FORCED_UNWIND -> py::object {
    PyObject *args[3];
    bind_args("send_request_sync", raw, nargs, kwnames, {"self", "req", "timeout"}, 2, args);
    py::handle self = args[0], req = args[1];
    require_exact(req, &PyDict_Type, "req");
    py::object timeout;
    double seconds = 30.0;
    if (args[2] == nullptr) {
      timeout = py::reinterpret_borrow<py::object>(names.default_timeout);
    } else {
      seconds = PyFloat_AsDouble(args[2]);
      if (seconds == -1.0 && PyErr_Occurred()) fail();
      timeout = steal(PyFloat_FromDouble(seconds));
    }
    if (!truth(get_attr(self, names.send_handler))) {
      raise_error(PyExc_RuntimeError, "No send handler registered");
    }
    start_release_sender();  // a handler installed without set_send_handler, or after a fork
    py::object rid = new_request_id();
    py::object env = make_envelope(req, rid);
    py::object fut =
        steal(park_on_exit([] { return PyObject_CallNoArgs(state().future_type.ptr()); }));
    {
      LockGuard guard(self, names.waiters_lock);
      if (PyObject_SetItem(get_attr(self, names.waiters).ptr(), rid.ptr(), fut.ptr()) < 0) fail();
    }
    bool sent = false;
    std::optional<py::error_already_set> failure;
    std::exception_ptr other;
    try {
      call_handler(get_attr(self, names.send_handler), env);
      sent = true;
      PyObject *call[] = {fut.ptr(), timeout.ptr()};
      return steal(park_on_exit([&] {
        return PyObject_VectorcallMethod(names.result, call, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         names.timeout_kwnames);
      }));
    } catch (py::error_already_set &e) {
      failure = e;
    } catch (abi::__forced_unwind &) {
      throw;  // the interpreter's exit ends this thread: nothing may run without the GIL
    } catch (...) {
      other = std::current_exception();
    }
    // Handled outside the catch blocks: the lock wait may meet the interpreter's exit, which
    // cannot be caught (and the thread parked) while another exception is being handled.
    pop_waiter(self, rid);
    if (other) std::rethrow_exception(other);
    if (failure->matches(PyExc_TimeoutError)) raise_timeout(self, req, rid, seconds, *failure);
    if (sent &&
        Py_TYPE(failure->value().ptr()) == reinterpret_cast<PyTypeObject *>(PyExc_RuntimeError) &&
        refuses_attribute(req)) {
      raise_remote_attribute_error(*failure);
    }
    throw *failure;
  });
}

PyObject *reset(PyObject *, PyObject *const *raw, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *args[1];
    bind_args("reset", raw, nargs, kwnames, {"self"}, 1, args);
    py::handle self = args[0];
    {
      LockGuard guard(self, names.waiters_lock);
      py::object waiters = get_attr(self, names.waiters);
      py::object pending = steal(PySequence_List(call_method(waiters, names.values).ptr()));
      for (py::handle fut : pending) {
        if (!truth(call_method(fut, names.done))) call_method(fut, names.cancel);
      }
      call_method(waiters, names.clear);
    }
    py::object guid = new_request_id();
    if (PyObject_SetAttr(self.ptr(), names.guid, guid.ptr()) < 0) fail();
    {
      LockGuard guard(self, names.callable_lock);
      call_method(get_attr(self, names.callable_registry), names.clear);
      if (PyObject_SetAttr(self.ptr(), names.next_callable_id, py::int_(1).ptr()) < 0) fail();
    }
    // The fixed root objects outlive a reconnect; every other proxy stays stale.
    for (const char *root_name : {"Context", "Excel", "GetSetting", "Union", "Intersect"}) {
      try {
        py::object root = global(root_name);
        if (PyObject_GenericSetAttr(root.ptr(), names.msg_guid, guid.ptr()) < 0) fail();
      } catch (py::error_already_set &e) {
        swallow(e);
      }
    }
    return py::none();
  });
}

PyObject *register_callable(PyObject *, PyObject *const *raw, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *args[2];
    bind_args("register_callable", raw, nargs, kwnames, {"self", "callable_obj"}, 2, args);
    py::handle self = args[0], callable_obj = args[1];
    if (!PyCallable_Check(callable_obj.ptr())) {
      py::object type_name = steal(PyType_GetName(Py_TYPE(callable_obj.ptr())));
      PyErr_Format(PyExc_TypeError, "Object must be callable, got %U", type_name.ptr());
      fail();
    }
    LockGuard guard(self, names.callable_lock);
    py::object counter = get_attr(self, names.next_callable_id);
    py::object prefix = steal(PySequence_GetSlice(get_attr(self, names.guid).ptr(), 0, 8));
    py::object callable_id =
        steal(PyUnicode_FromFormat("pyfunc_%S_%S", prefix.ptr(), counter.ptr()));
    py::object next = steal(PyNumber_Add(counter.ptr(), py::int_(1).ptr()));
    if (PyObject_SetAttr(self.ptr(), names.next_callable_id, next.ptr()) < 0) fail();
    py::object registry = get_attr(self, names.callable_registry);
    if (PyObject_SetItem(registry.ptr(), callable_id.ptr(), callable_obj.ptr()) < 0) fail();
    return callable_id;
  });
}

PyObject *get_callable(PyObject *, PyObject *const *raw, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *args[2];
    bind_args("get_callable", raw, nargs, kwnames, {"self", "callable_id"}, 2, args);
    require_exact(args[1], &PyUnicode_Type, "callable_id");
    LockGuard guard(args[0], names.callable_lock);
    return call_method(get_attr(args[0], names.callable_registry), names.get, args[1]);
  });
}

PyObject *unregister_callable(PyObject *, PyObject *const *raw, Py_ssize_t nargs,
                              PyObject *kwnames) {
  return entry([&]() -> py::object {
    PyObject *args[2];
    bind_args("unregister_callable", raw, nargs, kwnames, {"self", "callable_id"}, 2, args);
    require_exact(args[1], &PyUnicode_Type, "callable_id");
    LockGuard guard(args[0], names.callable_lock);
    py::object registry = get_attr(args[0], names.callable_registry);
    PyObject *call[] = {registry.ptr(), args[1], Py_None};
    steal(PyObject_VectorcallMethod(names.pop, call, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return py::none();
  });
}

// ---- Releases of dropped proxies ----------------------------------------------------------
// A finaliser runs wherever a last reference drops: inside the send handler, under a lock of
// ours or of the kernel's (a collection starts at any allocation), on the listener thread. So
// it only records its release, and one sender thread of the module hands the releases to the
// send handler in the order they were recorded, with the GIL held and no lock of ours.

struct Releases {
  std::deque<PyObject *> pending;  // DEL requests, owned; touched only with the GIL held
  sem_t wake;                      // posted when `pending` stops being empty
  bool sender_started = false;     // these two with the GIL held too
  bool closing = false;            // the interpreter is exiting: nothing more goes out
  py::handle sender;               // the sender thread's function, never freed
};

// Never destroyed: the sender may still be waiting on it while the process ends.
Releases &releases() {
  static auto *r = new Releases();
  return *r;
}

// Hands one release to the send handler; a release the add-in never hears of only keeps one
// object alive there, so every failure is dropped.
void send_release(PyObject *req) {
  try {
    Owned handler = get_attr(global(names.messaging), names.send_handler);
    if (!truth(handler)) return;
    Owned env = make_envelope(req, new_request_id());
    call_handler(handler, env);
  } catch (py::error_already_set &) {
  }
  PyErr_Clear();
}

PyObject *send_releases(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
  return entry([]() -> py::object {
    Releases &r = releases();
    for (;;) {
      // Waits without the GIL, which is taken back where the interpreter's exit may stop it.
      PyThreadState *saved = PyEval_SaveThread();
      while (sem_wait(&r.wake) != 0 && errno == EINTR) {
      }
      park_on_exit([&] { PyEval_RestoreThread(saved); });
      while (!r.pending.empty() && !r.closing) {
        Owned req = py::reinterpret_steal<py::object>(r.pending.front());
        r.pending.pop_front();
        send_release(req.ptr());
      }
    }
  });
}

// Starts the sender unless it runs; with the GIL held, outside any finaliser.
void start_release_sender() {
  Releases &r = releases();
  if (r.sender_started || r.closing || _Py_IsFinalizing()) return;
  r.sender_started = true;
  try {
    Owned thread_type = get_attr(global("threading"), names.thread);
    Owned kwargs = steal(PyDict_New());
    if (PyDict_SetItemString(kwargs.ptr(), "target", r.sender.ptr()) < 0 ||
        PyDict_SetItemString(kwargs.ptr(), "name", names.sender_name) < 0 ||
        PyDict_SetItemString(kwargs.ptr(), "daemon", Py_True) < 0) {
      fail();
    }
    Owned thread = steal(park_on_exit(
        [&] { return PyObject_VectorcallDict(thread_type.ptr(), nullptr, 0, kwargs.ptr()); }));
    call_method(thread, names.start);
  } catch (py::error_already_set &e) {
    r.sender_started = false;  // tried again by the next request
    swallow(e);
  }
}

PyObject *close_releases(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
  Releases &r = releases();
  r.closing = true;
  while (!r.pending.empty()) {
    Py_DECREF(r.pending.front());
    r.pending.pop_front();
  }
  Py_RETURN_NONE;
}

// A forked child has no sender until its kernel sends again.
void releases_after_fork() {
  Releases &r = releases();
  r.sender_started = false;
  sem_init(&r.wake, 0, r.pending.empty() ? 0 : 1);
}

void init_releases() {
  Releases &r = releases();
  if (sem_init(&r.wake, 0, 0) != 0) raise_error(PyExc_OSError, "cannot make a semaphore");
  pthread_atfork(nullptr, nullptr, &releases_after_fork);
  r.sender = fast_function("send_releases", &send_releases,
                           "send_releases()\n\n"
                           "Hands recorded releases to the send handler, in order, forever.")
                 .release();
  py::object close = fast_function("close_releases", &close_releases,
                                   "close_releases()\n\n"
                                   "Drops recorded releases: none goes out at interpreter exit.");
  py::module_::import("atexit").attr("register")(close);
}

void init_names() {
  Names &n = names;
  n.waiters = intern("waiters");
  n.waiters_lock = intern("_waiters_lock");
  n.send_handler = intern("_send_handler");
  n.guid = intern("_guid");
  n.callable_registry = intern("_callable_registry");
  n.callable_lock = intern("_callable_lock");
  n.next_callable_id = intern("_next_callable_id");
  n.acquire = intern("acquire");
  n.release = intern("release");
  n.pop = intern("pop");
  n.get = intern("get");
  n.values = intern("values");
  n.clear = intern("clear");
  n.result = intern("result");
  n.set_result = intern("set_result");
  n.set_exception = intern("set_exception");
  n.done = intern("done");
  n.cancel = intern("cancel");
  n.uuid = intern("uuid");
  n.uuid4 = intern("uuid4");
  n.hex = intern("hex");
  n.request_id = intern("requestId");
  n.kind = intern("kind");
  n.request = intern("request");
  n.ok = intern("ok");
  n.error = intern("error");
  n.message = intern("message");
  n.method = intern("method");
  n.name = intern("name");
  n.caller = intern("caller");
  n.msg_guid = intern("_msg_guid");
  n.messaging = intern("messaging");
  n.thread = intern("Thread");
  n.start = intern("start");
  n.sender_name = intern("proxwire-releases");
  n.timeout_kwnames = py::make_tuple(py::str("timeout")).release().ptr();
  n.default_timeout = py::float_(30.0).release().ptr();
}

}  // namespace

void record_release(py::dict req) {
  Releases &r = releases();
  if (r.closing || _Py_IsFinalizing()) return;
  bool was_empty = r.pending.empty();
  r.pending.push_back(req.release().ptr());
  if (was_empty) sem_post(&r.wake);
}

void init_messaging(py::module_ &m) {
  init_names();
  pthread_atfork(nullptr, nullptr, &discard_random_pool);  // a child must not repeat our IDs
  init_releases();

  ClassBuilder refusal("RemoteAttributeError",
                       "The add-in refused to read or write an attribute or item of an object.");
  state().remote_attribute_error = refusal.build(
      py::make_tuple(py::handle(PyExc_AttributeError), py::handle(PyExc_RuntimeError)));

  ClassBuilder cls("Messaging", MESSAGING_DOC);
  cls.add("__init__", fast_method("__init__", &init, "Messaging.__init__(self)"));
  cls.add("set_send_handler",
          fast_method("set_send_handler", &set_send_handler,
                      "Messaging.set_send_handler(self, handler)\n\n"
                      "Register a callback used to send messages to the add-in."));
  cls.add("on_message", fast_method("on_message", &on_message,
                                    "Messaging.on_message(self, dict message: Dict[str, Any])\n\n"
                                    "Handle an incoming response message from the add-in."));
  cls.add("send_request_sync",
          fast_method("send_request_sync", &send_request_sync,
                      "Messaging.send_request_sync(self, dict req: Dict[str, "
                      "Any], double timeout: float = 30.0)\n\n"
                      "Send a request and wait synchronously for the response."));
  cls.add("reset", fast_method("reset", &reset,
                               "Messaging.reset(self)\n\n"
                               "Reset the messaging state (e.g., when the connection is closed)."));
  cls.add("register_callable",
          fast_method("register_callable", &register_callable,
                      "Messaging.register_callable(self, callable_obj: Any) -> str\n\n"
                      "Register a Python callable and return its ID." THREAD_SAFE_NOTE));
  cls.add("get_callable",
          fast_method("get_callable", &get_callable,
                      "Messaging.get_callable(self, str callable_id: str) -> Any\n\n"
                      "Retrieve a registered callable by its ID." THREAD_SAFE_NOTE));
  cls.add("unregister_callable",
          fast_method("unregister_callable", &unregister_callable,
                      "Messaging.unregister_callable(self, str callable_id: str)\n\n"
                      "Remove a callable from the registry." THREAD_SAFE_NOTE));
  m.attr("Messaging") = cls.build(py::make_tuple());
}

}  // namespace proxwire
