// The completion-item store: what jedi computed for completion items of installed libraries
// (type, docstring, signature text), kept in the process and in an SQLite database on disk.
#include <sys/stat.h>

#include <cstring>
#include <optional>
#include <string>

#include "sensewell.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

// Rows written by another layout of the store never match: it is part of every scope.
constexpr const char *STORE_SCHEMA = "sensewell-items-1";
constexpr const char *DB_NAME = "completion-store.sqlite3";
// A store that grew past this (libraries upgraded many times over) starts again empty.
constexpr long long DB_LIMIT_BYTES = 200LL * 1024 * 1024;
// Pending rows are written at the end of a request, or every so many during the warm-up.
constexpr Py_ssize_t FLUSH_ROWS = 100;
// Top-level packages the kernel has imported that the warm-up also fills, after numpy and
// pandas.
constexpr Py_ssize_t IMPORTED_PACKAGES = 6;

// Process-wide state of the store; never freed, like the module state.
struct Shared {
  py::dict memo;                    // scope -> {name key -> (deps, type, doc, detail)}
  py::object db = py::none();       // sqlite3 connection, or None
  py::object db_path = py::none();  // the database file the connection (or its failure) is for
  bool db_failed = false;
  bool warned = false;
  py::list pending;  // rows not yet written: (scope, name, deps, type, doc, detail)
  py::set warmed;    // (search key, snippet) pairs already filled in this process
  py::object completion_type, import_name_type, jedi_version;
};

Shared &shared() {
  static auto *s = new Shared();
  return *s;
}

py::object os_module() {
  return global("os");
}

py::object environ_get(const char *name) {
  return os_module().attr("environ").attr("get")(name);
}

// "off": no store at all; "nowarmup": the store without its warm-up fill; anything else: on.
std::string store_mode() {
  py::object value = environ_get("QUORVEL_COMPLETION_STORE");
  if (value.is_none()) return "on";
  return py::str(value.attr("strip")().attr("lower")()).cast<std::string>();
}

// One warning per process for everything that makes the store slower but never wrong.
void warn_once(const char *what, py::handle error) {
  if (shared().warned) return;
  shared().warned = true;
  log("warning", "[LSP] Completion store unavailable (%s): %s; completions are computed as usual",
      what, error);
}

py::object call(py::handle callable, py::handle args = py::tuple(), py::handle kwargs = {}) {
  return call_parked(callable, args, kwargs);
}

// The folder of the store: $QUORVEL_CACHE_DIR, else the product's folder in the user's cache.
py::object store_dir() {
  py::object os = os_module();
  py::object moved = environ_get("QUORVEL_CACHE_DIR");
  if (!moved.is_none() && truthy(moved)) return moved;
  py::object base = environ_get("XDG_CACHE_HOME");
  if (base.is_none() || !truthy(call(os.attr("path").attr("isabs"), py::make_tuple(base)))) {
    base = call(
        os.attr("path").attr("join"),
        py::make_tuple(call(os.attr("path").attr("expanduser"), py::make_tuple("~")), ".cache"));
  }
  return call(os.attr("path").attr("join"), py::make_tuple(base, "quorvel"));
}

const char *const SCHEMA_SQL =
    "CREATE TABLE IF NOT EXISTS items (scope TEXT NOT NULL, name TEXT NOT NULL, "
    "deps TEXT NOT NULL, type TEXT NOT NULL, doc TEXT NOT NULL, detail TEXT, "
    "PRIMARY KEY (scope, name)) WITHOUT ROWID";

py::object connect(py::handle path) {
  py::object sqlite3 = py::module_::import("sqlite3");
  // Several kernels share the file: a short busy wait, then the request goes on without it.
  py::object db = call(
      sqlite3.attr("connect"), py::make_tuple(path),
      py::dict("timeout"_a = 0.1, "check_same_thread"_a = false, "isolation_level"_a = py::none()));
  try {
    py::object execute = db.attr("execute");
    call(execute, py::make_tuple("PRAGMA journal_mode=WAL"));
    call(execute, py::make_tuple("PRAGMA synchronous=NORMAL"));
    call(execute, py::make_tuple(SCHEMA_SQL));
  } catch (py::error_already_set &) {
    call(db.attr("close"));
    throw;
  }
  return db;
}

void remove_files(py::handle path) {
  py::object os = os_module();
  for (const char *suffix : {"", "-wal", "-shm"}) {
    py::object file = py::str(path) + py::str(suffix);
    if (truthy(call(os.attr("path").attr("exists"), py::make_tuple(file)))) {
      call(os.attr("remove"), py::make_tuple(file));
    }
  }
}

