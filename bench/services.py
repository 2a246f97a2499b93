"""Workloads of the editor's language services, each beside the same jedi or pyflakes calls
made from plain Python over the same text; start-up is timed in fresh interpreters.
"""

import ast
import importlib.util
import io
import json
import os
import subprocess
import sys
import threading

from .harness import Unavailable, median_alternating, registry

WORKLOADS, workload = registry("services")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KINDS = {"function": 1, "class": 5, "module": 7, "property": 8, "instance": 4, "param": 4,
         "statement": 4, "keyword": 13, "path": 17}

_bridge = None


def _sensewell(*methods):
    try:
        from quorvel_master.python_server import sensewell
    except ImportError as exc:
        raise Unavailable(f"sensewell does not import ({exc})") from None
    missing = [m for m in ("__init__",) + methods if m not in vars(sensewell.LSPBridge)]
    if missing:
        raise Unavailable("LSPBridge." + ", LSPBridge.".join(missing))
    return sensewell


def _ready_bridge(*methods):
    """The one bridge the workloads share, once its warm-up thread has finished."""
    global _bridge
    sw = _sensewell(*methods)
    if _bridge is None:
        _bridge = sw.LSPBridge()
        import atexit

        atexit.register(_bridge.cleanup)
    for t in threading.enumerate():
        if t.name == "LSP-quorvel-preload":
            t.join(120)
    return sw, _bridge


def _expect_ok(result, key):
    if result.get("error") is not None:
        raise AssertionError(f"the request failed: {result['error']}")
    return result[key]


# A module of ordinary user code, `lines` long, whose last line is `tail`.
def user_module(lines, tail, name="m"):
    out = ["import os", "import sys", "", ""]
    i = 0
    while True:
        chunk = [
            f"def {name}_step_{i}(values, scale=1.0):",
            f'    """Scale the values of step {i}."""',
            "    total = 0.0",
            "    for v in values:",
            "        total += v * scale",
            f"    return os.path.join(str(total), '{i}')",
            "",
            "",
            f"class {name.capitalize()}Thing{i}:",
            f"    limit = {i}",
            "",
            "    def run(self, data):",
            f"        return [{name}_step_{i}(data), sys.argv]",
            "",
            "",
        ]
        if len(out) + len(chunk) > lines - 1:
            break
        out += chunk
        i += 1
    out += ["# end of the generated steps"] * (lines - 1 - len(out))
    return "\n".join(out[: lines - 1] + [tail])


def _complete_floor(project, code, line, column, path="<editor>"):
    import jedi

    def floor():
        items = []
        script = jedi.Script(code=code, path=path, project=project)
        for c in script.complete(line=line, column=column):
            name = c.name
            if name.startswith("_"):
                continue
            item = {"label": name, "kind": KINDS.get(c.type, 4), "insertText": name}
            if c.type == "function":
                sigs = c.get_signatures()
                if sigs:
                    full = sigs[0].to_string()
                    item["detail"] = full[full.find("("):]
            doc = c.docstring()
            if doc:
                item["documentation"] = doc
            items.append(item)
        return items

    return floor


def _same_labels(ours, floor):
    got, want = [i["label"] for i in ours], [i["label"] for i in floor]
    assert got == want, f"completions differ: {got[:5]} against {want[:5]}"


@workload("completions after os.path. in a {module_lines}-line module", 1.05)
def completions(cfg):
    _, br = _ready_bridge("get_completions")
    code = user_module(cfg.module_lines, "result = os.path.")
    line, column = cfg.module_lines, len("result = os.path.")
    floor = _complete_floor(br._jedi_project, code, line, column)
    _same_labels(_expect_ok(br.get_completions(code, line, column), "completions"), floor())
    return median_alternating(
        [lambda: br.get_completions(code, line, column), floor], cfg.lsp_runs, cfg.lsp_budget_s
    )


@workload("completions importing {user_modules} synced, unchanged modules", 1.1)
def completions_synced(cfg):
    _, br = _ready_bridge("get_completions", "sync_modules")
    n = cfg.user_modules
    modules = {
        f"umod{i}": user_module(cfg.user_module_lines, f"helper_{i} = umod{i}_step_0", f"umod{i}")
        for i in range(n)
    }
    head = [f"from umod{i} import helper_{i}, Umod{i}Thing0" for i in range(n)]
    code = "\n".join(head + ["", "value = helper_"])
    line, column = len(head) + 2, len("value = helper_")
    kw = dict(path="benchmain")
    first = _expect_ok(br.get_completions(code, line, column, modules=modules, **kw), "completions")
    assert len(first) == n, f"expected {n} completions, got {[i['label'] for i in first]}"
    return median_alternating(
        [
            lambda: br.get_completions(code, line, column, modules=modules, **kw),
            lambda: br.get_completions(code, line, column, **kw),
        ],
        cfg.lsp_runs,
        cfg.lsp_budget_s,
    )


def _call_code(cfg):
    tail = "joined = os.path.join(os.sep, 'data')"
    return user_module(cfg.module_lines, tail), cfg.module_lines, tail


@workload("hover on a call", 1.05)
def hover(cfg):
    import jedi

    _, br = _ready_bridge("get_hover", "set_hover_mode")
    br.set_hover_mode("compact")
    code, line, tail = _call_code(cfg)
    column = tail.index("join(") + 1
    project = br._jedi_project

    def floor():
        script = jedi.Script(code=code, path="<editor>", project=project)
        parts = []
        for d in script.infer(line=line, column=column):
            if d.type == "function":
                sigs = d.get_signatures()
                text = sigs[0].to_string() if sigs else ""
                parts.append("```python\n(function) " + d.name + text[text.find("("):] + "\n```")
            else:
                parts.append("```python\n(" + d.type + ") " + d.name + "\n```")
        return "\n\n---\n\n".join(parts)

    got = _expect_ok(br.get_hover(code, line, column), "contents")
    assert got is not None and "join" in got["value"], f"hover found nothing: {got}"
    assert floor(), "the plain jedi calls found nothing to hover"
    return median_alternating([lambda: br.get_hover(code, line, column), floor], cfg.lsp_runs, cfg.lsp_budget_s)


