// What the editor requests beyond the first four share: Monaco ranges, the places jedi names
// as locations in the user's modules or in library files, and the markers of a text.
#pragma once

#include "sensewell.h"

namespace sensewell {

// {"startLineNumber", "startColumn", "endLineNumber", "endColumn"}: 1-based, end one past.
py::dict monaco_range(py::object start_line, py::object start_column, py::object end_line,
                      py::object end_column);

// The range of a jedi name in its module; a module's own file gets the empty range at its
// start. Null when jedi gives the name no position.
py::object name_range(py::handle name);

// Tells where a jedi name lies for one request: in the edited text, in a synced user module
// (a file of the temporary directory) or in library code.
class Places {
 public:
  Places(const Request &req, py::handle script);
  // {"module", "path", "range"}, or null for a name without a position; `module` is the
  // name's user_module() when the caller has it already.
  py::object location(py::handle name, py::object module = {}) const;
  // The user module's name (the edited text's own path, possibly None) for a place in the
  // user's code; null for library code.
  py::object user_module(py::handle name) const;

 private:
  py::object edited_module_;  // the request's path, None when it has none
  py::object script_path_;    // str of the path jedi gave the edited text
  py::object temp_dir_;       // str, or None after cleanup
};

// The lines of a text as the parser counts them (\r\n, \r and \n end a line).
py::list split_lines(py::handle code);

// The parser's and pyflakes' view of a text, gathered the way get_diagnostics gathers it.
struct Findings {
  py::object tree;           // the module's tree; null after a syntax error
  py::object syntax_marker;  // the syntax error's marker; null when the text parses
  py::list messages;         // pyflakes' message objects, in its report order
  py::list error_markers;    // markers of pyflakes' error stream
};
Findings find_problems(py::object self, py::object code, py::object module_name);

// The marker of one pyflakes message: get_diagnostics' record with the range narrowed to
// the name it quotes, and "code", "source" and "tags"; None when the message does not read.
py::object pyflakes_marker(py::object self, py::handle message, py::handle lines);

// Whether a 0-based cursor column on `line` touches the marker's range.
bool marker_at(py::handle marker, py::handle line, py::handle column);

}  // namespace sensewell
