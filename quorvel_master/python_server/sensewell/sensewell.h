// Internal interface of the sensewell module: one init function per source file, the
// method table LSPBridge is assembled from, the jedi lock, and the argument helpers.
#pragma once

#include <cxxabi.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

// UBSan takes the catch parameter of a forced unwind (a foreign exception object) for a null
// reference; the parameter is never used, so its checks are off in the functions catching it.
#define CATCHES_FORCED_UNWIND __attribute__((no_sanitize_undefined))

namespace py = pybind11;

namespace sensewell {

inline constexpr const char *MODULE_NAME = "quorvel_master.python_server.sensewell";

// Imports looked up once at module initialisation; never freed, so no decref runs
// after the interpreter has gone.
struct State {
  py::module_ module;  // sensewell itself; its globals are looked up by name at each use
};
State &state();

// Module globals (jedi, logger, os, ...) are looked up at each use so they can be replaced.
inline py::object global(const char *name) {
  return state().module.attr(name);
}
// A name the module may shadow but normally takes from builtins (open, len, ...), found the
// way a Python global lookup finds it.
py::object builtin(const char *name);

// Typed parameters: exact builtin str, dict and list; optional ones also take None.
void require_exact(py::handle value, PyTypeObject *type, const char *param);
void require_exact_or_none(py::handle value, PyTypeObject *type, const char *param);
// An int parameter: an exact int passes, any other number goes through int(), str is refused.
py::int_ to_int(py::handle value, const char *param);

[[noreturn]] void raise_error(PyObject *exc_type, const std::string &message);

// Once the interpreter is finalising, a daemon thread that reaches for the GIL is ended with a
// forced unwind (abi::__forced_unwind). Nothing may be released on that unwind, since the GIL
// is gone, so the thread sleeps until the process ends instead, keeping whatever it holds.
[[noreturn]] void park_forever() noexcept;

// Makes one call into Python where a thread may sit when the process exits. `call` uses the
// raw C API only, with no C++ owner created inside it, and a forced unwind parks the thread.
template <typename F>
CATCHES_FORCED_UNWIND decltype(auto) park_on_exit(F &&call) {
  // While this thread handles another exception a forced unwind cannot be caught: it goes on
  // to the first frame outside that handler, so such calls are kept out of catch blocks.
  if (std::current_exception()) return call();
  try {
    return call();
  } catch (abi::__forced_unwind &) {
    park_forever();
  }
}

// callable(**kwargs) for the jedi calls where requests and the warm-up spend their time.
py::object call_jedi(const py::object &callable, py::handle kwargs = py::handle());

// callable(*args, **kwargs) for any other call that can block or run much Python code (file
// I/O, pyflakes, the parser, the import system, overridable methods). args is a tuple, kwargs
// a dict or null.
py::object call_parked(py::handle callable, py::handle args, py::handle kwargs = py::handle());

// Serialises every use of jedi in the process (jedi is not thread-safe). Waiting for it
// releases the GIL, so the holder can finish. Re-entrant on the thread that holds it.
class JediLock {
 public:
  JediLock();
  ~JediLock();
  JediLock(const JediLock &) = delete;
  JediLock &operator=(const JediLock &) = delete;
};

// A C++ function that binds like a Python method when stored in a class namespace.
template <typename F, typename... Extra>
py::object method(const char *name, F &&f, const char *doc, const Extra &...extra) {
  py::cpp_function fn(std::forward<F>(f), py::name(name), py::doc(doc), py::scope(state().module),
                      extra...);
  if (std::string_view(name) == "__init__") {
    // pybind11 takes any "__init__" for a constructor of its own classes, which would refuse
    // our plain instances as self.
    auto record = py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(fn.ptr()));
    record.get_pointer<py::detail::function_record>()->is_constructor = false;
  }
  PyObject *bound = PyInstanceMethod_New(fn.ptr());
  if (bound == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bound);
}

// The three jedi request methods (completions, hover, signature help) share their
// arguments, position checks, module sync and script set-up; defined in hover.cpp.
struct Request {
  py::object self, code, line, column, path, modules, dirty_files;  // line, column: exact ints
};
using RequestFn = py::dict (*)(py::object self, py::object code, py::object line, py::object column,
                               py::object path, py::object modules, py::object dirty_files);
// A method taking (self, code, line, column, path=None, modules=None, dirty_files=None).
py::object request_method(const char *name, RequestFn fn, const char *doc);
// Refuses wrongly typed arguments with TypeError; converts line and column.
Request accept_request(py::object self, py::object code, py::object line, py::object column,
                       py::object path, py::object modules, py::object dirty_files);
void check_position(const Request &req);
void sync_request_modules(const Request &req);
// The jedi script over the request's text; the caller holds the JediLock.
py::object open_script(const Request &req);
// The catch-all of a request method: any Exception from `body` is logged as
// "[LSP] Error in <method>: %s" and answered with `failed(<its text>)`.
py::dict guard_request(const char *method, const std::function<py::dict()> &body,
                       py::dict (*failed)(py::object error_msg));
bool truthy(py::handle value);
bool is_instance(py::handle value, py::handle type);
// What `except Exception` catches; anything else (KeyboardInterrupt, SystemExit) passes.
bool is_exception(const py::error_already_set &e);
bool equals(py::handle value, const char *text);

// Every log record goes through here: logger.<level>(*args, **kwargs), parked on exit.
void log_record(const char *level, py::handle args, py::handle kwargs = py::handle());

// Format and arguments go to the logger separately, as %-style logging expects; a message
// without arguments is passed alone.
template <typename Fmt, typename... Args>
void log(const char *level, const Fmt &fmt, Args &&...args) {
  log_record(level, py::make_tuple(fmt, std::forward<Args>(args)...));
}

// LSPBridge's methods by name; module.cpp puts them into the class in its fixed order.
using Methods = std::map<std::string, py::object>;

// One per source file, each adding its methods; called by module.cpp.
void init_lifecycle(Methods &methods);
void init_hover(Methods &methods);
void init_completions(Methods &methods);
void init_signature_help(Methods &methods);
void init_diagnostics(Methods &methods);
void init_imports(Methods &methods);

}  // namespace sensewell