bool is_corrupt(const py::error_already_set &e) {
  py::object sqlite3 = py::module_::import("sqlite3");
  return e.matches(sqlite3.attr("DatabaseError").ptr()) &&
         !e.matches(sqlite3.attr("OperationalError").ptr());
}

// The connection for the current location, opened on first use. A corrupt file is replaced
// once; anything else that fails leaves the store in memory only for this location.
py::object database() {
  Shared &s = shared();
  py::object path;
  py::object failure;
  try {
    py::object dir = store_dir();
    path = call(os_module().attr("path").attr("join"), py::make_tuple(dir, DB_NAME));
    if (!s.db_path.is_none() && s.db_path.equal(path)) {
      return s.db_failed ? py::object(py::none()) : s.db;
    }
    if (!s.db.is_none()) call(s.db.attr("close"));
    s.db = py::none();
    s.db_path = path;
    s.db_failed = true;
    call(os_module().attr("makedirs"), py::make_tuple(dir), py::dict("exist_ok"_a = true));
    py::object size = call(os_module().attr("path").attr("getsize"), py::make_tuple(path));
    if (size.cast<long long>() > DB_LIMIT_BYTES) remove_files(path);
  } catch (py::error_already_set &e) {
    // A missing file is the normal start; anything else is reported by the connect below.
    if (!is_exception(e)) throw;
    if (path.is_none() || !e.matches(PyExc_FileNotFoundError)) failure = e.value();
  }
  if (failure) {
    warn_once("cache folder", failure);
    return py::none();
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool corrupt = false;
    try {
      s.db = connect(path);
      s.db_failed = false;
      return s.db;
    } catch (py::error_already_set &e) {
      if (!is_exception(e)) throw;
      failure = e.value();
      corrupt = is_corrupt(e);
    }
    if (!corrupt || attempt > 0) break;
    try {
      remove_files(path);
    } catch (py::error_already_set &e) {
      if (!is_exception(e)) throw;
      break;
    }
  }
  warn_once("database", failure);
  return py::none();
}

}  // namespace

py::object store_database_path() {
  if (store_mode() == "off") return py::none();
  py::object dir;
  try {
    dir = store_dir();
    call(os_module().attr("makedirs"), py::make_tuple(dir), py::dict("exist_ok"_a = true));
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    warn_once("cache folder", e.value());
    return py::none();
  }
  return call(os_module().attr("path").attr("join"), py::make_tuple(dir, DB_NAME));
}

py::object connect_store(py::handle path) {
  return connect(path);
}

void store_unavailable(const char *what, py::handle error) {
  warn_once(what, error);
}

bool is_store_error(const py::error_already_set &e) {
  return e.matches(py::module_::import("sqlite3").attr("Error").ptr());
}

bool store_failure_lasts(const py::error_already_set &e) {
  py::object sqlite3 = py::module_::import("sqlite3");
  bool locked = e.matches(sqlite3.attr("OperationalError").ptr()) &&
                truthy(py::str(e.value()).attr("__contains__")("locked"));
  warn_once(locked ? "database locked" : "database", e.value());
  return !locked;
}

// Made here, not through os.stat: a list's look-up checks a hundred paths and more.
py::object file_identity(py::handle path) {
  auto encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
  if (!encoded) throw py::error_already_set();
  const char *bytes = PyBytes_AS_STRING(encoded.ptr());
  struct stat st {};
  if (std::strlen(bytes) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())) ||
      ::stat(bytes, &st) != 0) {
    return py::none();
  }
  long long mtime_ns =
      static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return py::reinterpret_borrow<py::object>(path) +
         py::str("\x1f" + std::to_string(static_cast<long long>(st.st_size)) + "\x1f" +
                 std::to_string(mtime_ns));
}

py::object text_digest(py::handle text) {
  return py::module_::import("hashlib")
      .attr("blake2b")(text.attr("encode")("utf-8", "surrogatepass"), "digest_size"_a = 20)
      .attr("hexdigest")();
}

