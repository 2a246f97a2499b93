// Quick fixes for LSPBridge: imports offered for an undefined name (customary aliases, the
// synced modules' names, the standard library) and the removal of an unused import.
#include <string>
#include <string_view>
#include <vector>

#include "editor.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

// The aliases data code is customarily written with.
struct Alias {
  const char *alias, *module;
};
constexpr Alias ALIASES[] = {
    {"np", "numpy"},
    {"pd", "pandas"},
    {"plt", "matplotlib.pyplot"},
    {"mpl", "matplotlib"},
    {"dt", "datetime"},
    {"sns", "seaborn"},
    {"sp", "scipy"},
    {"sm", "statsmodels.api"},
    {"smf", "statsmodels.formula.api"},
    {"nx", "networkx"},
    {"xr", "xarray"},
    {"pl", "polars"},
    {"pa", "pyarrow"},
    {"pq", "pyarrow.parquet"},
    {"px", "plotly.express"},
    {"go", "plotly.graph_objects"},
    {"tf", "tensorflow"},
    {"tk", "tkinter"},
    {"ET", "xml.etree.ElementTree"},
    {"mp", "multiprocessing"},
};

// Well-known members of standard-library modules, imported by name.
struct Members {
  const char *module, *names;  // names separated by spaces
};
constexpr Members MEMBERS[] = {
    {"collections", "defaultdict Counter OrderedDict namedtuple deque ChainMap"},
    {"datetime", "datetime date timedelta timezone"},
    {"pathlib", "Path PurePath"},
    {"dataclasses", "dataclass field asdict astuple replace"},
    {"functools", "partial reduce lru_cache wraps cache cached_property total_ordering"},
    {"itertools",
     "chain product groupby islice permutations combinations count cycle repeat accumulate "
     "zip_longest starmap"},
    {"typing",
     "Any Callable Dict Iterable Iterator List Mapping Optional Sequence Set Tuple Type TypeVar "
     "Union Generic Literal NamedTuple Protocol"},
    {"enum", "Enum IntEnum Flag auto"},
    {"math", "sqrt pi floor ceil log exp inf isclose isnan"},
    {"decimal", "Decimal"},
    {"fractions", "Fraction"},
    {"random", "randint choice choices shuffle uniform sample"},
    {"time", "sleep perf_counter monotonic"},
    {"copy", "deepcopy"},
    {"io", "StringIO BytesIO"},
    {"abc", "ABC abstractmethod"},
    {"contextlib", "contextmanager suppress closing"},
    {"pprint", "pprint"},
    {"statistics", "mean median stdev"},
    {"glob", "glob"},
    {"textwrap", "dedent indent"},
    {"uuid", "uuid4"},
    {"operator", "itemgetter attrgetter"},
    {"threading", "Thread Lock Event"},
    {"concurrent.futures", "ThreadPoolExecutor ProcessPoolExecutor"},
    {"urllib.parse", "urlparse urlencode quote"},
};

struct Import {
  std::string statement, title;
};

py::object str_of(py::handle value) {
  return py::str(py::reinterpret_borrow<py::object>(value));
}

bool has_word(std::string_view words, std::string_view word) {
  while (!words.empty()) {
    auto space = words.find(' ');
    if (words.substr(0, space) == word) return true;
    if (space == std::string_view::npos) break;
    words.remove_prefix(space + 1);
  }
  return false;
}

bool is_a(py::handle node, const char *type) {
  return is_instance(node, global("ast").attr(type));
}

// Whether a module's tree defines `name` at its top level for others to import: by its
// `__all__` when it lists one, else any public def, class or assignment.
bool exports(py::handle tree, py::handle name) {
  bool defined = false;
  py::object listed;
  for (py::handle stmt : tree.attr("body")) {
    if (is_a(stmt, "FunctionDef") || is_a(stmt, "AsyncFunctionDef") || is_a(stmt, "ClassDef")) {
      defined = defined || py::object(stmt.attr("name")).equal(name);
      continue;
    }
    py::list targets;
    if (is_a(stmt, "Assign")) {
      for (py::handle target : stmt.attr("targets")) {
        if (is_a(target, "Tuple") || is_a(target, "List")) {
          for (py::handle elt : target.attr("elts")) targets.append(elt);
        } else {
          targets.append(target);
        }
      }
    } else if (is_a(stmt, "AnnAssign")) {
      targets.append(stmt.attr("target"));
    }
    for (py::handle target : targets) {
      if (!is_a(target, "Name")) continue;
      py::object id = target.attr("id");
      if (equals(id, "__all__") &&
          (is_a(stmt.attr("value"), "List") || is_a(stmt.attr("value"), "Tuple"))) {
        listed = py::list();
        for (py::handle elt : stmt.attr("value").attr("elts")) {
          if (is_a(elt, "Constant")) listed.attr("append")(elt.attr("value"));
        }
      } else if (id.equal(name)) {
        defined = true;
      }
    }
  }
  if (listed) return listed.contains(name);
  return defined && !truthy(name.attr("startswith")("_"));
}

