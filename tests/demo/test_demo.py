"""`make demo` end to end: each section runs in a fresh interpreter, exits cleanly and tells its
story; the editor section also runs alone, so its imports resolve through the synced modules."""

import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BRIDGE_HEADING = "1. Python user code drives a workbook (proxwire)"
EDITOR_HEADING = "2. The code editor's language services (sensewell)"


def run(*args):
    env = dict(os.environ, PYTHONPATH=ROOT)
    done = subprocess.run([sys.executable, *args], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=240)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    assert "Traceback" not in done.stderr and "[LSP]" not in done.stderr, done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def tour():
    return run("-m", "demo")


@pytest.fixture(scope="module")
def editor_alone():
    return run("-c", "from demo.editor_tour import editor_tour; editor_tour()")


def marked_line(out, text):
    """The first output line that ends with `text` and has a caret line below it, and that line."""
    lines = out.split("\n")
    for line, below in zip(lines, lines[1:]):
        if line.endswith(text) and "^" in below:
            return line, below
    raise AssertionError(f"no marked line ends with {text!r}")


def test_tour_runs_both_sections_in_order(tour):
    assert tour.index(BRIDGE_HEADING) < tour.index(EDITOR_HEADING)
    # The sample script's figures come from the second user module it imports.
    assert "  > Q2 sales are 6.5% up on Q1; East sold the most in Q2." in tour
    assert "With the script's proxies gone, 0 of them are still alive." in tour
    assert "cleanup() removes the bridge's folder" in tour


@pytest.mark.parametrize("which", ["tour", "editor_alone"])
def test_editor_section_draws_each_answer(which, request):
    out = request.getfixturevalue(which)
    assert EDITOR_HEADING in out
    assert re.search(r"^    best_region +function +\(frame, quarter=.Q2.\)$", out, re.M)
    assert re.search(r"^    QUARTERS +variable$", out, re.M)
    assert not re.search(r"^    _", out, re.M)
    assert "      (function) growth(before, after, digits=1)" in out
    assert "    Percentage change from `before` to `after`" in out
    assert "The saved script has no findings" in out

    label, marked = marked_line(out, "growth(before, after, digits=1)")
    assert marked == " " * label.index("after") + "^^^^^ parameter 2 of 3"


def test_draft_diagnostics_errors_first_with_carets_under_their_ranges(editor_alone):
    out = editor_alone
    findings = re.findall(r"^  (error|warning) on line \d+: (.*)$", out, re.M)
    assert findings == [
        ("error", "import 'sales_charts' could not be resolved"),
        ("warning", "'os' imported but unused"),
        ("warning", "undefined name 'SALE'"),
    ]
    _, under = marked_line(out, "| from sales_charts import bar_chart")
    assert under.endswith("| " + "^" * len("from sales_charts import bar_chart"))
    call, under = marked_line(out, 'bar_chart(sheet.getRange("E1"), SALE)')
    assert under.index("^") == call.index("SALE)") and under.count("^") == 1
    imported, under = marked_line(out, "| import os")
    assert imported.index("import") == under.index("^")