namespace {

// A database failure while reading or writing: the store goes on in memory; a corrupt or
// unusable file is left alone for this process, a locked one is tried again next time.
void database_failed(const py::error_already_set &e) {
  if (store_failure_lasts(e)) shared().db_failed = true;
}

py::object jedi_attr(const char *module, const char *name) {
  return py::module_::import(module).attr(name);
}

void init_types() {
  Shared &s = shared();
  if (s.completion_type) return;
  s.completion_type = jedi_attr("jedi.api.classes", "Completion");
  s.import_name_type = jedi_attr("jedi.inference.names", "ImportName");
  s.jedi_version = jedi_attr("jedi", "__version__");
}

py::str join(const char *sep, const py::list &parts) {
  return py::str(sep).attr("join")(parts);
}

// The file behind a jedi module context, or None for one without (builtins, "<editor>").
py::object context_file(py::handle context) {
  py::object file = context.attr("py__file__")();
  if (file.is_none()) return file;
  return py::str(file);
}

}  // namespace

ItemStore::ItemStore(py::handle self, py::handle script_path, bool warmup) {
  if (store_mode() == "off") return;
  // A bridge whose jedi or signature formatter is not the module's own answers uncached.
  py::object formatter = py::getattr(self, "_format_signature", py::none());
  py::object original =
      state().module.attr("LSPBridge").attr("__dict__")["_format_signature"].attr("__func__");
  if (!formatter || !py::hasattr(formatter, "__func__") ||
      !py::object(formatter.attr("__func__")).is(original)) {
    return;
  }
  if (!global("jedi").is(py::module_::import("jedi"))) return;
  init_types();
  py::object os = os_module();
  py::object sys = py::module_::import("sys");
  py::object project = self.attr("_jedi_project");
  py::list parts;
  parts.append(STORE_SCHEMA);
  parts.append(shared().jedi_version);
  parts.append(sys.attr("version"));
  parts.append(sys.attr("executable"));
  for (const char *name : {"VIRTUAL_ENV", "CONDA_PREFIX"}) parts.append(py::str(environ_get(name)));
  py::list sys_path(sys.attr("path"));
  parts.append(py::repr(sys_path));
  if (sys_path.contains(py::str(""))) parts.append(call(os.attr("getcwd")));
  parts.append(py::repr(py::getattr(project, "added_sys_path", py::none())));
  parts.append(py::repr(py::getattr(project, "_sys_path", py::none())));
  search_key_ = join("\x1e", parts);
  // Names defined in the edited text or in the user's synced modules are never kept.
  py::object temp_dir = self.attr("_temp_dir");
  if (!temp_dir.is_none()) {
    excluded_dir_ = py::str(temp_dir.attr("name")) + py::str(os.attr("sep"));
  }
  script_path_ = py::str(script_path);
  warmup_ = warmup;
  active_ = true;
}

// Size and modification time of a file as a string, or None when it cannot be read; once per
// file and request, so a change is seen by the next request.
py::object ItemStore::identity(py::handle path) {
  PyObject *known = PyDict_GetItemWithError(stats_.ptr(), path.ptr());
  if (known != nullptr) return py::reinterpret_borrow<py::object>(known);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object id = file_identity(path);
  stats_[path] = id;
  return id;
}

bool ItemStore::is_library_file(py::handle file) {
  if (file.is_none()) return false;
  if (file.equal(script_path_)) return false;
  if (excluded_dir_ && truthy(file.attr("startswith")(excluded_dir_))) return false;
  return !identity(file).is_none();
}

// The scope of a defining file: the store's layout, jedi, Python, the search path and the
// file's identity; every row in it is valid exactly as long as these are.
py::object ItemStore::scope(py::handle file) {
  PyObject *known = PyDict_GetItemWithError(scopes_.ptr(), file.ptr());
  if (known != nullptr) return py::reinterpret_borrow<py::object>(known);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object digest = text_digest(search_key_ + py::str("\x1e") + identity(file));
  scopes_[file] = digest;
  return digest;
}

