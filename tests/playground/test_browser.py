"""The playground in headless Chromium: the editor's suggestions, hover, signature help,
markers, definitions, references, outline, rename and quick fixes as Monaco shows them, the
examples writing the grid, a callback fired by editing a cell, a traceback, values refused by
name, a stop, a reconnect, a reload's objects kept from the old page's late releases, and
sockets refused to other pages and wrong tokens."""

import json
import os
import shutil
import subprocess

import pytest

from playground_support import ROOT, start_server, stop_server

pytestmark = pytest.mark.no_asan  # the sanitizer preload must not reach node or chromium

DRIVER = os.path.join(ROOT, "playground", "e2e", "browser.mjs")
CHROMIUM = "/usr/bin/chromium"


def _missing():
    if not os.path.exists(CHROMIUM):
        return f"{CHROMIUM} is not installed"
    if shutil.which("node") is None:
        return "node is not installed"
    if not os.path.isdir(os.path.join(ROOT, "playground", "node_modules", "playwright-core")):
        return "playground/node_modules is missing: run `npm ci` in playground/"
    return None


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    reason = _missing()
    if reason:
        pytest.skip(reason)
    shots = os.environ.get("PLAYGROUND_SCREENSHOTS") or str(tmp_path_factory.mktemp("shots"))
    server = start_server()
    try:
        done = subprocess.run(["node", DRIVER, server.url, shots], cwd=ROOT, capture_output=True,
                              text=True, timeout=600)
    finally:
        stop_server(server)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def _step(report, name):
    step = report["steps"][name]
    assert step["ok"], step["error"]
    return step


def test_the_page_loads_with_monaco_as_its_global_and_no_errors(report):
    assert _step(report, "load")["monacoGlobal"] == "function"
    assert report["console"] == []


def test_completions_hover_and_signature_help_come_from_the_bridge(report):
    labels = _step(report, "completions")["labels"]
    assert "path" in labels and "pathsep" in labels
    assert not any(label.startswith("_") for label in labels)
    assert "(function) getcwd" in _step(report, "hover")["text"]
    assert _step(report, "signatureHelp")["text"].startswith("join(")


def test_markers_are_drawn_as_the_user_types(report):
    step = _step(report, "markers")
    assert sorted((m["message"], m["severity"], m["line"]) for m in step["markers"]) == [
        ("'os' imported but unused", 4, 1),
        ("undefined name 'undefined_name'", 4, 2),
    ]
    unused = next(m for m in step["markers"] if m["line"] == 1)
    assert unused["end"] - unused["start"] == len("os")
    assert step["drawn"] == {"warning": 2, "error": 0}
    assert [m["severity"] for m in step["syntax"]] == [8]


def test_unused_imports_are_marked_unnecessary_and_drawn_faded(report):
    step = _step(report, "markers")
    assert {m["line"]: m["tags"] for m in step["markers"]} == {1: [1], 2: []}
    assert step["faded"] >= 1


def test_f12_and_ctrl_click_jump_to_the_definition(report):
    step = _step(report, "definition")
    assert step["f12"] == {"module": "helper", "line": 1, "column": 5}
    assert step["ctrlClick"] == {"module": "main", "line": 1, "column": 5}


def test_references_are_found_across_modules(report):
    labels = _step(report, "references")["labels"]
    assert len(labels) >= 3, labels
    assert any("helper.py" in label for label in labels) and any("main.py" in label for label in labels)


def test_the_outline_lists_classes_methods_functions_and_variables(report):
    labels = _step(report, "outline")["labels"]
    assert {"Shape", "area", "main", "LIMIT"} <= {label.strip() for label in labels}, labels


def test_f2_renames_across_the_open_modules(report):
    texts = _step(report, "rename")["texts"]
    assert texts["main"] == "import helper\n\nprint(helper.double(2))\n"
    assert texts["helper"].startswith("def double(x):")


def test_the_light_bulbs_quick_fix_adds_the_import(report):
    step = _step(report, "quickFix")
    assert "Import numpy as np" in step["titles"]
    assert step["text"] == "import numpy as np\nx = np.zeros(3)\n"


def test_the_dataframe_example_fills_and_styles_the_grid(report):
    step = _step(report, "dataframe")
    assert step["state"] == "done", step["output"]
    cells = step["cells"]
    text = {address: cell["text"] for address, cell in cells.items()}
    assert [text[f"A{row}"] for row in range(1, 7)] == ["Region", "North", "South", "East", "West", "Total"]
    assert [text["B2"], text["C5"], text["D2"], text["B6"]] == ["1,200", "905", "11.7%", "4,360"]
    assert cells["A1"]["style"] == "background:#000080;color:#FFFFFF;font-weight:bold"
    assert "font-weight:bold" in cells["B6"]["style"]
    assert "Totals: Q1 4360, Q2 4645" in step["output"]


def test_editing_a_cell_fires_the_python_callback_which_writes_back(report):
    step = _step(report, "callback")
    assert step["state"] == "done"
    assert step["callbackOutput"] == "A3 changed to 5: B3 now shows 10\n"
    assert (step["cells"]["A3"]["text"], step["cells"]["B3"]["text"]) == ("5", "10")


def test_a_raising_script_shows_its_cleaned_traceback(report):
    step = _step(report, "traceback")
    assert step["state"] == "error"
    output = step["output"]
    assert 'File "main.py", line 4, in <module>\n    outer()\n' in output
    assert 'File "main.py", line 2, in outer\n    return 1 / 0\n' in output
    assert "ZeroDivisionError: division by zero" in output
    assert "playground" not in output.replace("[script", "")


def test_a_runaway_script_is_stopped_and_the_kernel_takes_the_next(report):
    step = _step(report, "stop")
    assert step["ms"] < 10000
    assert step["nextRun"] == "done" and "after the stop" in step["output"]


def test_the_page_reconnects_and_runs_again(report):
    step = _step(report, "reconnect")
    assert step["state"] == "done", step["output"]
    assert "ran after reconnect" in step["output"]
    assert step["d1"] == "after reconnect"


def test_values_the_page_cannot_hold_are_refused_by_name(report):
    step = _step(report, "unrepresentable")
    assert step["state"] == "done", step["output"]
    lines = step["output"].splitlines()
    assert "Cannot represent the float inf" in lines[0]
    assert "Cannot represent the int 9007199254740993 exactly" in lines[1]
    assert lines[2] == "F1 holds ''"


def test_a_reloaded_pages_objects_survive_the_old_pages_late_releases(report):
    step = _step(report, "lateReleases")
    assert (step["first"], step["state"]) == ("done", "done"), step["output"]
    assert step["e1"] == "survived"


def test_only_our_own_page_with_the_token_may_open_the_socket(report):
    assert _step(report, "refusal") == {
        "ok": True,
        "sameOriginGoodToken": True,
        "sameOriginWrongToken": False,
        "otherOriginGoodToken": False,
    }
