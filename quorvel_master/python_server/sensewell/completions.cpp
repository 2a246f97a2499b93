// Completions for LSPBridge: jedi's completions as Monaco completion items, private names
// hidden until an underscore is typed, nothing while an import alias is typed.
#include "sensewell.h"

using namespace pybind11::literals;

namespace sensewell {

namespace {

constexpr Py_ssize_t PREVIEW_CHARS = 100;
constexpr size_t SAMPLE_LABELS = 5;

// text[:end] with Python's clamping, for an end of any size.
py::object head(py::handle text, py::handle end) {
  PyObject *slice = PySlice_New(nullptr, end.ptr(), nullptr);
  if (slice == nullptr) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(text)[py::reinterpret_steal<py::object>(slice)];
}

bool less(py::handle a, py::handle b) {
  int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// The text before the cursor on `line` (1-based), or None when the line is not in `lines`.
py::object line_before_cursor(py::handle lines, py::handle line, py::handle column) {
  if (less(line, py::int_(1)) || less(py::int_(py::len(lines)), line)) return py::none();
  py::object index = py::reinterpret_borrow<py::object>(line) - py::int_(1);
  return head(py::reinterpret_borrow<py::object>(lines)[index], column);
}

py::object word_prefix(py::object code, py::object line, py::object column) {
  py::object before = line_before_cursor(code.attr("split")("\n"), line, column);
  if (before.is_none()) return py::str("");
  py::object match = global("re").attr("search")("[a-zA-Z_][a-zA-Z0-9_]*$", before);
  if (match.is_none()) return py::str("");
  return match.attr("group")(0);
}

py::object _get_word_prefix(py::object, py::object code, py::object line, py::object column) {
  require_exact(code, &PyUnicode_Type, "code");
  py::int_ line_no = to_int(line, "line");
  py::int_ column_no = to_int(column, "column");
  return word_prefix(code, line_no, column_no);
}

py::dict completions_result(py::object items, py::object error) {
  return py::dict("completions"_a = items, "error"_a = error);
}

py::dict completions_failed(py::object error_msg) {
  return completions_result(py::list(), error_msg);
}

// One Monaco completion item; "detail" and "documentation" only when there is something.
py::dict completion_item(py::object name, const ItemFields &fields) {
  py::dict item;
  item["label"] = name;
  item["kind"] = global("JEDI_TO_MONACO_KIND").attr("get")(fields.type, 4);
  item["insertText"] = name;
  if (fields.detail) item["detail"] = fields.detail;
  if (truthy(fields.doc)) item["documentation"] = fields.doc;
  return item;
}

}  // namespace

ItemFields item_fields(py::handle self, py::handle completion) {
  ItemFields fields{completion.attr("type"), py::str(""), py::object()};
  if (equals(fields.type, "function")) {
    try {
      py::object signatures = call_jedi(completion.attr("get_signatures"));
      if (truthy(signatures)) {
        fields.detail = self.attr("_format_signature")(signatures[py::int_(0)]);
      }
    } catch (py::error_already_set &e) {
      if (!is_exception(e)) throw;
      fields.complete = false;
    }
  }
  try {
    py::object docstring = call_jedi(completion.attr("docstring"));
    if (truthy(docstring)) fields.doc = docstring;
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
    fields.complete = false;
  }
  return fields;
}

namespace {

// Monaco items for jedi's completions, each item's fields from the store when it holds them;
// `rows` gets (name, type, doc, detail) of each for a stored list. False when some item's
// fields are incomplete, which no list keeps.
bool answer_items(py::handle self, py::handle found, bool show_underscores, ItemStore &store,
                  py::list &items, py::list &rows) {
  bool complete = true;
  for (py::handle completion : found) {
    py::object name = completion.attr("name");
    if (!show_underscores && truthy(name.attr("startswith")("_"))) continue;
    py::object key = store.key(completion);
    py::object stored = key.is_none() ? py::object(py::none()) : store.find(key);
    ItemFields fields;
    if (!stored.is_none()) {
      py::object detail = stored[py::int_(2)];
      fields = {stored[py::int_(0)], stored[py::int_(1)], detail.is_none() ? py::object() : detail};
    } else {
      fields = item_fields(self, completion);
      complete = complete && fields.complete;
      if (!key.is_none() && fields.complete) {
        store.record(key, completion, fields.type, fields.doc,
                     fields.detail ? fields.detail : py::none());
      }
    }
    items.append(completion_item(name, fields));
    rows.append(
        py::make_tuple(name, fields.type, fields.doc, fields.detail ? fields.detail : py::none()));
  }
  return complete;
}

// The list of the cursor's expression (see list_store.cpp) when its text allows one.
py::object list_key(py::handle self, py::handle code, py::handle line, py::handle column,
                    py::handle path) {
  ItemStore probe(self, py::str("<editor>"));
  if (!probe.active()) return py::object();
  return completion_list_key(self, code, line, column, path, probe.search_key());
}

// jedi's completions at the position, answered and, under `key`, kept as a list; the caller
// holds the JediLock.
py::list compute_items(py::handle self, const py::object &script, py::handle line,
                       py::handle column, bool show_underscores, py::handle store_path,
                       const py::object &key, bool warmup) {
  py::object found =
      call_jedi(script.attr("complete"), py::dict("line"_a = line, "column"_a = column));
  if (!warmup) log("debug", "[LSP] Jedi returned %d completions", py::len(found));
  ItemStore store(self, store_path);
  py::list items, rows;
  bool complete = answer_items(self, found, show_underscores, store, items, rows);
  store.flush();
  if (key && complete) record_completion_list(self, key, rows, store);
  return items;
}

py::dict completions(const Request &req) {
  check_position(req);
  // Naming an import alias: nothing to offer, so neither sync nor jedi runs.
  py::object before = line_before_cursor(req.code.attr("split")("\n"), req.line, req.column);
  if (!before.is_none() && !global("IMPORT_ALIAS_PATTERN").attr("match")(before).is_none()) {
    log("debug", "[LSP] In import alias context, returning empty completions");
    return completions_result(py::list(), py::none());
  }
  sync_request_modules(req);
  py::object prefix = req.self.attr("_get_word_prefix")(req.code, req.line, req.column);
  bool show_underscores = truthy(prefix.attr("startswith")("_"));

  py::list items;
  check_budget(req.self);
  py::object key = list_key(req.self, req.code, req.line, req.column, req.path);
  py::object rows = key ? find_completion_list(key) : py::object(py::none());
  if (!rows.is_none()) {
    // Read without jedi and without waiting for it.
    for (py::handle row : rows) {
      py::object detail = row[py::int_(3)];
      items.append(completion_item(row[py::int_(0)], {row[py::int_(1)], row[py::int_(2)],
                                                      detail.is_none() ? py::object() : detail}));
    }
    log("debug", "[LSP] Completion list of %d items from the store", py::len(items));
  } else {
    {
      JediLock lock(req);
      py::object path = script_path(req);
      ListRecording recording(static_cast<bool>(key));
      py::object script = open_script(req, path);
      items =
          compute_items(req.self, script, req.line, req.column, show_underscores, path, key, false);
    }
    if (key) flush_completion_lists();
  }
  py::dict response = completions_result(items, py::none());
  log("debug", "[LSP] Response: %d completions returned", py::len(items));
  if (py::len(items) > 0) {
    py::list labels;
    for (size_t i = 0; i < std::min(py::len(items), SAMPLE_LABELS); ++i) {
      labels.append(items[i]["label"]);
    }
    log("debug", "[LSP] Sample completions: %s%s", labels,
        py::len(items) > SAMPLE_LABELS ? "..." : "");
  }
  return response;
}

py::dict get_completions(py::object self, py::object code, py::object line, py::object column,
                         py::object path, py::object modules, py::object dirty_files) {
  Request req = accept_request(self, code, line, column, path, modules, dirty_files);
  PyObject *preview = PyUnicode_Substring(code.ptr(), 0, PREVIEW_CHARS);
  if (preview == nullptr) throw py::error_already_set();
  py::dict record("line"_a = req.line, "column"_a = req.column, "path"_a = req.path,
                  "code_length"_a = PyUnicode_GET_LENGTH(code.ptr()),
                  "code_preview"_a = py::reinterpret_steal<py::object>(preview));
  log("debug", "[LSP] Request: get_completions %s", record);
  return guard_request(
      "get_completions", [&] { return completions(req); }, completions_failed);
}

}  // namespace

void fill_completion_list(py::object self, py::handle code, py::handle line, py::handle column) {
  py::object key = list_key(self, code, line, column, py::none());
  if (!key || !find_completion_list(key).is_none()) return;
  ListRecording recording(true);
  py::object script = call_jedi(
      global("jedi").attr("Script"),
      py::dict("code"_a = code, "path"_a = "<warmup>", "project"_a = self.attr("_jedi_project")));
  compute_items(self, script, line, column, false, py::str("<warmup>"), key, true);
}

void init_completions(Methods &methods) {
  methods["_get_word_prefix"] =
      method("_get_word_prefix", _get_word_prefix,
             "LSPBridge._get_word_prefix(self, code: str, line: int, column: int) -> str\n\n"
             "The identifier that ends at the cursor (line 1-based, column 0-based), or \"\".",
             py::arg("self"), py::arg("code"), py::arg("line"), py::arg("column"));
  methods["get_completions"] = request_method(
      "get_completions", get_completions,
      "LSPBridge.get_completions(self, code: str, line: int, column: int, "
      "path: Optional[str] = None, modules: Optional[Dict[str, str]] = None, "
      "dirty_files: Optional[Dict[str, str]] = None) -> Dict[str, Any]\n\n"
      "Monaco completion items for the cursor (line 1-based, column 0-based). Names that\n"
      "start with an underscore are offered only once an underscore is typed.");
}

}  // namespace sensewell
