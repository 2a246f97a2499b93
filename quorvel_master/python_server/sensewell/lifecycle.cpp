// LSPBridge's lifecycle: construction, the jedi warm-up, cleanup, the search path, hover
// mode, and the mirror of the user's modules in the bridge's temporary directory.
#include <unistd.h>

#include <atomic>
#include <exception>
#include <optional>
#include <string>

#include "sensewell.h"

using namespace pybind11::literals;

namespace sensewell {
namespace {

const char *const WARMUP_THREAD = "LSP-quorvel-preload";
// How long a cleanup waits for syncs under way to finish writing.
constexpr double WRITERS_WAIT = 5.0;

// Makes an exception the one being handled, as inside a Python `except` block, so that a
// log call with exc_info=True finds it.
class Handling {
 public:
  explicit Handling(const py::error_already_set &e) {
    // The handled exception is kept as its value alone, which must carry the traceback.
    if (e.trace()) PyException_SetTraceback(e.value().ptr(), e.trace().ptr());
    PyErr_GetExcInfo(&type_, &value_, &trace_);
    PyErr_SetExcInfo(e.type().inc_ref().ptr(), e.value().inc_ref().ptr(),
                     e.trace().inc_ref().ptr());
  }
  ~Handling() { PyErr_SetExcInfo(type_, value_, trace_); }
  Handling(const Handling &) = delete;
  Handling &operator=(const Handling &) = delete;

 private:
  PyObject *type_ = nullptr, *value_ = nullptr, *trace_ = nullptr;
};

// A module's file name comes from its text; anything that could leave the directory or
// name no file of its own is refused before the file system is touched.
void check_module_name(py::handle name) {
  PyObject *text = name.ptr();
  Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) throw py::error_already_set();
  bool bad = length == 0 || PyUnicode_CompareWithASCIIString(text, ".") == 0 ||
             PyUnicode_CompareWithASCIIString(text, "..") == 0;
  for (Py_UCS4 c : {Py_UCS4('/'), Py_UCS4('\\'), Py_UCS4('\0')}) {
    if (!bad && PyUnicode_FindChar(text, c, 0, length, 1) >= 0) bad = true;
  }
  if (!bad) return;
  PyErr_Format(PyExc_ValueError,
               "Invalid module name %R: a module name must not be empty, '.' or '..', and must "
               "not contain '/', '\\' or NUL",
               text);
  throw py::error_already_set();
}

// The module name as text, as f"{name}" formats it, made an exact str once: the check and the
// file path then see the very same text, whatever a str subclass's __format__ or __add__ does.
py::str exact_text(py::handle module_name) {
  auto formatted = py::reinterpret_steal<py::object>(PyObject_Format(module_name.ptr(), nullptr));
  if (!formatted) throw py::error_already_set();
  if (PyUnicode_CheckExact(formatted.ptr()))
    return py::reinterpret_steal<py::str>(formatted.release());
  // A full-length substring of a subclass instance is a copy of exact type str.
  PyObject *copy = PyUnicode_Substring(formatted.ptr(), 0, PyUnicode_GET_LENGTH(formatted.ptr()));
  if (copy == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(copy);
}

// What this process last wrote at each module file: its text and the stat fields the write
// left, so an unchanged module is not rewritten (a rewrite drops jedi's parse of it).
struct Written {
  py::object text;
  py::object size;
  py::object ino;
  long long mtime_ns;
  double mtime;
};

py::dict &written_files() {
  static auto *files = new py::dict();  // never freed, like the module state
  return *files;
}

bool lookup_written(py::handle path, Written &out) {
  PyObject *entry = PyDict_GetItemWithError(written_files().ptr(), path.ptr());
  if (entry == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
  }
  auto t = py::reinterpret_borrow<py::tuple>(entry);
  out = {t[0], t[1], t[2], t[3].cast<long long>(), t[4].cast<double>()};
  return true;
}

void store_written(py::handle path, const Written &w) {
  written_files()[path] = py::make_tuple(w.text, w.size, w.ino, w.mtime_ns, w.mtime);
}

// The file still holds what this bridge last wrote there, untouched since.
bool unchanged_since_written(py::handle path, py::handle code) {
  Written w;
  if (!PyUnicode_Check(code.ptr()) || !lookup_written(path, w) || w.text.is_none()) return false;
  if (w.text.ptr() != code.ptr() && PyUnicode_Compare(w.text.ptr(), code.ptr()) != 0) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
  }
  py::object st;
  try {
    st = call_parked(global("os").attr("stat"), py::make_tuple(path));
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    return false;
  }
  return w.size.equal(st.attr("st_size")) && w.ino.equal(st.attr("st_ino")) &&
         st.attr("st_mtime_ns").cast<long long>() == w.mtime_ns;
}

// jedi keeps its parse of a file until the file's float mtime grows, so a new version gets a
// strictly later time than the one it replaces, also where the clock has not moved on or the
// file system rounds timestamps. Steps grow until the file system keeps the difference.
py::object advance_mtime(py::handle tmp_path, py::handle path) {
  py::object os = global("os");
  bool have_floor = false;
  long long floor_ns = 0;
  double floor = 0;
  Written w;
  if (lookup_written(path, w)) {
    have_floor = true;
    floor_ns = w.mtime_ns;
    floor = w.mtime;
  }
  py::object old;
  try {
    old = call_parked(os.attr("stat"), py::make_tuple(path));
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_FileNotFoundError)) throw;
  }
  if (old) {
    auto ns = old.attr("st_mtime_ns").cast<long long>();
    if (!have_floor || ns > floor_ns) {
      floor_ns = ns;
      floor = old.attr("st_mtime").cast<double>();
    }
    have_floor = true;
  }
  py::object stat = os.attr("stat");
  py::object st = call_parked(stat, py::make_tuple(tmp_path));
  if (!have_floor) return st;
  for (long long step : {1'000LL, 1'000'000LL, 1'000'000'000LL, 2'000'000'000LL}) {
    if (st.attr("st_mtime_ns").cast<long long>() > floor_ns &&
        st.attr("st_mtime").cast<double>() > floor) {
      break;
    }
    call_parked(
        os.attr("utime"), py::make_tuple(tmp_path),
        py::dict("ns"_a = py::make_tuple(st.attr("st_atime_ns"), py::int_(floor_ns + step))));
    st = call_parked(stat, py::make_tuple(tmp_path));
  }
  return st;
}

