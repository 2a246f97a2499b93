// The outline of the edited text for LSPBridge: classes, functions, methods and the
// variables of the module and its classes, nested as Monaco's document symbols.
#include <utility>
#include <vector>

#include "editor.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

// Monaco's SymbolKind numbers.
constexpr int KIND_CLASS = 4;
constexpr int KIND_METHOD = 5;
constexpr int KIND_FIELD = 7;
constexpr int KIND_FUNCTION = 11;
constexpr int KIND_VARIABLE = 12;
constexpr int KIND_CONSTANT = 13;
constexpr Py_ssize_t DETAIL_CHARS = 80;

struct Position {
  long long line, column;  // 1-based line, 0-based column, as jedi counts
  bool operator>=(const Position &other) const {
    return line != other.line ? line > other.line : column >= other.column;
  }
};

// An open class or function: the symbols after it belong to it until its end.
struct Scope {
  py::list children;
  Position end;
  bool is_class;
};

Position position_of(py::handle pair) {
  return {pair[py::int_(0)].cast<long long>(), pair[py::int_(1)].cast<long long>()};
}

// The first line of jedi's description ("def f", "class A", "X = 1"), kept short.
py::object detail_of(py::handle name) {
  py::object description = name.attr("description");
  if (!PyUnicode_Check(description.ptr())) return py::str("");
  py::object first = description.attr("split")("\n", 1)[py::int_(0)];
  if (py::len(first) <= static_cast<size_t>(DETAIL_CHARS)) return first;
  return first[py::slice(0, DETAIL_CHARS, 1)];
}

bool is_constant_name(py::handle name) {
  // UPPER_CASE names with at least one letter, as module constants are written.
  return truthy(name.attr("isupper")());
}

class Outline {
 public:
  explicit Outline(py::object code) : code_(std::move(code)) {}

  void add(py::handle name) {
    py::object type = name.attr("type");
    bool is_class = equals(type, "class");
    bool is_function = equals(type, "function");
    if (!is_class && !is_function && !equals(type, "statement")) return;
    py::object line = name.attr("line");
    py::object column = name.attr("column");
    if (line.is_none() || column.is_none()) return;
    Position at{line.cast<long long>(), column.cast<long long>()};
    while (!scopes_.empty() && at >= scopes_.back().end) scopes_.pop_back();
    bool in_class = !scopes_.empty() && scopes_.back().is_class;
    bool in_function = !scopes_.empty() && !scopes_.back().is_class;

    py::object def_start = call_jedi(name.attr("get_definition_start_position"));
    py::object def_end = call_jedi(name.attr("get_definition_end_position"));
    bool has_span = !def_start.is_none() && !def_end.is_none();
    if (has_span) {
      // jedi types a name by what it is bound to, so the statement itself tells a def or
      // class from an import or an assignment of one.
      Position from = position_of(def_start);
      py::object text_line = line_text(from.line);
      py::object before = text_line[py::slice(0, static_cast<Py_ssize_t>(from.column), 1)];
      py::object rest =
          text_line[py::slice(static_cast<Py_ssize_t>(from.column), PY_SSIZE_T_MAX, 1)];
      if ((is_class || is_function) &&
          !truthy(rest.attr("startswith")(py::make_tuple("class", "def", "async", "@")))) {
        if (truthy(rest.attr("startswith")(py::make_tuple("from", "import")))) return;
        is_class = is_function = false;
      }
      // A comprehension's variable is bound inside an expression, not by a statement.
      if (!is_class && !is_function &&
          (truthy(before.attr("strip")()) || (scopes_.empty() && from.column != 0))) {
        return;
      }
    }
    // A function's own variables are no part of the outline.
    if (!is_class && !is_function && in_function) return;

    py::object text = name.attr("name");
    int kind = is_class                 ? KIND_CLASS
               : is_function            ? (in_class ? KIND_METHOD : KIND_FUNCTION)
               : in_class               ? KIND_FIELD
               : is_constant_name(text) ? KIND_CONSTANT
                                        : KIND_VARIABLE;
    Position name_end{at.line, at.column + static_cast<long long>(py::len(text))};
    Position start = at, end = name_end;
    if (has_span) {
      start = position_of(def_start);
      end = trimmed(start, position_of(def_end));
      // Monaco refuses a symbol whose name lies outside its range.
      if (start >= at && !(start.line == at.line && start.column == at.column)) start = at;
      if (name_end >= end) end = name_end;
    }
    py::list children;
    py::dict symbol("name"_a = text, "detail"_a = detail_of(name), "kind"_a = kind,
                    "range"_a = range_of(start, end), "selectionRange"_a = range_of(at, name_end),
                    "children"_a = children);
    (scopes_.empty() ? roots_ : scopes_.back().children).append(symbol);
    if (is_class || is_function) {
      Position scope_end = def_end.is_none() ? name_end : position_of(def_end);
      scopes_.push_back(Scope{children, scope_end, is_class});
    }
  }

