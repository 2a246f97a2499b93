// Whole completion lists for attribute completion on imported library modules (`np.`,
// `pd.DataFrame().`), kept beside the item store: a list is answered without jedi, and without
// waiting for its lock, as long as every file jedi read for it and every folder it searched
// is as it was.
#include <optional>
#include <string>

#include "sensewell.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

// The cursor's expression: a name, then attributes and calls without arguments, then a dot
// and the typed prefix; not preceded by what would make the name part of a longer expression.
constexpr const char *CHAIN_PATTERN =
    R"((?<![\w.)\]'"])([A-Za-z_]\w*)((?:\(\)|\.[A-Za-z_]\w*)*)\.(\w*)$)";
// Stands for the name being typed when nothing is typed yet, so that the text parses.
constexpr const char *PLACEHOLDER = "__quorvel_completion__";
constexpr size_t LIST_TEXT_LIMIT = 60000;  // characters, about 1,500 lines
// Lists kept in memory; the rest are read from the database again when asked for.
constexpr Py_ssize_t MEMO_LISTS = 64;
constexpr const char *LIST_SQL =
    "CREATE TABLE IF NOT EXISTS lists (key TEXT PRIMARY KEY, deps TEXT NOT NULL, "
    "items BLOB NOT NULL) WITHOUT ROWID";

// What jedi read while a list was computed: the files it parsed (also those it looked for and
// did not find) and the folders it searched for modules. Filled under the JediLock.
struct Recorder {
  bool active = false;
  bool unknown = false;  // jedi read something it did not say where from
  py::set parsed, searched;
};

// The lists of this process, and the connection they are read and written through. Requests
// read them without the JediLock, so a Python lock guards them.
struct Lists {
  py::dict memo;     // key -> (deps, rows)
  py::list pending;  // (key, deps, rows) not yet written: written once jedi's lock is let go
  py::object db = py::none(), db_path = py::none(), lock;
  bool failed = false;
};

Recorder &recorder() {
  static auto *r = new Recorder();
  return *r;
}

Lists &lists() {
  static auto *l = new Lists();
  return *l;
}

py::object call(py::handle callable, py::handle args = py::tuple(), py::handle kwargs = {}) {
  return call_parked(callable, args, kwargs);
}

// A path as text, null for a bytes path.
py::object fs_text(py::handle path) {
  py::object text = fspath(path);
  return PyUnicode_Check(text.ptr()) ? text : py::object();
}

py::object argument(const py::args &args, size_t index, const py::kwargs &kwargs,
                    const char *name) {
  if (args.size() > index) return args[index];
  if (kwargs && kwargs.contains(name)) return kwargs[name];
  return py::none();
}

void add_folders(py::handle folders) {
  if (folders.is_none()) {
    recorder().unknown = true;
    return;
  }
  for (py::handle folder : folders) {
    py::object text = fs_text(folder);
    if (!text) {
      recorder().unknown = true;
      continue;
    }
    recorder().searched.add(text);
  }
}

// jedi's InferenceState.parse_and_get_code, which loads every module jedi reads; while a list
// is recorded it notes the module's file. The original method is kept on the class.
py::object recorded_parse(py::args args, py::kwargs kwargs) {
  Recorder &r = recorder();
  // (self, code=None, path=None, use_latest_grammar=False, file_io=None); a text given as
  // code is the edited one.
  if (r.active && argument(args, 1, kwargs, "code").is_none()) {
    py::object file_io = argument(args, 4, kwargs, "file_io");
    py::object path = file_io.is_none() ? argument(args, 2, kwargs, "path")
                                        : py::object(py::getattr(file_io, "path", py::none()));
    py::object text = path.is_none() ? py::object() : fs_text(path);
    if (text) {
      r.parsed.add(text);
    } else {
      r.unknown = true;
    }
  }
  return call_parked(py::type::handle_of(args[0]).attr("_original_parse"), args, kwargs);
}

// A path's identity, "path\x1f-" when it is not there.
py::str identity(py::handle path) {
  py::object id = file_identity(path);
  if (id.is_none()) return py::str(py::reinterpret_borrow<py::object>(path) + py::str("\x1f-"));
  return py::str(id);
}

py::object dirname(py::handle path) {
  return call(global("os").attr("path").attr("dirname"), py::make_tuple(path));
}

// The lock of the lists, taken for the lifetime of the object.
class Holding {
 public:
  Holding() {
    Lists &l = lists();
    if (!l.lock) l.lock = call(py::module_::import("threading").attr("Lock"));
    call(l.lock.attr("acquire"));
  }
  ~Holding() { lists().lock.attr("release")(); }
  Holding(const Holding &) = delete;
  Holding &operator=(const Holding &) = delete;
};