// Writes one module beside its file and moves it into place, so that jedi, which may be
// reading the directory on another thread, sees the old file or the new one, never a torn one.
// The temporary name ends in ".tmp", which jedi never takes for a module.
void write_module(py::handle directory, py::handle path, py::handle code) {
  static std::atomic<unsigned long long> counter{0};
  py::object os = global("os");
  std::string name = ".sync-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".tmp";
  py::object tmp_path = call_parked(os.attr("path").attr("join"), py::make_tuple(directory, name));
  // Failures are carried out of their handlers and the file work done after them, where a
  // thread stopped by the interpreter's exit can still be parked.
  std::exception_ptr failure;
  try {
    py::object file = call_parked(builtin("open"), py::make_tuple(tmp_path, "x"),
                                  py::dict("encoding"_a = "utf-8"));
    std::exception_ptr write_failure;
    try {
      call_parked(file.attr("write"), py::make_tuple(code));
    } catch (py::error_already_set &) {
      write_failure = std::current_exception();
    }
    call_parked(file.attr("close"), py::tuple());
    if (write_failure) std::rethrow_exception(write_failure);
    py::object st = advance_mtime(tmp_path, path);
    call_parked(os.attr("replace"), py::make_tuple(tmp_path, path));
    py::object text = PyUnicode_Check(code.ptr()) ? py::reinterpret_borrow<py::object>(code)
                                                  : py::object(py::none());
    store_written(path,
                  {text, st.attr("st_size"), st.attr("st_ino"),
                   st.attr("st_mtime_ns").cast<long long>(), st.attr("st_mtime").cast<double>()});
  } catch (py::error_already_set &) {
    failure = std::current_exception();
  }
  if (!failure) return;
  try {
    if (truthy(call_parked(os.attr("path").attr("exists"), py::make_tuple(tmp_path)))) {
      call_parked(os.attr("remove"), py::make_tuple(tmp_path));
    }
  } catch (py::error_already_set &cleanup_error) {
    if (!is_exception(cleanup_error)) throw;
  }
  std::rethrow_exception(failure);
}

