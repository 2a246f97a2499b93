// jedi's parse cache (parso's), kept fit for the bridge: it is swept between jedi runs, never
// under one, and the bridge's module files stay out of its files on disk and leave it when gone.
#include <unistd.h>

#include <atomic>
#include <string>

#include "sensewell.h"

using namespace pybind11::literals;

namespace sensewell {
namespace {

// Never freed, like the module state.
struct Cache {
  py::set forgotten;  // module file paths to drop from the cache at the next settle
  py::set edited;     // script paths no longer edited, dropped then unless a module file
  py::object last_edited = py::none();
  py::object last_script = py::none();  // the script path of the latest request
  py::list gone;                        // removed module directories, likewise
  py::set directories;                  // live module directories, whose files are not pickled
  py::object parso_load;                // parso's own _load_from_file_system
  bool interrupted = false;
  bool installed = false;
};

Cache &cache() {
  static auto *c = new Cache();
  return *c;
}

// Every request settles the cache: found in sys.modules, without the import machinery's
// round of locks and look-ups.
py::object parso_cache() {
  PyObject *loaded = PyImport_GetModule(py::str("parso.cache").ptr());
  if (loaded != nullptr) return py::reinterpret_steal<py::object>(loaded);
  if (PyErr_Occurred()) throw py::error_already_set();
  return py::module_::import("parso.cache");
}

py::object now() {
  return call_parked(py::module_::import("time").attr("time"), py::tuple());
}

// parso stamps a new entry as last used at its file's modification time (or at the time it
// was pickled) and sweeps on insertion, so an old library file or a user module unchanged for
// ten minutes was dropped while the request that had just parsed it still looked it up by
// path. Here an entry is used now, and the sweep waits for the next settle.
void set_cache_item(py::object hashed_grammar, py::object path, py::object item) {
  item.attr("last_used") = now();
  py::object parser_cache = parso_cache().attr("parser_cache");
  py::object entries = parser_cache.attr("setdefault")(hashed_grammar, py::dict());
  entries[path] = item;
}

// parso's pickling of a parse, skipping the bridge's module files (a file each for names that
// come and go) and written aside then moved into place, so an interrupted request never
// leaves a truncated pickle that every later load would fail on.
void save_to_file_system(py::object hashed_grammar, py::object path, py::object item,
                         py::object cache_path) {
  static std::atomic<unsigned long long> counter{0};
  py::object os = global("os");
  py::object directory =
      call_parked(os.attr("path").attr("dirname"), py::make_tuple(py::str(path)));
  if (cache().directories.contains(directory)) return;
  py::object target =
      call_parked(parso_cache().attr("_get_hashed_path"), py::make_tuple(hashed_grammar, path),
                  py::dict("cache_path"_a = cache_path));
  py::str tmp = py::str(target) +
                py::str("." + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".tmp");
  py::object file = call_parked(builtin("open"), py::make_tuple(tmp, "wb"));
  try {
    py::object pickle = py::module_::import("pickle");
    call_parked(pickle.attr("dump"), py::make_tuple(item, file, pickle.attr("HIGHEST_PROTOCOL")));
    call_parked(file.attr("close"), py::tuple());
    call_parked(os.attr("replace"), py::make_tuple(tmp, target));
  } catch (py::error_already_set &) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyObject *closed = PyObject_CallMethod(file.ptr(), "close", nullptr);
    Py_XDECREF(closed);
    PyObject *removed = PyObject_CallMethod(os.ptr(), "remove", "O", tmp.ptr());
    Py_XDECREF(removed);
    PyErr_Restore(type, value, trace);
    throw;
  }
}

// parso's loading of a pickled parse, whole or not at all, where a pickle it cannot read (cut
// short by a kernel that was killed while writing it, or written by another parso) is a
// parse to make again rather than a request that fails on every try.
py::object load_from_file_system(py::args args, py::kwargs kwargs) {
  try {
    return call_shielded(cache().parso_load, false, args, kwargs);
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    py::object pickle = py::module_::import("pickle");
    bool unreadable = e.matches(pickle.attr("UnpicklingError").ptr()) ||
                      e.matches(PyExc_EOFError) || e.matches(PyExc_ValueError) ||
                      e.matches(PyExc_AttributeError) || e.matches(PyExc_ImportError) ||
                      e.matches(PyExc_TypeError) || e.matches(PyExc_IndexError);
    if (!unreadable) throw;
    log("debug", "[LSP] Unreadable parse pickle ignored: %s", e.value());
    return py::none();
  }
}

// parso updates the cached tree of a changed text in place; one interrupted on the way is
// left half updated under its old lines. Only the interrupted request's own text and files
// changed since their parse are updated so: their entries go, the library's stay.
void drop_half_updated(py::dict parser_cache) {
  py::object getmtime = global("os").attr("path").attr("getmtime");
  for (auto [grammar, entries] : parser_cache) {
    for (py::handle key : py::list(py::reinterpret_borrow<py::object>(entries))) {
      bool drop = cache().last_script.equal(py::str(key));
      if (!drop) {
        try {
          py::object item = entries[key];
          drop = call_parked(getmtime, py::make_tuple(key)) > py::object(item.attr("change_time"));
        } catch (py::error_already_set &e) {
          if (!is_exception(e)) throw;
          drop = true;  // no such file: a script path of its own
        }
      }
      if (drop) entries.attr("pop")(key, py::none());
    }
  }
}

bool is_gone(py::handle key) {
  py::str path(key);
  if (cache().forgotten.contains(path)) return true;
  for (py::handle directory : cache().gone) {
    if (truthy(path.attr("startswith")(py::str(directory) + global("os").attr("sep")))) {
      return true;
    }
  }
  return false;
}

}  // namespace