  py::list roots() const { return roots_; }

 private:
  static py::dict range_of(Position start, Position end) {
    return monaco_range(py::int_(start.line), py::int_(start.column + 1), py::int_(end.line),
                        py::int_(end.column + 1));
  }

  // Line `line` (1-based) of the text, "" past its end.
  py::object line_text(long long line) {
    if (!lines_) lines_ = split_lines(code_);
    if (line < 1 || line > static_cast<long long>(py::len(lines_))) return py::str("");
    return lines_[py::int_(line - 1)];
  }

  // A definition that ends with its line break ends at the end of its last line instead.
  Position trimmed(Position start, Position end) {
    if (end.column != 0 || end.line <= start.line) return end;
    long long last = end.line - 1;
    return {last, static_cast<long long>(py::len(line_text(last)))};
  }

  py::object code_;
  py::object lines_;  // split on first use
  py::list roots_;
  std::vector<Scope> scopes_;
};

py::dict symbols_result(py::list symbols, py::object error) {
  return py::dict("symbols"_a = symbols, "error"_a = error);
}

py::dict symbols_failed(py::object error_msg) {
  return symbols_result(py::list(), error_msg);
}

py::dict document_symbols(const Request &req) {
  JediLock lock(req);
  py::object script = open_script(req);
  py::object names =
      call_jedi(script.attr("get_names"),
                py::dict("all_scopes"_a = true, "definitions"_a = true, "references"_a = false));
  Outline outline(req.code);
  for (py::handle name : names) outline.add(name);
  py::list symbols = outline.roots();
  log("debug", "[LSP] Document symbols: %d names, %d top-level symbols", py::len(names),
      py::len(symbols));
  return symbols_result(symbols, py::none());
}

py::dict get_document_symbols(py::object self, py::object code, py::object path) {
  require_exact(code, &PyUnicode_Type, "code");
  require_exact_or_none(path, &PyUnicode_Type, "path");
  Request req{self, code, py::int_(1), py::int_(0), path, py::none(), py::none()};
  log("debug", "[LSP] Request: get_document_symbols, code_length=%d, path=%s",
      PyUnicode_GET_LENGTH(code.ptr()), path);
  return guard_request(
      "get_document_symbols", [&] { return document_symbols(req); }, symbols_failed);
}

}  // namespace

void init_symbols(Methods &methods) {
  methods["get_document_symbols"] =
      method("get_document_symbols", get_document_symbols,
             "LSPBridge.get_document_symbols(self, code: str, path: Optional[str] = None) -> "
             "Dict[str, Any]\n\n"
             "The outline of the text: {\"symbols\": [{\"name\", \"detail\", \"kind\", \"range\",\n"
             "\"selectionRange\", \"children\"}, ...], \"error\": None}, with classes, functions,\n"
             "methods and the variables of the module and its classes, nested; \"kind\" is\n"
             "Monaco's SymbolKind.",
             py::arg("self"), py::arg("code"), py::arg("path") = py::none());
}

}  // namespace sensewell
