// Internal interface of the sensewell module: one init function per source file, the
// method table LSPBridge is assembled from, the jedi lock, and the request helpers.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "pyglue/pyglue.h"

namespace sensewell {

inline constexpr const char *MODULE_NAME = "quorvel_master.python_server.sensewell";

// Imports looked up once at module initialisation; never freed, so no decref runs
// after the interpreter has gone.
struct State {
  py::module_ module;    // sensewell itself; its globals are looked up by name at each use
  py::set own_packages;  // top-level packages that importing sensewell brought in
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

// os.fspath(path), parked.
py::object fspath(py::handle path);

struct Request;

// Serialises every use of jedi in the process (jedi is not thread-safe), in arrival order.
// A request waits at most its bridge's time budget (the attribute request_timeout, 5 s when
// absent, none when None or 0) for its turn, then raises TimeoutError; holding the lock it runs
// at most that long before a watchdog interrupts it (see is_interruption). Background work
// waits and runs without a budget. Waiting releases the GIL. Re-entrant on the holding thread.
// Every jedi request holds one from its script's creation to its last read of jedi's results.
class JediLock {
 public:
  explicit JediLock(const Request &req);
  // Background work waits and runs without a budget; work that `yields` is interrupted as
  // soon as a request waits for the lock, and must then start its slice again.
  struct Background {
    bool yields = false;
  };
  JediLock(Background background, py::handle self);
  ~JediLock();
  JediLock(const JediLock &) = delete;
  JediLock &operator=(const JediLock &) = delete;
  // Whether a thread is waiting for the lock.
  static bool awaited();
  // For background work between two slices, holding no JediLock: lets waiting threads go
  // first.
  static void let_waiters_in();
  // For background work that was interrupted for a request, holding no JediLock: returns once
  // no request has held or waited for the lock for `quiet` (or the interpreter is exiting).
  static void wait_for_quiet(std::chrono::milliseconds quiet);

 private:
  void acquire(bool timed);
  void settle(py::handle self);
  void arm();
  void release();
  double budget_ = 0;
  std::uint64_t ticket_ = 0;
  bool held_ = false;
  bool yields_ = false;
  bool background_ = false;
};
// Refuses a request_timeout that is no number, as a request taking the lock would.
void check_budget(py::handle self);
// Once per bridge: the hook that stops the lock's holder when the interpreter exits.
void prepare_jedi_lock();
// Whether that hook has run: the interpreter is exiting, and no module is written any more.
bool exiting();
// The watchdog's interruption of a request past its budget (a BaseException, so jedi's
// handlers let it through), and the error text it is answered with.
bool is_interruption(const py::error_already_set &e);
bool interruption_raised();  // the Python error set is one
std::string interruption_text();

// jedi's parse cache: swept between jedi runs only (see parse_cache.cpp), with the bridge's
// deleted and removed module files forgotten; called by the JediLock with the lock held.
void settle_parse_cache(py::handle self);
void parse_cache_interrupted();
void prepare_parse_cache();
// Calls a part of jedi's or parso's that an interruption must not split (see jedi_lock.cpp).
py::object call_shielded(py::handle function, bool raise_pending, const py::args &args,
                         const py::kwargs &kwargs);
void forget_parsed(py::handle path);
void note_edited(py::handle path);  // a request's script path in a module directory
void note_script(py::handle path);  // any request's script path
void add_module_directory(py::handle directory);
void forget_module_directory(py::handle directory);

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
// The path jedi gets for the request's text: "<editor>", `path`, or the module's synced file.
py::object script_path(const Request &req);
// The jedi script over the request's text, at `path` when given; the caller holds the
// JediLock.
py::object open_script(const Request &req, py::object path = {});
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

// What a completion item carries besides its name (completions.cpp). `complete` is false when
// a handler absorbed a failure, which is never kept in the store.
struct ItemFields {
  py::object type, doc, detail;  // doc "" and detail null when there is none
  bool complete = true;
};
ItemFields item_fields(py::handle self, py::handle completion);

// The completion-item store (store.cpp), used under the JediLock: a request or warm-up slice
// looks its items up by key and records what it computed; flush writes the records to disk.
class ItemStore {
 public:
  ItemStore(py::handle self, py::handle script_path, bool warmup = false);
  bool active() const { return active_; }
  const py::object &search_key() const { return search_key_; }
  // (scope, name key) when the item's answer comes from installed libraries only, else None.
  py::object key(py::handle completion);
  // (type, doc, detail) stored under key and still valid, else None.
  py::object find(py::handle key);
  void record(py::handle key, py::handle completion, py::handle type, py::handle doc,
              py::handle detail);
  void flush();
  // The library files the items looked up so far were keyed by or found to depend on.
  const py::set &touched() const { return touched_; }