// The connection of the lists, opened at first use beside the item store's; any failure
// leaves the lists in memory for this process.
py::object list_database() {
  Lists &l = lists();
  py::object path = store_database_path();
  if (path.is_none()) return py::none();
  if (!l.db_path.is_none() && l.db_path.equal(path)) return l.failed ? py::none() : l.db;
  if (!l.db.is_none()) call(l.db.attr("close"));
  l.db = py::none();
  l.db_path = path;
  l.failed = true;
  try {
    l.db = connect_store(path);
    call(l.db.attr("execute"), py::make_tuple(LIST_SQL));
    l.failed = false;
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    store_unavailable("database", e.value());
    return py::none();
  }
  return l.db;
}

void list_database_failed(const py::error_already_set &e) {
  if (store_failure_lasts(e)) lists().failed = true;
}

// Keeps `entry` under `digest` in this process's lists, the oldest going past a bound: each
// typed prefix is a list of its own.
void remember(py::handle digest, py::handle entry) {
  Lists &l = lists();
  l.memo[digest] = entry;
  while (py::len(l.memo) > MEMO_LISTS) {
    PyObject *oldest = nullptr;
    Py_ssize_t pos = 0;
    if (!PyDict_Next(l.memo.ptr(), &pos, &oldest, nullptr)) break;
    if (PyDict_DelItem(l.memo.ptr(), oldest) != 0) throw py::error_already_set();
  }
}

// Whether a module of the user's could stand where the list's root module was found: the
// temporary folder comes first on jedi's search path.
bool shadowed(py::handle self, py::handle top, py::handle path) {
  if (!path.is_none() && py::reinterpret_borrow<py::object>(path).equal(top)) return true;
  py::object temp_dir = self.attr("_temp_dir");
  if (temp_dir.is_none()) return true;
  py::object join = global("os").attr("path").attr("join");
  py::object folder = temp_dir.attr("name");
  for (py::object candidate : {call(join, py::make_tuple(folder, py::str(top) + py::str(".py"))),
                               call(join, py::make_tuple(folder, top))}) {
    if (truthy(call(global("os").attr("path").attr("exists"), py::make_tuple(candidate)))) {
      return true;
    }
  }
  return false;
}

bool deps_hold(py::handle deps) {
  for (py::handle dep : deps.attr("split")("\n")) {
    py::object path = dep.attr("split")("\x1f", 1)[py::int_(0)];
    if (!identity(path).equal(dep)) return false;
  }
  return true;
}

// ---- The cursor's expression and the one import it starts from ----

struct Chain {
  py::str root, rest, prefix;
};