bool exports_from_file(py::handle file, py::handle name) {
  try {
    py::object stream =
        call_parked(builtin("open"), py::make_tuple(file), py::dict("encoding"_a = "utf-8"));
    py::object text;
    try {
      text = call_parked(stream.attr("read"), py::tuple());
    } catch (py::error_already_set &) {
      call_parked(stream.attr("close"), py::tuple());
      throw;
    }
    call_parked(stream.attr("close"), py::tuple());
    py::object tree = call_parked(global("ast").attr("parse"), py::make_tuple(text));
    return exports(tree, name);
  } catch (py::error_already_set &e) {
    // A module that cannot be read or parsed offers nothing.
    if (!is_exception(e)) throw;
    return false;
  }
}

class Imports {
 public:
  Imports(const Request &req, py::object name) : req_(req), name_(std::move(name)) {}

  std::vector<Import> find() {
    std::string name = py::str(name_);
    for (const Alias &a : ALIASES) {
      if (name != a.alias) continue;
      std::string module = a.module;
      if (resolvable(module.substr(0, module.find('.')))) {
        add("import " + module + " as " + name, "Import " + module + " as " + name);
      }
    }
    add_user_modules(name);
    py::object stdlib = global("sys").attr("stdlib_module_names");
    if (name[0] != '_' && stdlib.contains(name_) && resolvable(name)) {
      add("import " + name, "Import " + name);
    }
    for (const Members &m : MEMBERS) {
      if (has_word(m.names, name)) {
        add(std::string("from ") + m.module + " import " + name,
            "Import " + name + " from " + m.module);
      }
    }
    return found_;
  }

 private:
  bool resolvable(const std::string &module) {
    return truthy(call_parked(req_.self.attr("_can_resolve_import"), py::make_tuple(module)));
  }

  void add(std::string statement, std::string title) {
    for (const Import &known : found_) {
      if (known.statement == statement) return;
    }
    found_.push_back({std::move(statement), std::move(title)});
  }

  // The synced modules: one named like the name itself, then those that export it.
  void add_user_modules(const std::string &name) {
    py::object temp_dir = req_.self.attr("_temp_dir");
    if (temp_dir.is_none()) return;
    py::object directory = temp_dir.attr("name");
    py::object os = global("os");
    auto entries = builtin("sorted")(call_parked(os.attr("listdir"), py::make_tuple(directory)))
                       .cast<py::list>();
    py::object edited = py::str("");
    if (truthy(req_.path) && truthy(req_.self.attr("_is_module_name")(req_.path))) {
      edited = req_.path;
    }
    std::vector<std::string> exporters;
    for (py::handle entry : entries) {
      if (!truthy(entry.attr("endswith")(".py"))) continue;
      py::object module = entry[py::slice(0, -3, 1)];
      if (!truthy(module.attr("isidentifier")()) || module.equal(edited)) continue;
      std::string module_name = py::str(module);
      if (module_name == name) add("import " + name, "Import " + name);
      py::object file = call_parked(os.attr("path").attr("join"), py::make_tuple(directory, entry));
      if (exports_from_file(file, name_)) exporters.push_back(module_name);
    }
    for (const std::string &module : exporters) {
      add("from " + module + " import " + name, "Import " + name + " from " + module);
    }
  }

  const Request &req_;
  py::object name_;
  std::vector<Import> found_;
};

long long as_int(py::handle value) {
  return value.cast<long long>();
}

py::object line_length(py::handle lines, long long line) {
  return py::int_(py::len(py::reinterpret_borrow<py::object>(lines)[py::int_(line - 1)]));
}

py::dict at(long long line, long long column) {
  return monaco_range(py::int_(line), py::int_(column), py::int_(line), py::int_(column));
}

py::dict span(long long start_line, long long start_column, long long end_line,
              long long end_column) {
  return monaco_range(py::int_(start_line), py::int_(start_column), py::int_(end_line),
                      py::int_(end_column));
}