// (scope, name key) of a completion whose answer depends on library files only, else None.
py::object ItemStore::key(py::handle completion) {
  if (!active_) return py::none();
  Shared &s = shared();
  if (!is_instance(completion, s.completion_type)) return py::none();
  try {
    py::object name = completion.attr("_name");
    py::list parts;
    parts.append(name.attr("string_name"));
    parts.append(py::str(py::type::of(name).attr("__qualname__")));
    py::object file;
    if (is_instance(name, s.import_name_type)) {
      // Reached without resolving the import, which is what makes its type slow.
      file = context_file(name.attr("_from_module_context"));
      parts.append(py::repr(name.attr("get_qualified_names")("include_module_names"_a = true)));
      // docstring() skips the import's target unless three letters were typed.
      bool typed = completion.attr("_like_name_length").cast<Py_ssize_t>() >= 3;
      parts.append(py::str(typed ? "typed" : "fast"));
    } else {
      py::object tree_name = name.attr("tree_name");
      if (tree_name.is_none()) return py::none();
      // The place in the file stands for the full name: the file's identity fixes one by the
      // other, and the place is found without walking the name's scopes.
      file = context_file(name.attr("get_root_context")());
      parts.append(py::repr(tree_name.attr("start_pos")));
    }
    // Members of an instance are answered for its class, which may live in another file.
    py::object instance = py::getattr(name, "_instance", py::none());
    if (!instance.is_none()) {
      py::object cls = instance.attr("class_value");
      py::object cls_file = context_file(cls.attr("get_root_context")());
      if (!is_library_file(cls_file)) return py::none();
      touched_.add(cls_file);
      parts.append(identity(cls_file));
      parts.append(py::repr(cls.attr("tree_node").attr("start_pos")));
    }
    if (!is_library_file(file)) return py::none();
    touched_.add(file);
    return py::make_tuple(scope(file), join("\x1f", parts));
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
  }
  return py::none();
}

// The rows of a scope, loaded from the database once per process.
py::dict ItemStore::rows(py::handle scope_id) {
  Shared &s = shared();
  PyObject *known = PyDict_GetItemWithError(s.memo.ptr(), scope_id.ptr());
  if (known != nullptr) return py::reinterpret_borrow<py::dict>(known);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::dict loaded;
  py::object db = database();
  if (!db.is_none()) {
    std::optional<py::error_already_set> failure;
    try {
      py::object cursor =
          call(db.attr("execute"), py::make_tuple("SELECT name, deps, type, doc, detail FROM items "
                                                  "WHERE scope = ?",
                                                  py::make_tuple(scope_id)));
      for (py::handle row : call(cursor.attr("fetchall"))) {
        loaded[row[py::int_(0)]] =
            py::make_tuple(row[py::int_(1)], row[py::int_(2)], row[py::int_(3)], row[py::int_(4)]);
      }
    } catch (py::error_already_set &e) {
      if (!is_exception(e) || !is_store_error(e)) throw;
      failure = e;
    }
    if (failure) database_failed(*failure);
  }
  s.memo[scope_id] = loaded;
  return loaded;
}

bool ItemStore::deps_hold(py::handle deps) {
  PyObject *known = PyDict_GetItemWithError(deps_checked_.ptr(), deps.ptr());
  if (known != nullptr) return known == Py_True;
  if (PyErr_Occurred()) throw py::error_already_set();
  bool hold = true;
  if (truthy(deps)) {
    for (py::handle dep : deps.attr("split")("\n")) {
      py::object path = dep.attr("split")("\x1f", 1)[py::int_(0)];
      if (!identity(path).equal(dep)) {
        hold = false;
        break;
      }
    }
  }
  deps_checked_[deps] = py::bool_(hold);
  return hold;
}

py::object ItemStore::find(py::handle key) {
  py::dict scope_rows = rows(key[py::int_(0)]);
  PyObject *row = PyDict_GetItemWithError(scope_rows.ptr(), key[py::int_(1)].ptr());
  if (row == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::none();
  }
  auto found = py::reinterpret_borrow<py::tuple>(row);
  if (!deps_hold(found[0])) return py::none();
  if (truthy(found[0])) {
    for (py::handle dep : found[0].attr("split")("\n")) {
      touched_.add(dep.attr("split")("\x1f", 1)[py::int_(0)]);
    }
  }
  return py::make_tuple(found[1], found[2], found[3]);
}

namespace {

// Whether jedi answers an item from its own file alone: a statement outside a stub that is no
// `from ... import`. Its type is the kind of its definition, its docstring the text beside it,
// and it has no signature; inferring its value (often the slowest item of all) is not needed.
bool answered_from_own_file(py::handle name) {
  if (!equals(name.attr("api_type"), "statement")) return false;
  py::object tree_name = name.attr("tree_name");
  if (tree_name.is_none()) return false;
  py::object definition = tree_name.attr("get_definition")();
  if (!definition.is_none() && equals(definition.attr("type"), "import_from")) return false;
  return !truthy(name.attr("get_root_context")().attr("is_stub")());
}

}  // namespace