// The import statement that binds `root`, as the key names it, when it is the only binding
// of that name anywhere in the text, stands at the top level before `line`, and imports
// absolutely; null otherwise. `tree` is the text's module, `table` its symbol table.
py::object only_binding(py::handle tree, py::handle table, py::handle root, long line,
                        py::str &top) {
  // No other scope may bind the name or declare it global: then every use sees the import.
  // symtable's objects and re's functions are Python code: called parked, like every call
  // where a thread may be when the interpreter exits.
  py::list scopes(call(table.attr("get_children")));
  while (py::len(scopes) > 0) {
    py::object scope = scopes.attr("pop")();
    for (py::handle child : call(scope.attr("get_children"))) scopes.append(child);
    if (!truthy(call(scope.attr("get_identifiers")).attr("__contains__")(root))) continue;
    py::object symbol = call(scope.attr("lookup"), py::make_tuple(root));
    for (const char *flag :
         {"is_assigned", "is_imported", "is_parameter", "is_declared_global", "is_nonlocal"}) {
      if (truthy(call(symbol.attr(flag)))) return py::object();
    }
  }
  py::object symbol = call(table.attr("lookup"), py::make_tuple(root));
  if (!truthy(call(symbol.attr("is_imported"))) || truthy(call(symbol.attr("is_assigned"))) ||
      truthy(call(symbol.attr("is_declared_global")))) {
    return py::object();
  }
  // Among the statements of the module's own scope, exactly one import binds it.
  py::object ast = py::module_::import("ast");
  py::object import_type = ast.attr("Import"), from_type = ast.attr("ImportFrom");
  py::object scope_types =
      py::make_tuple(ast.attr("FunctionDef"), ast.attr("AsyncFunctionDef"), ast.attr("ClassDef"));
  py::object stmt_type = ast.attr("stmt");
  py::object found;
  int bindings = 0;
  py::list todo;
  for (py::handle statement : tree.attr("body")) todo.append(py::make_tuple(statement, true));
  while (py::len(todo) > 0) {
    py::tuple next = todo.attr("pop")();
    py::object statement = next[0];
    bool top_level = next[1].cast<bool>();
    bool is_import = is_instance(statement, import_type);
    if (is_import || is_instance(statement, from_type)) {
      for (py::handle alias : statement.attr("names")) {
        py::object name = alias.attr("name");
        if (equals(name, "*")) return py::object();
        py::object asname = alias.attr("asname");
        py::object bound = !asname.is_none() ? asname
                           : is_import       ? name.attr("split")(".")[py::int_(0)]
                                             : name;
        if (!bound.equal(root)) continue;
        ++bindings;
        if (!top_level || statement.attr("end_lineno").cast<long>() >= line) return py::object();
        py::str module;
        if (is_import) {
          module = py::str(name);
          found = (asname.is_none() && truthy(name.attr("__contains__")(".")))
                      ? py::str("import ") + module
                      : py::str("module ") + module;
        } else {
          if (statement.attr("level").cast<long>() != 0) return py::object();
          module = py::str(statement.attr("module"));
          found = py::str("from ") + module + py::str(" import ") + py::str(name);
        }
        top = py::str(module.attr("split")(".")[py::int_(0)]);
      }
      continue;
    }
    if (is_instance(statement, scope_types)) continue;  // their own scopes, checked above
    for (py::handle field : statement.attr("_fields")) {
      py::object value = statement.attr(field);
      if (!PyList_Check(value.ptr())) continue;
      for (py::handle child : value) {
        // A match's cases, a try's handlers: statements sit one level further down.
        if (is_instance(child, stmt_type)) {
          todo.append(py::make_tuple(child, false));
        } else if (py::hasattr(child, "body")) {
          for (py::handle inner : child.attr("body")) todo.append(py::make_tuple(inner, false));
        }
      }
    }
  }
  return bindings == 1 ? found : py::object();
}

// Whether the parsed text has, ending at the cursor, the attribute access `chain` describes,
// outside any f-string. `end` is the cursor's column in UTF-8 bytes, where ast counts.
bool attribute_at(py::handle tree, const Chain &chain, py::handle attr, long line, long end) {
  py::object ast = py::module_::import("ast");
  py::object attribute_type = ast.attr("Attribute"), call_type = ast.attr("Call");
  py::object name_type = ast.attr("Name"), fstring_type = ast.attr("JoinedStr");
  auto position = [](py::handle node, const char *line_field, const char *col_field) {
    return std::pair<long, long>(node.attr(line_field).cast<long>(),
                                 node.attr(col_field).cast<long>());
  };
  std::pair<long, long> cursor{line, end};
  bool found = false;
  py::object nodes =
      call(builtin("list"), py::make_tuple(call(ast.attr("walk"), py::make_tuple(tree))));
  for (py::handle node : nodes) {
    if (is_instance(node, fstring_type)) {
      if (position(node, "lineno", "col_offset") <= cursor &&
          cursor <= position(node, "end_lineno", "end_col_offset")) {
        return false;
      }
      continue;
    }
    if (found || !is_instance(node, attribute_type) ||
        position(node, "end_lineno", "end_col_offset") != cursor ||
        !py::object(node.attr("attr")).equal(attr)) {
      continue;
    }
    // The chain, read back from the tree: attributes and argument-free calls down to the name.
    py::list parts;  // innermost last
    py::object value = node.attr("value");
    for (;;) {
      if (is_instance(value, attribute_type)) {
        parts.append(py::str(".") + py::str(value.attr("attr")));
        value = value.attr("value");
      } else if (is_instance(value, call_type) && !truthy(value.attr("args")) &&
                 !truthy(value.attr("keywords"))) {
        parts.append(py::str("()"));
        value = value.attr("func");
      } else {
        break;
      }
    }
    parts.attr("reverse")();
    py::object rest = py::str("").attr("join")(parts);
    found = is_instance(value, name_type) && py::object(value.attr("id")).equal(chain.root) &&
            rest.equal(chain.rest);
  }
  return found;
}

}  // namespace