// Where a new import goes: after the module's docstring and its leading imports, or after
// the comments heading a module with neither.
py::dict import_edit(py::handle tree, py::handle lines, const std::string &statement,
                     const std::string &newline) {
  long long after = 0;
  bool leading = true;
  for (py::handle stmt : tree.attr("body")) {
    bool docstring = after == 0 && leading && is_a(stmt, "Expr") &&
                     is_a(stmt.attr("value"), "Constant") &&
                     PyUnicode_Check(stmt.attr("value").attr("value").ptr());
    if (!docstring && !is_a(stmt, "Import") && !is_a(stmt, "ImportFrom")) break;
    after = as_int(stmt.attr("end_lineno"));
    leading = false;
  }
  auto count = static_cast<long long>(py::len(lines));
  if (after == 0) {
    while (after < count && truthy(py::reinterpret_borrow<py::object>(lines)[py::int_(after)].attr(
                                "startswith")("#"))) {
      ++after;
    }
  }
  if (after < count) {
    return py::dict("range"_a = at(after + 1, 1), "text"_a = statement + newline);
  }
  // After the last line, which has no line break of its own.
  py::object end = line_length(lines, after) + py::int_(1);
  return py::dict("range"_a = at(after, as_int(end)), "text"_a = newline + statement);
}

// The import statement a message is about, with the statement list that holds it.
py::object find_import(py::handle body, long long line, long long column, py::object &holder) {
  for (py::handle stmt : body) {
    long long first = as_int(stmt.attr("lineno"));
    if (line < first) break;
    if (line > as_int(stmt.attr("end_lineno"))) continue;
    if (first == line && as_int(stmt.attr("col_offset")) == column &&
        (is_a(stmt, "Import") || is_a(stmt, "ImportFrom"))) {
      holder = py::reinterpret_borrow<py::object>(body);
      return py::reinterpret_borrow<py::object>(stmt);
    }
    py::list blocks;
    for (const char *field : {"body", "orelse", "finalbody"}) {
      py::object block = py::getattr(stmt, field, py::none());
      if (PyList_Check(block.ptr())) blocks.append(block);
    }
    for (const char *field : {"handlers", "cases"}) {
      py::object clauses = py::getattr(stmt, field, py::none());
      if (!PyList_Check(clauses.ptr())) continue;
      for (py::handle clause : clauses) blocks.append(clause.attr("body"));
    }
    for (py::handle block : blocks) {
      py::object found = find_import(block, line, column, holder);
      if (found) return found;
    }
  }
  return py::object();
}

// The text pyflakes names an imported name by ("m.a as b", "os.path", "np" ...).
py::object pyflakes_name(py::handle stmt, py::handle alias) {
  py::str as(" as ");
  py::object real = alias.attr("name");
  py::object asname = alias.attr("asname");
  py::object bound = asname.is_none() ? real : asname;
  if (is_a(stmt, "Import")) {
    if (asname.is_none()) return real;
    py::object last = real.attr("rsplit")(".", 1)[py::int_(-1)];
    return last.equal(bound) ? real : real + as + bound;
  }
  py::object module = py::str(".") * stmt.attr("level");
  if (!stmt.attr("module").is_none()) module = module + stmt.attr("module");
  py::object full = truthy(module.attr("endswith")(".")) ? py::object(module + real)
                                                         : py::object(module + py::str(".") + real);
  return real.equal(bound) ? full : full + as + bound;
}

// The edit that removes one unused imported name: its alias when the statement imports
// others too, else the statement, left as `pass` where a block would be empty without it.
py::object removal_edit(py::handle tree, py::handle lines, py::handle message) {
  py::object holder;
  py::object stmt = find_import(tree.attr("body"), as_int(message.attr("lineno")),
                                as_int(message.attr("col")), holder);
  if (!stmt) return py::object();
  py::object wanted = message.attr("message_args")[py::int_(0)];
  auto names = stmt.attr("names").cast<py::list>();
  size_t index = names.size();
  for (size_t i = 0; i < names.size(); ++i) {
    if (pyflakes_name(stmt, py::object(names[i])).equal(wanted)) index = i;
  }
  if (index == names.size()) return py::object();
  auto start_of = [](py::handle node) {
    return std::pair{as_int(node.attr("lineno")), as_int(node.attr("col_offset")) + 1};
  };
  auto end_of = [](py::handle node) {
    return std::pair{as_int(node.attr("end_lineno")), as_int(node.attr("end_col_offset")) + 1};
  };
  if (names.size() > 1) {
    // The name with the comma that separates it from its neighbour.
    size_t last = names.size() - 1;
    auto [from_line, from_col] =
        index < last ? start_of(py::object(names[index])) : end_of(py::object(names[index - 1]));
    auto [to_line, to_col] =
        index < last ? start_of(py::object(names[index + 1])) : end_of(py::object(names[index]));
    return py::dict("range"_a = span(from_line, from_col, to_line, to_col), "text"_a = "");
  }
  auto [first, first_col] = start_of(stmt);
  auto [last, last_col] = end_of(stmt);
  auto text_of = [&](long long line) {
    return py::reinterpret_borrow<py::object>(lines)[py::int_(line - 1)];
  };
  py::object before = text_of(first)[py::slice(0, first_col - 1, 1)];
  py::object after = text_of(last)[py::slice(last_col - 1, PY_SSIZE_T_MAX, 1)].attr("strip")();
  bool whole_lines =
      !truthy(before.attr("strip")()) && (!truthy(after) || truthy(after.attr("startswith")("#")));
  bool only_in_block = py::len(holder) == 1 && !holder.is(tree.attr("body"));
  if (only_in_block || !whole_lines) {
    return py::dict("range"_a = span(first, first_col, last, last_col), "text"_a = "pass");
  }
  auto count = static_cast<long long>(py::len(lines));
  py::object range;
  if (last < count) {
    range = span(first, 1, last + 1, 1);
  } else if (first > 1) {
    range = span(first - 1, as_int(line_length(lines, first - 1)) + 1, last,
                 as_int(line_length(lines, last)) + 1);
  } else {
    range = span(first, 1, last, as_int(line_length(lines, last)) + 1);
  }
  return py::dict("range"_a = range, "text"_a = "");
}