 private:
  py::object identity(py::handle path);
  bool is_library_file(py::handle file);
  py::object scope(py::handle file);
  py::dict rows(py::handle scope_id);
  bool deps_hold(py::handle deps);
  py::object dependencies(py::handle completion, py::handle key_value);

  bool active_ = false, warmup_ = false;
  py::object search_key_ = py::none(), excluded_dir_, script_path_ = py::none();
  py::dict stats_, scopes_, deps_checked_;  // per request: file identities and verdicts
  py::set touched_;
};
// The database file of the store (its folder made), or None when it cannot be had; a
// connection to it with the store's settings and tables; the store's one warning.
py::object store_database_path();
py::object connect_store(py::handle path);
void store_unavailable(const char *what, py::handle error);
// Whether `e` is a database error; reporting one with that warning, and whether it lasts (a
// locked database is tried again next time).
bool is_store_error(const py::error_already_set &e);
bool store_failure_lasts(const py::error_already_set &e);
// A file's identity for the stores, "path\x1fsize\x1fmtime_ns", or None when it cannot be
// read; and the short digest that keys stored rows.
py::object file_identity(py::handle path);
py::object text_digest(py::handle text);

// Whole completion lists (list_store.cpp) for attribute completion on an imported library
// module. The key, a digest or null, is found from the text alone.
py::object completion_list_key(py::handle self, py::handle code, py::handle line, py::handle column,
                               py::handle path, py::handle search_key);
// The stored rows (name, type, doc, detail) while all they were read from holds, else None.
// Needs no JediLock.
py::object find_completion_list(py::handle key);
// Notes what jedi reads while a list is computed under the JediLock.
class ListRecording {
 public:
  explicit ListRecording(bool active);
  ~ListRecording();
  ListRecording(const ListRecording &) = delete;
  ListRecording &operator=(const ListRecording &) = delete;

 private:
  bool active_;
};
void record_completion_list(py::handle self, py::handle key, py::handle rows,
                            const ItemStore &store);
// Writes the lists recorded so far to the database; called after the JediLock is let go, so
// that no request waits for the write.
void flush_completion_lists();
void note_exchange(const py::args &args, const py::kwargs &kwargs);
// The warm-up's list of a snippet (completions.cpp), under the JediLock.
void fill_completion_list(py::object self, py::handle code, py::handle line, py::handle column);
void watch_parses();
// Imports and opens what a first look-up needs; the warm-up does it before its first request.
void prepare_completion_lists();
// The warm-up's second part: fills the store for numpy, pandas and imported packages.
void fill_completion_store(py::object self);
// Module directories and their owners (ownership.cpp). A marker file beside each directory
// names the process; a new bridge removes the directories whose process is gone.
std::string marker_path(const std::string &directory);
void mark_owned(const std::string &directory);
void disown(const std::string &directory);
void remove_abandoned(const std::string &temp_folder);
// At exit, once no sync is writing: the directories of bridges not cleaned up go.
void remove_live_directories();
// Counts a writer into a module directory for its lifetime; cleanup waits for them to leave.
class Writing {
 public:
  explicit Writing(const std::string &directory);
  ~Writing();
  Writing(const Writing &) = delete;
  Writing &operator=(const Writing &) = delete;

 private:
  std::atomic<int> *count_;
};
void wait_for_writers(const std::string &directory, double seconds);

// LSPBridge's methods by name; module.cpp puts them into the class in its fixed order.
using Methods = std::map<std::string, py::object>;

// One per source file, each adding its methods; called by module.cpp.
void init_lifecycle(Methods &methods);
void init_hover(Methods &methods);
void init_completions(Methods &methods);
void init_signature_help(Methods &methods);
void init_diagnostics(Methods &methods);
void init_imports(Methods &methods);
// Editor requests added after the original ones.
void init_navigation(Methods &methods);
void init_symbols(Methods &methods);
void init_rename(Methods &methods);
void init_code_actions(Methods &methods);
void init_markers(Methods &methods);

}  // namespace sensewell
