"""The outline of the edited text: classes, functions, methods and the variables of the
module and its classes, nested, with Monaco's symbol kinds and ranges."""

import pytest

from .editing import STATS, name_range, position

CLASS, METHOD, FIELD, FUNCTION, VARIABLE, CONSTANT = 4, 5, 7, 11, 12, 13

CODE = '''"""Shapes."""
import math

LIMIT = 3
scale = 1.5
from os import path
squares = [n * n for n in range(3)]


class Circle:
    sides = 0

    def __init__(self, r):
        self.r = r
        area = math.pi * r * r

    def grow(self):
        def step():
            return 1
        return step()


def unit():
    inner = Circle(1)
    return inner
'''


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


def outline(symbols):
    return [(s["name"], s["kind"], outline(s["children"])) for s in symbols]


def symbols_of(bridge, code, path=None):
    got = bridge.get_document_symbols(code, path)
    assert list(got) == ["symbols", "error"] and got["error"] is None
    return got["symbols"]


def contains(outer, inner):
    start = (outer["startLineNumber"], outer["startColumn"])
    end = (outer["endLineNumber"], outer["endColumn"])
    return start <= (inner["startLineNumber"], inner["startColumn"]) and (
        inner["endLineNumber"], inner["endColumn"]) <= end


def test_nesting_and_kinds(bridge):
    assert outline(symbols_of(bridge, CODE)) == [
        ("LIMIT", CONSTANT, []),
        ("scale", VARIABLE, []),
        ("squares", VARIABLE, []),
        ("Circle", CLASS, [("sides", FIELD, []), ("__init__", METHOD, []),
                           ("grow", METHOD, [("step", FUNCTION, [])])]),
        ("unit", FUNCTION, []),
    ]


def test_ranges_hold_their_names_and_children(bridge):
    symbols = symbols_of(bridge, CODE)
    circle = symbols[3]
    assert circle["selectionRange"] == name_range(CODE, "Circle")
    start, _ = position(CODE, "class Circle")
    end, _ = position(CODE, "return step()")
    assert circle["range"] == {"startLineNumber": start, "startColumn": 1,
                               "endLineNumber": end, "endColumn": len("        return step()") + 1}
    assert list(circle) == ["name", "detail", "kind", "range", "selectionRange", "children"]
    assert circle["detail"] == "class Circle"

    def check(items):
        for item in items:
            assert contains(item["range"], item["selectionRange"])
            for child in item["children"]:
                assert contains(item["range"], child["range"])
            check(item["children"])

    check(symbols)


def test_demo_module(bridge):
    got = symbols_of(bridge, STATS, "sales_stats")
    assert [(s["name"], s["kind"]) for s in got] == [
        ("QUARTERS", CONSTANT), ("quarter_totals", FUNCTION), ("growth", FUNCTION),
        ("best_region", FUNCTION),
    ]
    assert got[2]["selectionRange"] == name_range(STATS, "def growth", 4)


def test_broken_text(bridge):
    code = "class Draft:\n    def ok(self):\n        return 1\n    def bad(self:\n\nTOTAL = (\n"
    names = [s["name"] for s in symbols_of(bridge, code)]
    assert names[0] == "Draft"
    assert symbols_of(bridge, "") == []


def test_conventions(bridge, lsp_log, monkeypatch):
    with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
        bridge.get_document_symbols("x = 1", 5)
    assert lsp_log.messages() == []
    from quorvel_master.python_server import sensewell

    class Broken:
        def Script(self, **kwargs):
            raise RuntimeError("no jedi")

    monkeypatch.setattr(sensewell, "jedi", Broken())
    assert bridge.get_document_symbols("x = 1") == {"symbols": [], "error": "no jedi"}
    assert lsp_log.messages() == [
        "[LSP] Request: get_document_symbols, code_length=5, path=None",
        "[LSP] Error in get_document_symbols: no jedi",
    ]
