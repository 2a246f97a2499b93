"""The typed stubs beside both extension modules against the built modules: mypy's stubtest for
what exists and of which kind, then what stubtest cannot see (signatures, instance attributes)."""

import ast
import os
import re
import subprocess
import sys
import threading

import pytest

import support
from quorvel_master.python_server import sensewell
from quorvel_master.python_server.quorvel import proxwire

PACKAGE = os.path.join(support.ROOT, "quorvel_master")
STUBS = {
    proxwire: os.path.join(PACKAGE, "python_server", "quorvel", "proxwire.pyi"),
    sensewell: os.path.join(PACKAGE, "python_server", "sensewell.pyi"),
}


def stub_tree(module):
    with open(STUBS[module], encoding="utf-8") as f:
        return ast.parse(f.read())


def stub_functions(body):
    return {n.name: n for n in body if isinstance(n, ast.FunctionDef)}


def stub_classes(module):
    return {n.name: n for n in stub_tree(module).body if isinstance(n, ast.ClassDef)}


@pytest.mark.no_asan  # mypy's compiled modules under the sanitizer preload add nothing here
@pytest.mark.timeout(600)
def test_stubtest_is_clean():
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--concise",
         proxwire.__name__, sensewell.__name__],
        cwd=support.ROOT, env=dict(os.environ, PYTHONPATH=support.ROOT),
        capture_output=True, text=True, timeout=540)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_py_typed_marks_the_package():
    assert os.path.isfile(os.path.join(PACKAGE, "py.typed"))


# "Messaging.send_request_sync(self, dict req: Dict[str, Any], double timeout: float = 30.0)"
DOC_SIGNATURE = re.compile(r"^(?:\w+\.)?(\w+)\((.*)\)(?:\s*->\s*(.+))?$")
DOC_PARAM = re.compile(r"^(?:\w+\s+)?(\*{0,2}\w+)(?:\s*:\s*([^=]+?))?(?:\s*=\s*(.+))?$")


def split_top_level(text):
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text.strip():
        parts.append(text[start:].strip())
    return parts


def documented(func):
    """(name, annotation or None, default or None) per parameter, and the return annotation,
    from the signature line that opens the docstring."""
    match = DOC_SIGNATURE.match((func.__doc__ or "").split("\n", 1)[0])
    assert match, f"{func!r} has no signature line"
    params = [DOC_PARAM.match(p).groups() for p in split_top_level(match.group(2))]
    return params, match.group(3)


def declared(node):
    """The same, from a stub's def; the positional-only marker is the stub's own detail."""
    a = node.args
    text = lambda n: None if n is None else ast.unparse(n)
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    params = [(p.arg, text(p.annotation), text(d)) for p, d in zip(positional, defaults)]
    if a.vararg:
        params.append(("*" + a.vararg.arg, text(a.vararg.annotation), None))
    params += [(p.arg, text(p.annotation), text(d)) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append(("**" + a.kwarg.arg, text(a.kwarg.annotation), None))
    return params, text(node.returns)


def runtime_functions(module):
    """Every function and method the module defines: (class name or None, name, object)."""
    found = []
    for name, value in vars(module).items():
        if callable(value) and getattr(value, "__module__", None) == module.__name__:
            if isinstance(value, type):
                for attr, member in vars(value).items():
                    member = getattr(member, "__func__", member)
                    if callable(member) and attr not in ("__doc__", "__dict__", "__weakref__"):
                        found.append((name, attr, member))
            elif not isinstance(value, (proxwire.OfficeJsObject, type(proxwire.messaging))):
                found.append((None, name, value))
    return found


@pytest.mark.parametrize("module", [proxwire, sensewell], ids=lambda m: m.__name__.rsplit(".")[-1])
def test_every_signature_matches_its_docstring(module):
    """Names, order, defaults, and every annotation the docstring gives, for private members
    too: stubtest sees no signature of a compiled function and skips the private ones."""
    classes = stub_classes(module)
    top = stub_functions(stub_tree(module).body)
    problems = []
    for cls, name, func in runtime_functions(module):
        where = top if cls is None else stub_functions(classes[cls].body) if cls in classes else {}
        label = name if cls is None else f"{cls}.{name}"
        if name not in where:
            problems.append(f"{label}: not in the stub")
            continue
        doc_params, doc_returns = documented(func)
        stub_params, stub_returns = declared(where[name])
        if [p[0] for p in doc_params] != [p[0] for p in stub_params]:
            problems.append(f"{label}: parameters {doc_params} but the stub has {stub_params}")
            continue
        for (pname, doc_ann, doc_default), (_, stub_ann, stub_default) in zip(doc_params,
                                                                           stub_params):
            if doc_ann is not None and doc_ann != stub_ann:
                problems.append(f"{label}({pname}): {doc_ann} but the stub has {stub_ann}")
            if doc_default != stub_default:
                problems.append(f"{label}({pname}): = {doc_default} but the stub has "
                                f"= {stub_default}")
        if doc_returns is not None and doc_returns != stub_returns:
            problems.append(f"{label}: returns {doc_returns} but the stub has {stub_returns}")
    assert not problems, "\n".join(problems)


def instance_attributes(node):
    return {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}


def test_instance_attributes_are_declared():
    """Each instance's own attributes, which stubtest cannot see on the class, are the ones
    its stub class declares."""
    made = {
        "Messaging": proxwire.Messaging(),
        "OfficeJsObject": proxwire.OfficeJsObject(7, "Range"),
        "OfficeJsArray": proxwire.OfficeJsArray(8),
        "OfficeJsDict": proxwire.OfficeJsDict(9),
        "OfficeJsTransaction": proxwire.OfficeJsTransaction(),
    }
    # Nothing is sent when these proxies go: no send handler is installed here.
    assert not proxwire.messaging._send_handler
    classes = stub_classes(proxwire)
    for name, obj in made.items():
        assert set(vars(obj)) == instance_attributes(classes[name]), name
    bridge = sensewell.LSPBridge()
    try:
        assert set(vars(bridge)) == instance_attributes(stub_classes(sensewell)["LSPBridge"])
    finally:
        for thread in threading.enumerate():
            if thread.name == "LSP-quorvel-preload":
                thread.join(60)
        bridge.cleanup()