// The library files besides the defining one that the answer was read from: the files of
// what the name infers to, and the stub or source beside each. None when one is not a library
// file.
py::object ItemStore::dependencies(py::handle completion, py::handle key_value) {
  py::object os = os_module();
  py::set files;
  py::object name = completion.attr("_name");
  py::object instance = py::getattr(name, "_instance", py::none());
  if (!instance.is_none()) {
    files.add(context_file(instance.attr("class_value").attr("get_root_context")()));
  }
  py::object inferred =
      answered_from_own_file(name) ? py::object(py::tuple()) : call_jedi(completion.attr("infer"));
  for (py::handle definition : inferred) {
    py::object file = context_file(definition.attr("_get_module_context")());
    if (file.is_none()) continue;  // a builtin, which the Python version covers
    files.add(file);
    py::object split = call(os.attr("path").attr("splitext"), py::make_tuple(file));
    py::object base = split[py::int_(0)], ext = split[py::int_(1)];
    py::object sibling = base + py::str(equals(ext, ".pyi") ? ".py" : ".pyi");
    if (!identity(sibling).is_none()) files.add(sibling);
  }
  py::list ids;
  for (py::handle file : files) {
    if (!is_library_file(file) || truthy(file.attr("__contains__")("\n"))) return py::none();
    ids.append(identity(file));
  }
  ids.attr("sort")();
  (void)key_value;
  return join("\n", ids);
}

void ItemStore::record(py::handle key, py::handle completion, py::handle type, py::handle doc,
                       py::handle detail) {
  py::object deps;
  try {
    deps = dependencies(completion, key);
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    return;
  }
  if (deps.is_none()) return;
  py::object scope_id = key[py::int_(0)], name_key = key[py::int_(1)];
  rows(scope_id)[name_key] = py::make_tuple(deps, type, doc, detail);
  shared().pending.append(py::make_tuple(scope_id, name_key, deps, type, doc, detail));
  if (warmup_ && py::len(shared().pending) >= static_cast<size_t>(FLUSH_ROWS)) flush();
}

void ItemStore::flush() {
  Shared &s = shared();
  if (py::len(s.pending) == 0) return;
  py::list rows_out = s.pending;
  s.pending = py::list();
  py::object db = database();
  if (db.is_none()) return;
  std::optional<py::error_already_set> failure;
  try {
    call(db.attr("execute"), py::make_tuple("BEGIN"));
    try {
      call(db.attr("executemany"),
           py::make_tuple("INSERT OR REPLACE INTO items VALUES (?, ?, ?, ?, ?, ?)", rows_out));
      call(db.attr("execute"), py::make_tuple("COMMIT"));
    } catch (py::error_already_set &) {
      if (truthy(db.attr("in_transaction"))) call(db.attr("execute"), py::make_tuple("ROLLBACK"));
      throw;
    }
  } catch (py::error_already_set &e) {
    if (!is_exception(e) || !is_store_error(e)) throw;
    failure = e;
  }
  if (failure) database_failed(*failure);
}

namespace {

// The product's own package and what importing the bridge brought in, which users rarely
// complete; numpy and pandas come first anyway.
bool is_own_package(py::handle name) {
  std::string text = py::str(name).cast<std::string>();
  for (const char *own : {"numpy", "pandas", "quorvel_master", "jedi", "parso"}) {
    if (text == own) return true;
  }
  return state().own_packages.contains(name);
}

// (code, line, column) of the completions the warm-up fills: numpy and pandas with the
// instances spreadsheet code works on, then the packages the kernel has imported.
py::list warmup_snippets() {
  py::list snippets;
  auto add = [&](py::str package, const char *tail) {
    py::str code = py::str("import ") + package + py::str("\n") + package + py::str(tail);
    py::object last = code.attr("split")("\n")[py::int_(-1)];
    snippets.append(py::make_tuple(code, 2, py::len(last)));
  };
  py::object find_spec = global("importlib").attr("util").attr("find_spec");
  auto importable = [&](py::handle package) {
    try {
      return !call(find_spec, py::make_tuple(package)).is_none();
    } catch (py::error_already_set &e) {
      if (!is_exception(e)) throw;
    }
    return false;
  };
  if (importable(py::str("numpy"))) {
    add(py::str("numpy"), ".");
    add(py::str("numpy"), ".array([0]).");
  }
  if (importable(py::str("pandas"))) {
    add(py::str("pandas"), ".");
    add(py::str("pandas"), ".DataFrame().");
    add(py::str("pandas"), ".Series().");
  }
  py::object sys = global("sys");
  py::object stdlib = sys.attr("stdlib_module_names");
  py::list names(call(py::module_::import("builtins").attr("list"),
                      py::make_tuple(sys.attr("modules").attr("keys")())));
  Py_ssize_t extra = 0;
  for (py::handle name : names) {
    if (extra >= IMPORTED_PACKAGES) break;
    std::string text = py::str(name).cast<std::string>();
    if (text.empty() || text[0] == '_' || text.find('.') != std::string::npos ||
        stdlib.contains(name) || is_own_package(name)) {
      continue;
    }
    py::object module = sys.attr("modules").attr("get")(name);
    if (module.is_none() || !py::hasattr(module, "__path__")) continue;  // packages only
    add(py::reinterpret_borrow<py::str>(name), ".");
    ++extra;
  }
  return snippets;
}

}  // namespace