@workload("signature help inside a call", 1.05)
def signature_help(cfg):
    import jedi

    _, br = _ready_bridge("get_signature_help")
    code, line, tail = _call_code(cfg)
    column = tail.index("'data'")
    project = br._jedi_project

    def floor():
        script = jedi.Script(code=code, path="<editor>", project=project)
        sigs = script.get_signatures(line=line, column=column)
        if not sigs:
            return None
        sig = sigs[0]
        params = [{"label": p.name, "documentation": p.description} for p in sig.params]
        full = sig.to_string()
        doc = sig.docstring(raw=True) or ""
        return {"label": (sig.name or "function") + full[full.find("("):], "documentation": doc,
                "parameters": params, "active": sig.index}

    got = _expect_ok(br.get_signature_help(code, line, column), "signatures")
    assert got and floor() is not None, "no signature inside the call"
    return median_alternating(
        [lambda: br.get_signature_help(code, line, column), floor], cfg.lsp_runs, cfg.lsp_budget_s
    )


def diagnostics_module(lines):
    head = ["import os", "import sys", "import json", "import itertools", "import collections",
            "from typing import List, Dict", "", ""]
    body = user_module(lines - len(head) + 2, "print(List)").split("\n")[2:]
    return "\n".join(head + body)


def _resolvable(temp_dir):
    """The floor's import check: the bridge's lookup written as plain Python."""
    def resolvable(name):
        if name in sys.modules or os.path.exists(os.path.join(temp_dir, name + ".py")):
            return True
        try:
            return importlib.util.find_spec(name) is not None
        except (ImportError, ValueError, AttributeError):
            return False

    return resolvable


@workload("diagnostics of a {diag_lines}-line module with unused imports", 1.0)
def diagnostics(cfg):
    from pyflakes import api as pyflakes_api, reporter as pyflakes_reporter

    _, br = _ready_bridge("get_diagnostics")
    code = diagnostics_module(cfg.diag_lines)
    resolvable = _resolvable(br._temp_dir.name)

    def floor():
        ast.parse(code, filename="<editor>")
        warnings, errors = io.StringIO(), io.StringIO()
        pyflakes_api.check(code, "<editor>", pyflakes_reporter.Reporter(warnings, errors))
        unresolved = []
        for node in ast.walk(ast.parse(code)):
            if isinstance(node, ast.Import):
                unresolved += [a.name for a in node.names if not resolvable(a.name)]
            elif isinstance(node, ast.ImportFrom) and node.module:
                if not resolvable(node.module):
                    unresolved.append(node.module)
        return warnings.getvalue(), unresolved

    found = _expect_ok(br.get_diagnostics(code), "diagnostics")
    unused = [d for d in found if "imported but unused" in d["message"]]
    assert len(unused) == floor()[0].count("imported but unused") >= 3, found
    return median_alternating([lambda: br.get_diagnostics(code), floor], cfg.lsp_runs, cfg.lsp_budget_s)


STARTUP = r"""
import json, logging, threading, time
t0 = time.perf_counter_ns()
from quorvel_master.python_server import sensewell
t1 = time.perf_counter_ns()
done = threading.Event()
line = []
class Watch(logging.Handler):
    def emit(self, record):
        text = record.getMessage()
        if text.startswith(("[LSP] Preloaded", "[LSP] Failed to preload")):
            line.append(text)
            done.set()
sensewell.logger.addHandler(Watch(logging.INFO))
sensewell.logger.setLevel(logging.INFO)
sensewell.logger.propagate = False
t2 = time.perf_counter_ns()
bridge = sensewell.LSPBridge()
t3 = time.perf_counter_ns()
done.wait(30)
t4 = time.perf_counter_ns()
bridge.cleanup()
print(json.dumps({"import": t1 - t0, "construct": t3 - t2, "warmup": t4 - t2, "line": line}))
"""

_startup_cache = {}


def _startup(cfg):
    """Median start-up figures over fresh interpreters, measured once for both rows."""
    if cfg.size not in _startup_cache:
        _sensewell("preload_quorvel_module", "preload_quorvel_module_async", "cleanup")
        runs = []
        env = dict(os.environ, PYTHONPATH=ROOT)
        for _ in range(cfg.startup_runs):
            out = subprocess.run([sys.executable, "-c", STARTUP], capture_output=True, text=True,
                                 env=env, cwd=ROOT, timeout=180, check=True)
            runs.append(json.loads(out.stdout.strip().splitlines()[-1]))
        for r in runs:
            if not r["line"]:
                raise AssertionError("the warm-up never logged its info line")
            if not r["line"][0].startswith("[LSP] Preloaded"):
                raise AssertionError(r["line"][0])
        med = {k: sorted(r[k] for r in runs)[len(runs) // 2] for k in ("import", "construct",
                                                                       "warmup")}
        _startup_cache[cfg.size] = med
    return _startup_cache[cfg.size]


@workload("LSPBridge construction (fresh interpreter)", None)
def construction(cfg):
    med = _startup(cfg)
    return med["construct"], None, f"module import took {med['import'] / 1e6:.0f} ms before it"


@workload("LSPBridge warm-up until its info line", None)
def warmup(cfg):
    return _startup(cfg)["warmup"], None, "from the start of construction"
