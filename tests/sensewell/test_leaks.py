"""Reference-leak hunting for the language services: every request method, run until jedi's
and the interpreter's caches settle, must then leave the allocated blocks where they were."""

import functools
import logging

import jedi
import pytest

import support

pytestmark = pytest.mark.no_asan  # the sanitizer run counts no blocks (PYTHONMALLOC=malloc)

RUN = 200  # rounds per measured run
RUNS = 10  # at most this many runs after the warm-up

CODE = "import os\n\ndef area(width, height=2):\n    return width * height\n\narea(3, "
MODULES = {"helpers": "def scale(x):\n    return 2 * x\n"}


@pytest.fixture(autouse=True)
def settled(monkeypatch):
    """jedi keeps each signature lookup for a few seconds (a cache bounded by time, not by
    rounds); expire them at once. Log records go to a handler that keeps none, where the test
    runner's own capture would keep them all."""
    monkeypatch.setattr(jedi.settings, "call_signatures_validity", 0.0)
    logger = logging.getLogger("quorvel_master.python_server.sensewell")
    monkeypatch.setattr(logger, "propagate", False)
    monkeypatch.setattr(logger, "handlers", [logging.NullHandler()])
    level = logger.level
    logger.setLevel(logging.DEBUG)
    yield
    logger.setLevel(level)


assert_no_leak = functools.partial(support.assert_no_leak, run=RUN, runs=RUNS, warmup=2 * RUN)


class FakeName:
    """What jedi hands back for a completion, a definition or a signature."""

    def __init__(self, name, type_="function", params=()):
        self.name = name
        self.type = type_
        self.full_name = "helpers." + name
        self.description = f"def {name}"
        self.params = [FakeName(p, "param") for p in params]
        self.index = 1 if params else None

    def docstring(self):
        return f"{self.name}(...)\n\nDoes {self.name}."

    def to_string(self):
        return f"{self.name}({', '.join(p.name for p in self.params)}) -> int"

    def get_signatures(self):
        return [FakeName(self.name, params=("a", "b"))]


class FakeScript:
    def __init__(self, code, path, project):
        self.code = code

    def complete(self, line, column):
        return [FakeName("scale"), FakeName("_private", "instance"), FakeName("mod", "module"),
                FakeName("Klass", "class"), FakeName("odd", "no-such-kind")]

    def infer(self, line, column):
        return [FakeName("scale"), FakeName("value", "statement")] if column else []

    def help(self, line, column):
        return [FakeName("for", "keyword")]

    def get_signatures(self, line, column):
        return [FakeName("scale", params=("x", "factor"))]


class FakeJedi:
    Script = FakeScript
    Project = jedi.Project


@pytest.fixture
def fake_jedi(sensewell, monkeypatch):
    """jedi's own caches take many hundreds of rounds to settle; our side of each request
    runs against a stand-in that returns fresh objects of jedi's shapes."""
    monkeypatch.setattr(sensewell, "jedi", FakeJedi)


@pytest.mark.parametrize(
    "request_",
    [
        lambda b: b.get_completions("x = 1\nx.re", 2, 4),
        lambda b: b.get_completions("from helpers import _s", 1, 22, "main", MODULES, {}),
        lambda b: b.get_hover(CODE, 3, 6),
        lambda b: b.get_hover("for x in y: pass", 1, 0, "main", MODULES),
        lambda b: b.get_signature_help(CODE, 6, 8),
    ],
    ids=["completions", "completions-synced", "hover", "hover-help", "signature-help"],
)
def test_jedi_request_methods(quiet_bridge, fake_jedi, request_):
    result = request_(quiet_bridge)
    assert result["error"] is None and any(v for k, v in result.items() if k != "error"), result
    assert_no_leak(lambda: request_(quiet_bridge))


def test_detailed_hover(quiet_bridge, fake_jedi):
    quiet_bridge.set_hover_mode("detailed")
    assert_no_leak(lambda: quiet_bridge.get_hover(CODE, 3, 6))


@pytest.mark.parametrize(
    "code, module_name",
    [("import os\nimport qv_missing_mod\nx = y\n", "main"), ("def f(:\n", None)],
    ids=["findings", "syntax-error"],
)
def test_diagnostics(quiet_bridge, code, module_name):
    assert quiet_bridge.get_diagnostics(code, module_name)["diagnostics"]
    assert_no_leak(lambda: quiet_bridge.get_diagnostics(code, module_name))


def test_failed_requests(quiet_bridge, fake_jedi):
    def op():
        assert quiet_bridge.get_completions("x", 0, 0)["error"]
        assert quiet_bridge.get_hover("x", 1, -5)["error"]
        assert quiet_bridge.get_signature_help("x", 1, -1)["error"]
        assert quiet_bridge.get_diagnostics("x\x00")["error"]

    assert_no_leak(op)


def test_module_sync(quiet_bridge):
    def op():
        quiet_bridge.sync_modules(MODULES, {"scratch": "y = 2\n"})
        quiet_bridge.delete_module("scratch")

    assert_no_leak(op)
