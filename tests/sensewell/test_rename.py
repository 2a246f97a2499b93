"""Rename: edits over the edited text and the synced modules that leave working code, and
the names that cannot be renamed."""

import pytest

from .editing import MODULES, REPORT, STATS, apply_edits, position


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


def edits_by_module(result):
    assert result["error"] is None, result["error"]
    by_module = {}
    for edit in result["edits"]:
        assert list(edit) == ["module", "range", "text"]
        by_module.setdefault(edit["module"], []).append(edit)
    return by_module


def test_across_the_demo_modules(bridge):
    line, column = position(REPORT, "sales_stats.growth(", len("sales_stats."))
    got = edits_by_module(bridge.get_rename_edits(REPORT, line, column, "pct_change",
                                                  "sales_report", MODULES))
    assert sorted(got) == ["sales_report", "sales_stats"]
    report = apply_edits(REPORT, got["sales_report"])
    stats = apply_edits(STATS, got["sales_stats"])
    assert report == REPORT.replace("sales_stats.growth(", "sales_stats.pct_change(")
    assert "def pct_change(before" in stats and "def growth" not in stats
    assert bridge.get_diagnostics(stats)["diagnostics"] == []


def test_local_names_and_aliases(bridge):
    code = "import numpy as np\n\ndef f(values):\n    return np.mean(values)\n\nvalues = f([1])\n"
    got = edits_by_module(bridge.get_rename_edits(code, 4, 20, "xs"))
    assert apply_edits(code, got[None]) == code.replace(
        "f(values):\n    return np.mean(values)", "f(xs):\n    return np.mean(xs)")
    got = edits_by_module(bridge.get_rename_edits(code, 1, 17, "numpy_"))
    assert apply_edits(code, got[None]) == code.replace("np", "numpy_")


@pytest.mark.parametrize("new_name, error", [
    ("2nd", "'2nd' is not a valid Python identifier"),
    ("a-b", "'a-b' is not a valid Python identifier"),
    ("class", "'class' is a Python keyword"),
])
def test_refused_new_names(bridge, lsp_log, new_name, error):
    assert bridge.get_rename_edits("x = 1\n", 1, 0, new_name) == {"edits": [], "error": error}
    assert lsp_log.messages()[-1] == "[LSP] Error in get_rename_edits: " + error


@pytest.mark.parametrize("code, line, column, error", [
    ("import json\njson.dumps(1)\n", 2, 7, "Cannot rename 'dumps': it is defined outside the "
                                           "user's modules"),
    ("import sales_stats\nsales_stats.QUARTERS\n", 1, 9,
     "Cannot rename 'sales_stats': it names a module"),
])
def test_names_that_cannot_be_renamed(bridge, code, line, column, error):
    got = bridge.get_rename_edits(code, line, column, "other", "draft", MODULES)
    assert got == {"edits": [], "error": error}


def test_conventions(bridge):
    assert bridge.get_rename_edits("x = 1\n", 2, 0, "y") == {"edits": [], "error": None}
    assert bridge.get_rename_edits("x", 0, 0, "y")["error"] == (
        "line must be a positive integer (1-based)")
    with pytest.raises(TypeError, match="Argument 'new_name' has incorrect type"):
        bridge.get_rename_edits("x = 1", 1, 0, None)
    got = bridge.get_rename_edits(code="x = 1\nx", line=2, column=0, new_name="y", path="m")
    assert got == {"edits": [{"module": "m", "range": got["edits"][0]["range"], "text": "y"},
                             {"module": "m", "range": got["edits"][1]["range"], "text": "y"}],
                   "error": None}