py::object completion_list_key(py::handle self, py::handle code, py::handle line, py::handle column,
                               py::handle path, py::handle search_key) {
  py::object re = global("re");
  // The text is parsed twice over (syntax tree and symbol table) on every such request; past
  // this size that would cost more than the lists save, and jedi answers alone.
  if (py::len(code) > LIST_TEXT_LIMIT) return py::object();
  if (truthy(code.attr("__contains__")("\r")) || truthy(code.attr("__contains__")("sys.path"))) {
    return py::object();  // other line ends, or a search path the text changes itself
  }
  long line_no = py::reinterpret_borrow<py::object>(line).cast<long>();
  long column_no = py::reinterpret_borrow<py::object>(column).cast<long>();
  py::list lines(code.attr("split")("\n"));
  if (line_no < 1 || line_no > static_cast<long>(py::len(lines))) return py::object();
  py::str text = lines[line_no - 1];
  if (column_no > static_cast<long>(py::len(text))) return py::object();
  py::str before = text[py::slice(0, column_no, 1)];
  py::str after = text[py::slice(column_no, py::len(text), 1)];
  if (truthy(call(re.attr("match"), py::make_tuple(R"(\w)", after)))) {
    return py::object();  // inside a name
  }
  py::object match = call(re.attr("search"), py::make_tuple(CHAIN_PATTERN, before));
  if (match.is_none()) return py::object();
  Chain chain{match.attr("group")(1), match.attr("group")(2), match.attr("group")(3)};
  // Cheap before the parse: the name must be imported somewhere.
  if (!truthy(code.attr("__contains__")("import"))) return py::object();
  py::str attr = truthy(chain.prefix) ? chain.prefix : py::str(PLACEHOLDER);
  py::str edited_line = truthy(chain.prefix) ? text : py::str(before + attr + after);
  lines[line_no - 1] = edited_line;
  py::object edited = py::str("\n").attr("join")(lines);
  py::object tree, table;
  try {
    tree = call(py::module_::import("ast").attr("parse"), py::make_tuple(edited));
    table = call(py::module_::import("symtable").attr("symtable"),
                 py::make_tuple(edited, "<completion>", "exec"));
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    return py::object();  // text that does not parse yet is left to jedi
  }
  long end = static_cast<long>(py::len(py::str(before + (truthy(chain.prefix) ? py::str("") : attr))
                                           .attr("encode")("utf-8", "surrogatepass")));
  if (!attribute_at(tree, chain, attr, line_no, end)) return py::object();
  py::str top;
  py::object binding = only_binding(tree, table, chain.root, line_no, top);
  if (!binding || shadowed(self, top, path)) return py::object();
  py::list parts;
  parts.append(search_key);
  parts.append(binding);
  parts.append(chain.rest);
  parts.append(chain.prefix);
  return text_digest(py::str("\x1e").attr("join")(parts));
}

py::object find_completion_list(py::handle key) {
  Holding hold;
  Lists &l = lists();
  auto digest = py::reinterpret_borrow<py::object>(key);
  PyObject *known = PyDict_GetItemWithError(l.memo.ptr(), digest.ptr());
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object entry = known ? py::reinterpret_borrow<py::object>(known) : py::object();
  if (entry) {
    // The most recently used last, so the bound drops what was not asked for longest.
    if (PyDict_DelItem(l.memo.ptr(), digest.ptr()) != 0) throw py::error_already_set();
    l.memo[digest] = entry;
  } else {
    py::object db = list_database();
    if (db.is_none()) return py::none();
    std::optional<py::error_already_set> failure;
    try {
      py::object row = call(
          call(db.attr("execute"), py::make_tuple("SELECT deps, items FROM lists WHERE key = ?",
                                                  py::make_tuple(digest)))
              .attr("fetchone"));
      if (row.is_none()) return py::none();
      entry = py::make_tuple(row[py::int_(0)], call(py::module_::import("marshal").attr("loads"),
                                                    py::make_tuple(row[py::int_(1)])));
    } catch (py::error_already_set &e) {
      if (!is_exception(e)) throw;
      if (!is_store_error(e)) {
        return py::none();  // a row no marshal of this Python reads: computed anew
      }
      failure = e;
    }
    if (failure) {
      list_database_failed(*failure);
      return py::none();
    }
    remember(digest, entry);
  }
  // Whether a user module shadows the list's root was checked with the key.
  if (!deps_hold(entry[py::int_(0)])) return py::none();
  return entry[py::int_(1)];
}

ListRecording::ListRecording(bool active) : active_(active) {
  if (!active_) return;
  Recorder &r = recorder();
  r.active = true;
  r.unknown = false;
  r.parsed = py::set();
  r.searched = py::set();
}

ListRecording::~ListRecording() {
  if (active_) recorder().active = false;
}