// A deleted module leaves no trace: its record goes, and jedi's parse of it goes at the next
// settle of the jedi lock, so a new file of that name is parsed afresh whatever its time.
void forget_module(py::handle path) {
  if (PyDict_DelItem(written_files().ptr(), path.ptr()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
  }
  forget_parsed(path);
}

void forget_directory(py::handle directory) {
  py::object prefix = py::str(directory) + global("os").attr("sep");
  auto paths = py::reinterpret_steal<py::list>(PyDict_Keys(written_files().ptr()));
  if (!paths) throw py::error_already_set();
  for (auto path : paths) {
    if (py::bool_(path.attr("startswith")(prefix)) &&
        PyDict_DelItem(written_files().ptr(), path.ptr()) < 0) {
      throw py::error_already_set();
    }
  }
}

void init(py::object self) {
  py::object os = global("os");
  py::object path = os.attr("path");
  self.attr("_workspace_path") = py::none();
  self.attr("_temp_dir") = call_parked(global("tempfile").attr("TemporaryDirectory"), py::tuple());
  py::object module_file = call_parked(path.attr("abspath"), py::make_tuple(global("__file__")));
  self.attr("_python_server_path") = call_parked(path.attr("dirname"), py::make_tuple(module_file));
  self.attr("_stubs_path") =
      call_parked(path.attr("join"), py::make_tuple(self.attr("_python_server_path"), "stubs"));
  self.attr("_jedi_project") = call_parked(
      global("jedi").attr("Project"), py::tuple(),
      py::dict("path"_a = self.attr("_temp_dir").attr("name"),
               "added_sys_path"_a = py::list(py::make_tuple(self.attr("_stubs_path")))));
  self.attr("_hover_mode") = "compact";
  std::string directory = py::str(self.attr("_temp_dir").attr("name")).cast<std::string>();
  mark_owned(directory);
  add_module_directory(self.attr("_temp_dir").attr("name"));
  prepare_parse_cache();
  prepare_jedi_lock();
  prepare_completion_lists();
  log("info",
      "[LSP] LSPBridge initialized (pylsp_available=%s, pyflakes_available=%s, temp_dir=%s, "
      "python_server=%s, stubs=%s)",
      global("PYLSP_AVAILABLE"), global("PYFLAKES_AVAILABLE"), self.attr("_temp_dir").attr("name"),
      self.attr("_python_server_path"), self.attr("_stubs_path"));
  call_parked(self.attr("preload_quorvel_module_async"), py::tuple());
  remove_abandoned(
      call_parked(path.attr("dirname"), py::make_tuple(directory)).cast<std::string>());
}

// The warm-up runs on a daemon thread, which the interpreter stops at exit by unwinding its
// stack from inside whatever Python call it is making. Every C++ owner destroyed by that
// unwind would free memory without the GIL while the main thread finalises, so its jedi calls
// hold plain references only: they are released on success and left alone when stopped.
PyObject *call(PyObject *callable, PyObject *args, PyObject *kwargs = nullptr) {
  if (callable == nullptr || args == nullptr) return nullptr;
  return park_on_exit([&] { return PyObject_Call(callable, args, kwargs); });
}

void release(std::initializer_list<PyObject *> refs) {
  for (PyObject *ref : refs) Py_XDECREF(ref);
}

// Logs at level, through the shared logger call, with an argument tuple it takes over (null
// when building it failed); false, with the Python error set, when nothing was logged.
bool log_raw(const char *level, PyObject *args) {
  if (args == nullptr) return false;
  auto owned = py::reinterpret_steal<py::object>(args);
  try {
    log_record(level, owned);
  } catch (py::error_already_set &e) {
    e.restore();
    return false;
  }
  return true;
}

// The warm-up thread goes on to fill the completion store; a direct call of the warm-up
// returns after its request.
void fill_on_warmup_thread(py::handle self) {
  py::object thread = call_parked(global("threading").attr("current_thread"), py::tuple());
  if (!equals(thread.attr("name"), WARMUP_THREAD)) return;
  call_parked(self.attr("_fill_completion_store"), py::tuple());
}

void preload_quorvel_module(py::handle self) {
  PyObject *module = state().module.ptr();
  Py_ssize_t count = -1;
  {
    PyObject *project = PyObject_GetAttrString(self.ptr(), "_jedi_project");
    std::optional<JediLock> lock;
    if (project != nullptr) {
      try {
        lock.emplace(JediLock::Background{}, self);
      } catch (py::error_already_set &e) {
        e.restore();
      }
    }
    if (lock) {
      PyObject *jedi = PyObject_GetAttrString(module, "jedi");
      PyObject *script_type = jedi == nullptr ? nullptr : PyObject_GetAttrString(jedi, "Script");
      PyObject *no_args = PyTuple_New(0);
      PyObject *kwargs = Py_BuildValue("{s:s,s:s,s:O}", "code", "import quorvel\nquorvel.", "path",
                                       "<warmup>", "project", project);
      PyObject *script = kwargs == nullptr ? nullptr : call(script_type, no_args, kwargs);
      PyObject *complete = script == nullptr ? nullptr : PyObject_GetAttrString(script, "complete");
      PyObject *position = Py_BuildValue("{s:i,s:i}", "line", 2, "column", 8);
      PyObject *found = position == nullptr ? nullptr : call(complete, no_args, position);
      PyObject *completions = found == nullptr ? nullptr : PySequence_List(found);
      if (completions != nullptr) count = PyList_GET_SIZE(completions);
      release({jedi, script_type, no_args, kwargs, script, complete, position, found, completions});
    }
    Py_XDECREF(project);
  }
  if (count >= 0 &&
      log_raw("info",
              Py_BuildValue("(sn)", "[LSP] Preloaded quorvel module cache (%d completions found)",
                            count))) {
    fill_on_warmup_thread(self);
    return;
  }
  if (interruption_raised()) {
    // Stopped for the interpreter's exit: nothing is wrong, nothing to say.
    PyErr_Clear();
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  bool logged = log_raw("warning",
                        Py_BuildValue("(sO)", "[LSP] Failed to preload quorvel module: %s", value));
  release({type, value, traceback});
  if (!logged) throw py::error_already_set();
  fill_on_warmup_thread(self);
}

void preload_quorvel_module_async(py::object self) {
  py::object thread = call_parked(global("threading").attr("Thread"), py::tuple(),
                                  py::dict("target"_a = self.attr("preload_quorvel_module"),
                                           "name"_a = WARMUP_THREAD, "daemon"_a = true));
  // Thread.start waits for the new thread to run.
  call_parked(thread.attr("start"), py::tuple());
  log("debug", "[LSP] Started async quorvel module preloading");
}

void cleanup(py::object self) {
  py::object temp_dir = self.attr("_temp_dir");
  if (temp_dir.is_none()) return;
  // No sync starts writing once the bridge is cleaned up; those under way are waited for, so
  // that none adds a file while the directory is removed.
  self.attr("_temp_dir") = py::none();
  py::object failure;
  try {
    py::object directory = temp_dir.attr("name");
    std::string path = py::str(directory).cast<std::string>();
    wait_for_writers(path, WRITERS_WAIT);
    call_parked(temp_dir.attr("cleanup"), py::tuple());
    forget_directory(directory);
    forget_module_directory(directory);
    disown(path);
    log("info", "[LSP] Cleaned up temporary directory");
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    failure = e.value();
  }
  // Logged outside the handler, where a thread stopped by the interpreter's exit can park.
  if (failure) log("warning", "[LSP] Failed to cleanup temporary directory: %s", failure);
}

void set_hover_mode(py::object self, py::object mode) {
  require_exact(mode, &PyUnicode_Type, "mode");
  if (PyUnicode_CompareWithASCIIString(mode.ptr(), "compact") == 0 ||
      PyUnicode_CompareWithASCIIString(mode.ptr(), "detailed") == 0) {
    self.attr("_hover_mode") = mode;
    log("info", py::str("[LSP] Hover mode set to: ") + mode);
    return;
  }
  log("warning", py::str("[LSP] Invalid hover mode '") + mode + py::str("', keeping current: ") +
                     py::str(self.attr("_hover_mode")));
}

void update_sys_paths(py::object self, py::object new_paths) {
  require_exact(new_paths, &PyList_Type, "new_paths");
  std::optional<py::error_already_set> failure;
  try {
    py::list added_paths;
    added_paths.append(self.attr("_stubs_path"));
    added_paths.append(self.attr("_python_server_path"));
    for (auto path : new_paths) {
      if (!added_paths.contains(path)) added_paths.append(path);
    }
    py::object temp_dir = self.attr("_temp_dir");
    py::object root = temp_dir.is_none() ? py::object(py::none()) : temp_dir.attr("name");
    self.attr("_jedi_project") =
        call_parked(global("jedi").attr("Project"), py::tuple(),
                    py::dict("path"_a = root, "added_sys_path"_a = added_paths));
    log("info", "[LSP] Updated jedi project with %d total paths (%d package paths, stubs path: %s)",
        added_paths.size(), py::len(new_paths), self.attr("_stubs_path"));
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    failure = e;
  }
  if (!failure) return;
  Handling handling(*failure);
  log_record("error", py::make_tuple("[LSP] Failed to update sys paths: %s", failure->value()),
             py::dict("exc_info"_a = true));
}

void sync_modules(py::object self, py::object modules, py::object dirty_files) {
  require_exact(modules, &PyDict_Type, "modules");
  require_exact_or_none(dirty_files, &PyDict_Type, "dirty_files");
  auto merged = py::reinterpret_steal<py::dict>(PyDict_Copy(modules.ptr()));
  if (!merged) throw py::error_already_set();
  if (py::bool_(dirty_files)) merged.attr("update")(dirty_files);
  py::object os = global("os");
  for (auto [module_name, code] : merged) {
    py::object directory = self.attr("_temp_dir").attr("name");
    if (exiting()) return;  // the directory is being removed
    Writing writing(py::str(directory).cast<std::string>());
    py::str name = exact_text(module_name);
    py::object file_path =
        call_parked(os.attr("path").attr("join"), py::make_tuple(directory, name + py::str(".py")));
    py::object failure;
    try {
      check_module_name(name);
      if (!unchanged_since_written(file_path, code)) write_module(directory, file_path, code);
      log("debug", "[LSP] Synced module '%s' to %s", module_name, file_path);
    } catch (py::error_already_set &e) {
      if (!is_exception(e)) throw;
      failure = e.value();
    }
    if (failure) log("warning", "[LSP] Failed to sync module '%s': %s", module_name, failure);
  }
}

void delete_module(py::object self, py::object module_name) {
  require_exact(module_name, &PyUnicode_Type, "module_name");
  py::object os = global("os");
  py::object file_path = call_parked(
      os.attr("path").attr("join"),
      py::make_tuple(self.attr("_temp_dir").attr("name"), module_name + py::str(".py")));
  py::object failure;
  try {
    check_module_name(module_name);
    if (truthy(call_parked(os.attr("path").attr("exists"), py::make_tuple(file_path)))) {
      call_parked(os.attr("remove"), py::make_tuple(file_path));
      forget_module(file_path);
      log("debug", "[LSP] Deleted module file '%s'", module_name);
    }
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    failure = e.value();
  }
  if (failure) {
    log("warning", "[LSP] Failed to delete module file '%s': %s", module_name, failure);
  }
}

void _fill_completion_store(py::object self) {
  py::object failure;
  try {
    fill_completion_store(self);
  } catch (py::error_already_set &e) {
    if (is_interruption(e)) return;  // stopped for the interpreter's exit
    if (!is_exception(e)) throw;
    failure = e.value();
  }
  if (failure) log("warning", "[LSP] Failed to fill the completion store: %s", failure);
}

void set_workspace(py::object self, py::object workspace_path) {
  require_exact(workspace_path, &PyUnicode_Type, "workspace_path");
  self.attr("_workspace_path") = workspace_path;
  log("info", "[LSP] Workspace path recorded: %s (using temp_dir for jedi.Project)",
      workspace_path);
}

}  // namespace

void init_lifecycle(Methods &methods) {
  auto self = py::arg("self");
  methods["__init__"] = method("__init__", &init,
                               "LSPBridge.__init__(self)\n\n"
                               "Create the temporary module directory and the jedi project, and "
                               "start warming jedi up in the background.",
                               self);
  methods["preload_quorvel_module"] =
      method("preload_quorvel_module", &preload_quorvel_module,
             "LSPBridge.preload_quorvel_module(self) -> None\n\n"
             "Complete once on the quorvel stubs so that jedi has them parsed; failures are "
             "logged, never raised.",
             self);
  methods["preload_quorvel_module_async"] =
      method("preload_quorvel_module_async", &preload_quorvel_module_async,
             "LSPBridge.preload_quorvel_module_async(self) -> None\n\n"
             "Run preload_quorvel_module on a new daemon thread and return at once.",
             self);
  methods["cleanup"] = method("cleanup", &cleanup,
                              "LSPBridge.cleanup(self) -> None\n\n"
                              "Remove the temporary module directory. Safe to call twice.",
                              self);
  methods["set_hover_mode"] = method("set_hover_mode", &set_hover_mode,
                                     "LSPBridge.set_hover_mode(self, mode: str) -> None\n\n"
                                     "Select the hover style, \"compact\" or \"detailed\".",
                                     self, py::arg("mode"));
  methods["update_sys_paths"] =
      method("update_sys_paths", &update_sys_paths,
             "LSPBridge.update_sys_paths(self, new_paths: List[str]) -> None\n\n"
             "Rebuild the jedi project with the stubs, the server directory and new_paths on its "
             "search path.",
             self, py::arg("new_paths"));
  methods["sync_modules"] =
      method("sync_modules", &sync_modules,
             "LSPBridge.sync_modules(self, modules: Dict[str, str], dirty_files: "
             "Optional[Dict[str, str]] = None) -> None\n\n"
             "Write the user's modules, with unsaved editor text taking precedence, into the "
             "temporary module directory.",
             self, py::arg("modules"), py::arg("dirty_files") = py::none());
  methods["delete_module"] = method("delete_module", &delete_module,
                                    "LSPBridge.delete_module(self, module_name: str)\n\n"
                                    "Remove a module's file so that jedi no longer sees it.",
                                    self, py::arg("module_name"));
  methods["set_workspace"] =
      method("set_workspace", &set_workspace,
             "LSPBridge.set_workspace(self, workspace_path: str)\n\n"
             "Record the workspace path; kept for older callers, the jedi project is unchanged.",
             self, py::arg("workspace_path"));
  methods["_fill_completion_store"] =
      method("_fill_completion_store", &_fill_completion_store,
             "LSPBridge._fill_completion_store(self) -> None\n\n"
             "Fill the completion store for numpy, pandas and the packages the kernel has "
             "imported,\nyielding jedi to requests between items; failures are logged, never "
             "raised.",
             self);
}

}  // namespace sensewell