namespace {

// Tallies of a fill, for its info line.
struct Filled {
  Py_ssize_t computed = 0, found = 0;
};

// Fills the store for one snippet from its item `next` on, one item per slice, each slice
// under a lock that yields to requests: a request waits for no more than the watchdog's
// interruption of the slice. An interrupted slice leaves jedi's inference of this script
// unsound, so a retry starts with a fresh script and the item it was at. False when the bridge
// was cleaned up or the store is off for it.
bool fill_snippet(py::object self, py::handle snippet, Py_ssize_t &next, Filled &tally) {
  constexpr JediLock::Background yielding{true};
  std::optional<ItemStore> store;
  py::list completions;
  {
    JediLock::let_waiters_in();
    JediLock lock(yielding, self);
    if (self.attr("_temp_dir").is_none()) return false;  // cleaned up meanwhile
    store.emplace(self, py::str("<warmup>"), true);
    if (!store->active()) return false;
    py::object script = call_jedi(global("jedi").attr("Script"),
                                  py::dict("code"_a = snippet[py::int_(0)], "path"_a = "<warmup>",
                                           "project"_a = self.attr("_jedi_project")));
    completions =
        py::list(call_jedi(script.attr("complete"), py::dict("line"_a = snippet[py::int_(1)],
                                                             "column"_a = snippet[py::int_(2)])));
  }
  for (; next < static_cast<Py_ssize_t>(py::len(completions)); ++next) {
    JediLock::let_waiters_in();
    JediLock lock(yielding, self);
    py::handle completion = completions[next];
    if (truthy(completion.attr("name").attr("startswith")("_"))) continue;
    py::object key = store->key(completion);
    if (key.is_none()) continue;
    if (!store->find(key).is_none()) {
      ++tally.found;
      continue;
    }
    ItemFields fields = item_fields(self, completion);
    if (!fields.complete) continue;
    store->record(key, completion, fields.type, fields.doc,
                  fields.detail ? fields.detail : py::none());
    ++tally.computed;
  }
  {
    JediLock lock(JediLock::Background{}, self);
    store->flush();
  }
  // With every item stored, the list itself: the next kernel answers it without jedi.
  {
    JediLock::let_waiters_in();
    JediLock lock(yielding, self);
    fill_completion_list(self, snippet[py::int_(0)], snippet[py::int_(1)], snippet[py::int_(2)]);
  }
  flush_completion_lists();
  return true;
}

}  // namespace

void fill_completion_store(py::object self) {
  // An interrupted slice is tried again once requests pause: a user typing interrupts the
  // same slice again and again.
  constexpr auto QUIET = std::chrono::milliseconds(300);
  if (store_mode() != "on") return;
  Filled tally;
  py::list filled;
  for (py::handle snippet : warmup_snippets()) {
    py::object done;
    {
      JediLock lock(JediLock::Background{}, self);
      ItemStore store(self, py::str("<warmup>"), true);
      if (!store.active()) return;
      done = py::make_tuple(store.search_key(), snippet[py::int_(0)]);
    }
    if (shared().warmed.contains(done)) continue;
    for (Py_ssize_t next = 0;;) {
      try {
        if (!fill_snippet(self, snippet, next, tally)) return;
        break;
      } catch (py::error_already_set &e) {
        if (!is_interruption(e) || exiting()) throw;
      }
      JediLock::wait_for_quiet(QUIET);
    }
    shared().warmed.add(done);
    filled.append(snippet[py::int_(0)].attr("split")("\n")[py::int_(-1)]);
  }
  if (py::len(filled) == 0) return;
  log("info", "[LSP] Filled the completion store for %s (%d items computed, %d already stored)",
      join(" ", filled), tally.computed, tally.found);
}

}  // namespace sensewell