void note_exchange(const py::args &args, const py::kwargs &kwargs) {
  Recorder &r = recorder();
  if (!r.active) return;
  // (self, inference_state_id, function, args=(), kwargs={}) of jedi's subprocess exchange.
  py::object function = argument(args, 2, kwargs, "function");
  py::object fargs = argument(args, 3, kwargs, "args");
  py::object fkwargs = argument(args, 4, kwargs, "kwargs");
  std::string name = py::str(py::getattr(function, "__name__", py::str(""))).cast<std::string>();
  auto named = [&](const char *key, size_t index) -> py::object {
    if (!fkwargs.is_none() && truthy(fkwargs.attr("__contains__")(key))) return fkwargs[key];
    if (!fargs.is_none() && py::len(fargs) > index) return fargs[py::int_(index)];
    return py::none();
  };
  if (name == "get_module_info") {
    py::object sys_path = named("sys_path", 99), path = named("path", 99);
    if (sys_path.is_none() && path.is_none()) sys_path = global("sys").attr("path");
    if (!sys_path.is_none()) add_folders(sys_path);
    if (!path.is_none()) add_folders(path);
  } else if (name == "iter_module_names") {
    add_folders(named("paths", 0));
  }
}

void record_completion_list(py::handle self, py::handle key, py::handle rows,
                            const ItemStore &store) {
  Recorder &r = recorder();
  // Without a module search through the subprocess, jedi found its modules in ways not seen.
  if (!r.active || r.unknown || py::len(r.searched) == 0) return;
  py::object temp_dir = self.attr("_temp_dir");
  if (temp_dir.is_none()) return;
  py::str temp = py::str(temp_dir.attr("name"));
  py::str inside = temp + py::str(global("os").attr("sep"));
  py::set paths;
  auto user_file = [&](py::handle path) {
    return py::reinterpret_borrow<py::object>(path).equal(temp) ||
           truthy(path.attr("startswith")(inside));
  };
  for (py::handle group : {py::handle(r.parsed), py::handle(store.touched())}) {
    for (py::handle file : group) {
      if (user_file(file)) {
        // The folder holds "<module>.py" files only, and whether the root module's name is
        // among them is checked at every look-up; jedi's other candidates there (stub
        // packages, .pyi files) never exist. A user module that was read: no list.
        if (identity(file).attr("endswith")("\x1f-").cast<bool>()) continue;
        return;
      }
      paths.add(file);
      paths.add(dirname(file));
    }
  }
  for (py::handle folder : r.searched) {
    if (!user_file(folder)) paths.add(folder);  // the user's folder: see shadowed()
  }
  // A path jedi looked for and did not find stays missing as long as the nearest folder
  // above it that exists keeps its modification time: that folder stands for it.
  py::set ids;
  for (py::handle path : paths) {
    if (truthy(path.attr("__contains__")("\n")) || truthy(path.attr("__contains__")("\x1f"))) {
      return;
    }
    py::object at = py::reinterpret_borrow<py::object>(path);
    py::str id = identity(at);
    while (truthy(id.attr("endswith")("\x1f-"))) {
      py::object up = dirname(at);
      if (up.equal(at)) break;
      at = up;
      id = identity(at);
    }
    ids.add(id);
  }
  py::list deps(ids);
  deps.attr("sort")();
  py::object deps_text = py::str("\n").attr("join")(deps);
  Holding hold;
  remember(key, py::make_tuple(deps_text, rows));
  lists().pending.append(py::make_tuple(key, deps_text, rows));
}

void flush_completion_lists() {
  Holding hold;
  Lists &l = lists();
  if (py::len(l.pending) == 0) return;
  py::list pending = l.pending;
  l.pending = py::list();
  py::object db = list_database();
  if (db.is_none()) return;
  try {
    for (py::handle row : pending) {
      py::object blob =
          call(py::module_::import("marshal").attr("dumps"), py::make_tuple(row[py::int_(2)]));
      call(db.attr("execute"),
           py::make_tuple("INSERT OR REPLACE INTO lists VALUES (?, ?, ?)",
                          py::make_tuple(row[py::int_(0)], row[py::int_(1)], blob)));
    }
  } catch (py::error_already_set &e) {
    if (!is_exception(e) || !is_store_error(e)) throw;
    list_database_failed(e);
  }
}

void prepare_completion_lists() {
  for (const char *name : {"ast", "symtable", "marshal", "hashlib", "sqlite3"}) {
    py::module_::import(name);
  }
  Holding hold;
  list_database();
}

void watch_parses() {
  py::object inference = py::module_::import("jedi.inference").attr("InferenceState");
  if (py::dict(inference.attr("__dict__")).contains("_original_parse")) return;
  inference.attr("_original_parse") = inference.attr("__dict__")["parse_and_get_code"];
  inference.attr("parse_and_get_code") =
      method("parse_and_get_code", &recorded_parse, "InferenceState.parse_and_get_code, noted.");
}

}  // namespace sensewell
