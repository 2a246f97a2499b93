"""Markers: get_diagnostics' findings in its order, narrowed to the name each is about,
with their kind, source and the faded look of unused names."""

import pytest

from .editing import REPORT, name_range, span

DIAGNOSTIC_KEYS = ["startLineNumber", "startColumn", "endLineNumber", "endColumn", "message",
                   "severity"]


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


def markers_of(bridge, code, module_name=None):
    got = bridge.get_markers(code, module_name)
    assert list(got) == ["markers", "error"] and got["error"] is None
    for marker in got["markers"]:
        assert list(marker) == DIAGNOSTIC_KEYS + ["code", "source", "tags"]
    return got["markers"]


def where(marker):
    return {k: marker[k] for k in DIAGNOSTIC_KEYS[:4]}


DRAFT = REPORT.replace("import threading", "import os\nimport threading").replace(
    "import sales_stats", "import sales_stats\nfrom sales_charts import bar_chart") + (
    "\nbar_chart(SALE)\n")


@pytest.mark.parametrize("code", [DRAFT, REPORT, "x = (\n", "def f(:\n", "", "import qv_none\n"])
def test_same_findings_in_the_same_order(bridge, code):
    diagnostics = bridge.get_diagnostics(code, "sales_report")["diagnostics"]
    markers = markers_of(bridge, code, "sales_report")
    assert [(m["message"], m["severity"]) for m in markers] == [
        (d["message"], d["severity"]) for d in diagnostics]


def test_ranges_on_the_names(bridge):
    code = ("import os, json\nimport numpy as np\nfrom os import path as p, sep\n"
            "import qv_missing.sub\n\ndef f():\n    unused = 1\n    return totl\n")
    got = {m["message"]: m for m in markers_of(bridge, code)}
    expect = {
        "'os' imported but unused": (name_range(code, "os"), "UnusedImport", "pyflakes", [1]),
        "'json' imported but unused": (name_range(code, "json"), "UnusedImport", "pyflakes", [1]),
        "'numpy as np' imported but unused": (name_range(code, "numpy as np"), "UnusedImport",
                                              "pyflakes", [1]),
        "'os.path as p' imported but unused": (name_range(code, "path as p"), "UnusedImport",
                                               "pyflakes", [1]),
        "'os.sep' imported but unused": (name_range(code, "sep"), "UnusedImport", "pyflakes", [1]),
        "local variable 'unused' is assigned to but never used": (
            name_range(code, "unused"), "UnusedVariable", "pyflakes", [1]),
        "undefined name 'totl'": (name_range(code, "totl"), "UndefinedName", "pyflakes", []),
        "'qv_missing.sub' imported but unused": (name_range(code, "qv_missing.sub"),
                                                 "UnusedImport", "pyflakes", [1]),
        "import 'qv_missing.sub' could not be resolved": (
            name_range(code, "qv_missing.sub"), "UnresolvedImport", "imports", []),
    }
    assert sorted(got) == sorted(expect)
    for message, (rng, kind, source, tags) in expect.items():
        assert (where(got[message]), got[message]["code"], got[message]["source"],
                got[message]["tags"]) == (rng, kind, source, tags), message


def test_syntax_error_keeps_its_place(bridge):
    (marker,) = markers_of(bridge, "x = 1\nif x\n")
    (diagnostic,) = bridge.get_diagnostics("x = 1\nif x\n")["diagnostics"]
    assert {k: marker[k] for k in DIAGNOSTIC_KEYS} == diagnostic
    assert (marker["code"], marker["source"], marker["tags"]) == ("SyntaxError", "syntax", [])


def test_relative_and_multi_line_imports(bridge):
    code = "from .qv_sub import thing\nfrom os import (\n    sep,\n)\nthing\n"
    got = markers_of(bridge, code)
    assert [where(m) for m in got] == [name_range(code, "qv_sub"), span(2, 0, len("os.sep"))]


def test_conventions(bridge, lsp_log, monkeypatch):
    with pytest.raises(TypeError, match="Argument 'code' has incorrect type"):
        bridge.get_markers(None)
    assert lsp_log.messages() == []

    def broken(code, module_name):
        raise RuntimeError("import check broke")

    bridge._check_unresolved_imports = broken
    assert bridge.get_markers("import os\n") == {"markers": [], "error": "import check broke"}
    assert lsp_log.messages() == ["[LSP] Request: get_markers, code_length=10",
                                  "[LSP] Error in get_markers: import check broke"]