py::dict action(const std::string &title, py::handle marker, py::dict edit, py::handle module,
                bool preferred) {
  py::dict ordered("module"_a = module, "range"_a = py::object(edit["range"]),
                   "text"_a = py::object(edit["text"]));
  py::list edits;
  edits.append(ordered);
  py::list diagnostics;
  diagnostics.append(marker);
  return py::dict("title"_a = title, "kind"_a = "quickfix", "diagnostics"_a = diagnostics,
                  "edit"_a = py::dict("edits"_a = edits), "isPreferred"_a = preferred);
}

py::dict actions_result(py::list actions, py::object error) {
  return py::dict("actions"_a = actions, "error"_a = error);
}

py::dict actions_failed(py::object error_msg) {
  return actions_result(py::list(), error_msg);
}

py::dict code_actions(const Request &req) {
  check_position(req);
  sync_request_modules(req);
  py::list actions;
  Findings findings = find_problems(req.self, req.code, py::none());
  if (findings.syntax_marker) return actions_result(actions, py::none());
  py::object module = truthy(req.path) ? req.path : py::none();
  py::list lines = split_lines(req.code);
  std::string newline = truthy(req.code.attr("__contains__")("\r\n")) ? "\r\n" : "\n";
  for (py::handle message : findings.messages) {
    std::string kind = py::str(message.attr("__class__").attr("__name__"));
    if (kind != "UndefinedName" && kind != "UnusedImport") continue;
    if (!py::object(message.attr("lineno")).equal(req.line)) continue;
    py::object marker = pyflakes_marker(req.self, message, lines);
    if (marker.is_none() || !marker_at(marker, req.line, req.column)) continue;
    if (kind == "UndefinedName") {
      py::object name = message.attr("message_args")[py::int_(0)];
      bool first = true;
      for (const Import &imp : Imports(req, name).find()) {
        py::dict edit = import_edit(findings.tree, lines, imp.statement, newline);
        actions.append(action(imp.title, marker, edit, module, first));
        first = false;
      }
    } else {
      py::object edit = removal_edit(findings.tree, lines, message);
      if (!edit) continue;
      std::string name = str_of(message.attr("message_args")[py::int_(0)]).cast<std::string>();
      actions.append(action("Remove unused import " + name, marker, edit, module, true));
    }
  }
  log("debug", "[LSP] Code actions: %d offered", py::len(actions));
  return actions_result(actions, py::none());
}

py::dict get_code_actions(py::object self, py::object code, py::object line, py::object column,
                          py::object path, py::object modules, py::object dirty_files) {
  Request req = accept_request(self, code, line, column, path, modules, dirty_files);
  log("debug", "[LSP] Request: get_code_actions line=%d, column=%d, path=%s", req.line, req.column,
      req.path);
  return guard_request(
      "get_code_actions", [&] { return code_actions(req); }, actions_failed);
}

}  // namespace

void init_code_actions(Methods &methods) {
  methods["get_code_actions"] = request_method(
      "get_code_actions", get_code_actions,
      "LSPBridge.get_code_actions(self, code: str, line: int, column: int, "
      "path: Optional[str] = None, modules: Optional[Dict[str, str]] = None, "
      "dirty_files: Optional[Dict[str, str]] = None) -> Dict[str, Any]\n\n"
      "Quick fixes for the findings at the cursor: \"Import ...\" for an undefined name,\n"
      "\"Remove unused import ...\" for an unused one. {\"actions\": [{\"title\", \"kind\",\n"
      "\"diagnostics\", \"edit\": {\"edits\": [{\"module\", \"range\", \"text\"}]},\n"
      "\"isPreferred\"}, ...], \"error\": None}.");
}

}  // namespace sensewell
