// Internal interface of the sensewell module: one init function per source file, the
// method table LSPBridge is assembled from, the jedi lock, and the request helpers.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "pyglue/pyglue.h"

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

// The helpers both modules share, under the names the code here uses. Typed parameters are
// exact builtin str, dict and list; optional ones also take None; an int goes through to_int.
using pyglue::ClassBuilder;
using pyglue::method;
using pyglue::park_forever;
using pyglue::park_on_exit;
using pyglue::raise_error;
using pyglue::require_exact;
using pyglue::require_exact_or_none;
using pyglue::to_int;

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
// Editor requests beyond the specified ones.
void init_navigation(Methods &methods);
void init_symbols(Methods &methods);
void init_rename(Methods &methods);
void init_code_actions(Methods &methods);
void init_markers(Methods &methods);

}  // namespace sensewell