void prepare_parse_cache() {
  if (cache().installed) return;
  cache().installed = true;
  py::object parso = parso_cache();
  parso.attr("_set_cache_item") =
      py::cpp_function(&set_cache_item, py::name("_set_cache_item"), py::arg("hashed_grammar"),
                       py::arg("path"), py::arg("module_cache_item"));
  cache().parso_load = parso.attr("_load_from_file_system");
  parso.attr("_load_from_file_system") =
      py::cpp_function(&load_from_file_system, py::name("_load_from_file_system"));
  parso.attr("_save_to_file_system") = py::cpp_function(
      &save_to_file_system, py::name("_save_to_file_system"), py::arg("hashed_grammar"),
      py::arg("path"), py::arg("item"), py::arg("cache_path") = py::none());
}

void settle_parse_cache(py::handle) {
  Cache &c = cache();
  py::object parso = parso_cache();
  py::dict parser_cache = parso.attr("parser_cache");
  if (c.interrupted) {
    c.interrupted = false;
    drop_half_updated(parser_cache);
  }
  // The parse of a module once edited that is no synced file serves no later request, and
  // names that come and go would keep one each.
  for (py::handle path : c.edited) {
    if (!truthy(call_parked(global("os").attr("path").attr("exists"), py::make_tuple(path)))) {
      c.forgotten.add(path);
    }
  }
  c.edited = py::set();
  if (!c.forgotten.empty() || !c.gone.empty()) {
    for (auto [grammar, entries] : parser_cache) {
      for (py::handle key : py::list(py::reinterpret_borrow<py::object>(entries))) {
        if (is_gone(key)) entries.attr("pop")(key, py::none());
      }
    }
    c.forgotten = py::set();
    c.gone = py::list();
  }
  size_t total = 0;
  for (auto [grammar, entries] : parser_cache) total += py::len(entries);
  if (py::int_(total) < parso.attr("_CACHED_SIZE_TRIGGER")) return;
  // parso's own rule: what was not used for a while goes.
  py::object cutoff = now() - parso.attr("_CACHED_FILE_MINIMUM_SURVIVAL");
  for (auto [grammar, entries] : py::dict(parser_cache)) {
    py::dict kept;
    for (auto [path, item] : py::reinterpret_borrow<py::dict>(entries)) {
      if (py::object(item.attr("last_used")) > cutoff) kept[path] = item;
    }
    parser_cache[grammar] = kept;
  }
}

void parse_cache_interrupted() {
  cache().interrupted = true;
}

void note_script(py::handle path) {
  cache().last_script = py::str(path);
}

void note_edited(py::handle path) {
  Cache &c = cache();
  if (!c.last_edited.is_none() && !c.last_edited.equal(path)) c.edited.add(c.last_edited);
  c.last_edited = py::reinterpret_borrow<py::object>(path);
}

void forget_parsed(py::handle path) {
  cache().forgotten.add(path);
}

void add_module_directory(py::handle directory) {
  cache().directories.add(directory);
}

void forget_module_directory(py::handle directory) {
  cache().directories.attr("discard")(directory);
  cache().gone.append(directory);
}

}  // namespace sensewell
