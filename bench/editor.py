"""Workloads of the editor requests beyond the first four, each beside the jedi or pyflakes
calls it makes, made from plain Python over the same text with the same project.
"""

import ast
import io
import os
import re

from .harness import median_alternating, registry
from .services import _expect_ok, _ready_bridge, _resolvable, user_module

WORKLOADS, workload = registry("services")

CALL = "joined = os.path.join(os.sep, 'data')"


def _location(name, script_path, temp_dir):
    if name.line is None:
        return None
    path = os.fspath(name.module_path) if name.module_path is not None else None
    if path is None:
        return None
    start = name.column + 1
    rng = {"startLineNumber": name.line, "startColumn": start, "endLineNumber": name.line,
           "endColumn": start + len(name.name)}
    if path == script_path:
        return {"module": None, "path": None, "range": rng}
    if os.path.dirname(path) == temp_dir and path.endswith(".py"):
        return {"module": os.path.basename(path)[:-3], "path": None, "range": rng}
    return {"module": None, "path": path, "range": rng}


def _pair(cfg, ours, floor):
    return median_alternating([ours, floor], cfg.lsp_runs, cfg.lsp_budget_s)


@workload("definitions of a library call in a {module_lines}-line module", 1.05)
def definitions(cfg):
    import jedi

    _, br = _ready_bridge("get_definitions")
    code = user_module(cfg.module_lines, CALL)
    line, column = cfg.module_lines, CALL.index("join(") + 1
    project, temp_dir = br._jedi_project, br._temp_dir.name

    def floor():
        script = jedi.Script(code=code, path="<editor>", project=project)
        found = script.goto(line=line, column=column, follow_imports=True)
        return [_location(n, os.fspath(script.path), temp_dir) for n in found]

    got = _expect_ok(br.get_definitions(code, line, column), "definitions")
    # jedi lists the places it reaches through a set, in no fixed order.
    assert got and sorted(map(str, got)) == sorted(str(loc) for loc in floor() if loc), got
    return _pair(cfg, lambda: br.get_definitions(code, line, column), floor)


def _references_case(cfg):
    code = user_module(cfg.module_lines, "last = m_step_0([1.0])")
    return code, cfg.module_lines, len("last = ")


@workload("references of a function used across a {module_lines}-line module", 1.05)
def references(cfg):
    import jedi

    _, br = _ready_bridge("get_references")
    code, line, column = _references_case(cfg)
    project, temp_dir = br._jedi_project, br._temp_dir.name

    def floor():
        script = jedi.Script(code=code, path="<editor>", project=project)
        found = script.get_references(line=line, column=column, include_builtins=False)
        return [_location(n, os.fspath(script.path), temp_dir) for n in found]

    got = _expect_ok(br.get_references(code, line, column), "references")
    assert len(got) >= 3 and len(got) == len(floor()), (got, floor())
    return _pair(cfg, lambda: br.get_references(code, line, column), floor)


@workload("rename of a function used across a {module_lines}-line module", 1.05)
def rename(cfg):
    import jedi

    _, br = _ready_bridge("get_rename_edits")
    code, line, column = _references_case(cfg)
    project, temp_dir = br._jedi_project, br._temp_dir.name

    def floor():
        script = jedi.Script(code=code, path="<editor>", project=project)
        found = script.get_references(line=line, column=column, include_builtins=False)
        edits = []
        for n in found:
            loc = _location(n, os.fspath(script.path), temp_dir)
            edits.append({"module": loc["module"], "range": loc["range"], "text": "renamed"})
        return edits

    got = _expect_ok(br.get_rename_edits(code, line, column, "renamed"), "edits")
    assert len(got) == len(floor()) >= 3, got
    return _pair(cfg, lambda: br.get_rename_edits(code, line, column, "renamed"), floor)


@workload("outline of a {module_lines}-line module", 1.05)
def document_symbols(cfg):
    import jedi

    _, br = _ready_bridge("get_document_symbols")
    code = user_module(cfg.module_lines, CALL)
    project = br._jedi_project

    def floor():
        script = jedi.Script(code=code, path="<editor>", project=project)
        out = []
        for n in script.get_names(all_scopes=True, definitions=True, references=False):
            if n.type not in ("class", "function", "statement"):
                continue
            out.append({"name": n.name, "detail": n.description, "kind": n.type,
                        "range": (n.get_definition_start_position(),
                                  n.get_definition_end_position()),
                        "selectionRange": (n.line, n.column), "children": []})
        return out

    got = _expect_ok(br.get_document_symbols(code), "symbols")
    assert len(got) >= 2, got
    return _pair(cfg, lambda: br.get_document_symbols(code), floor)


def _pyflakes_messages(code):
    from pyflakes import api as pyflakes_api, reporter as pyflakes_reporter

    reporter = pyflakes_reporter.Reporter(io.StringIO(), io.StringIO())
    messages = []
    reporter.flake = messages.append
    pyflakes_api.check(code, "<editor>", reporter)
    return messages


def _markers_module(cfg):
    head = ["import os", "import sys", "import json", "import itertools", "import collections",
            "from typing import List, Dict", "", ""]
    body = user_module(cfg.diag_lines - len(head) + 2, "frame = np.zeros(3)").split("\n")[2:]
    return "\n".join(head + body)


@workload("markers of a {diag_lines}-line module with unused imports", 1.05)
def markers(cfg):
    _, br = _ready_bridge("get_markers")
    code = _markers_module(cfg)
    resolvable = _resolvable(br._temp_dir.name)

    def floor():
        ast.parse(code, filename="<editor>")
        messages = [str(m) for m in _pyflakes_messages(code)]
        unresolved = []
        for node in ast.walk(ast.parse(code)):
            if isinstance(node, ast.Import):
                unresolved += [a.name for a in node.names if not resolvable(a.name)]
            elif isinstance(node, ast.ImportFrom) and node.module:
                if not resolvable(node.module):
                    unresolved.append(node.module)
        return messages, unresolved

    got = _expect_ok(br.get_markers(code), "markers")
    assert len(got) == len(floor()[0]) >= 4, got
    return _pair(cfg, lambda: br.get_markers(code), floor)


@workload("quick fixes for an undefined alias in a {diag_lines}-line module", 1.05)
def code_actions(cfg):
    _, br = _ready_bridge("get_code_actions")
    code = _markers_module(cfg)
    lines = code.split("\n")
    line, column = len(lines), len("frame = ")
    temp_dir = br._temp_dir.name

    def floor():
        tree = ast.parse(code, filename="<editor>")
        found = [m for m in _pyflakes_messages(code) if m.lineno == line]
        # The synced modules are read for the names they export, as the bridge reads them.
        for entry in sorted(os.listdir(temp_dir)):
            if entry.endswith(".py"):
                with open(os.path.join(temp_dir, entry), encoding="utf-8") as f:
                    ast.parse(f.read())
        quoted = re.search("'([^']+)'", str(found[0])).group(1)
        return tree, quoted

    got = _expect_ok(br.get_code_actions(code, line, column), "actions")
    assert [a["title"] for a in got] == ["Import numpy as np"], got
    assert floor()[1] == "np"
    return _pair(cfg, lambda: br.get_code_actions(code, line, column), floor)
