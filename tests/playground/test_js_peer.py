"""User scripts against the page's JavaScript workbook, run by node behind a line channel, and
against the Python simulated add-in: the same script must tell the same story on both."""

import contextlib
import datetime as dt
import gc
import io
import os
import runpy
import sys
import threading
import time

import numpy as np
import pytest

from addin_sim import SimulatedAddin
from node_addin import ROOT, NodeAddin
from quorvel_master.python_server.quorvel import proxwire as pw

pytestmark = pytest.mark.no_asan  # node under the sanitizer preload is not what is tested here

EXAMPLES = os.path.join(ROOT, "playground", "examples")


def on_worker(func):
    """Runs func on a worker thread, as the kernel runs user code; returns what it printed."""
    out, outcome = io.StringIO(), {}

    def body():
        try:
            outcome["result"] = func()
        except BaseException as exc:
            outcome["error"] = exc

    with contextlib.redirect_stdout(out):
        worker = threading.Thread(target=body, name="kernel-worker")
        worker.start()
        worker.join(60)
    assert not worker.is_alive(), "the script hung"
    if "error" in outcome:
        raise outcome["error"]
    return out.getvalue(), outcome.get("result")


def run_example(name):
    return on_worker(lambda: runpy.run_path(os.path.join(EXAMPLES, name), run_name="__main__"))[0]


def sales_report():
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    try:
        from examples import sales_report as module
    finally:
        sys.path.pop(0)
    lines = []
    _, rows = on_worker(lambda: module.main(say=lines.append))
    return lines, rows


class TestSameStoryOnBothSides:
    @pytest.mark.parametrize("script", ["dataframe.py", "callback.py"])
    def test_playground_examples(self, script):
        with SimulatedAddin():
            expected = run_example(script)
        gc.collect()
        with NodeAddin() as addin:
            assert run_example(script) == expected
            assert addin.inspect()["callbackErrors"] == []
        assert "Traceback" not in expected and expected.count("\n") >= 2

    def test_sales_report(self):
        with SimulatedAddin() as sim:
            expected = sales_report()
            sim.wait_for_callbacks()
        gc.collect()
        with NodeAddin():
            assert sales_report() == expected


ECHOED = {
    "scalars": [None, True, 0, -7, 2**53 - 1, 1.5, -0.25, "", "na\u00efve \u2603", b"\x00\xff"],
    "1-D": np.array([1, 2, 3]),
    "2-D with NaN": np.array([[0.5, np.nan], [2.25, -1.5]]),
    "3-D": np.arange(8).reshape(2, 2, 2),
    "empty rows": np.zeros((2, 0)),
    "object": np.array([None, "x", 2.5, [1, 2]], dtype=object),
    "dict": {"a": [1, {"b": None}], "__proto__": "x"},
    "dates": [dt.date(2024, 2, 29), dt.datetime(2024, 1, 2, 3, 4, 5, 123456),
              dt.datetime(2024, 1, 2, 10, tzinfo=dt.timezone(dt.timedelta(hours=2)))],
    "datetime64": np.array(["2024-01-02T03:04:05.123456", "NaT"], dtype="M8[us]"),
    "finer than microseconds": np.array(["2024-01-02T03:04:05.123456789"], dtype="M8[ns]"),
    "attoseconds": np.datetime64(-1, "as"),
    "beyond year 9999": np.datetime64("20000-01-01"),
    "before year 1": np.datetime64(-800_000, "D"),
    "beyond a JavaScript Date": np.datetime64(2**60, "s"),
}


@pytest.mark.parametrize("value", ECHOED.values(), ids=ECHOED.keys())
def test_values_come_back_as_from_the_simulated_addin(value):
    """A round trip through the add-in's echo gives the same Python values from either side;
    JavaScript's one number type turns integral floats into ints on the way."""
    def plain(x):
        if isinstance(x, (list, tuple)):
            return [plain(v) for v in x]
        if isinstance(x, dict):
            return {k: plain(v) for k, v in x.items()}
        return int(x) if isinstance(x, float) and x.is_integer() else x

    with SimulatedAddin():
        expected = plain(on_worker(lambda: pw.Context.echo(value))[1])
    gc.collect()
    with NodeAddin():
        got = plain(on_worker(lambda: pw.Context.echo(value))[1])
    assert got == expected and repr(got) == repr(expected)


class TestPlaygroundStory:
    def test_dataframe_lands_styled_in_the_grid(self):
        with NodeAddin() as addin:
            out = run_example("dataframe.py")
            cells = addin.inspect()["snapshot"]["cells"]
        assert "Totals: Q1 4360, Q2 4645" in out
        assert {k: cells["A1"][k] for k in ("value", "fill", "fontColor", "bold")} == {
            "value": "Region", "fill": "#000080", "fontColor": "#FFFFFF", "bold": True}
        assert (cells["B6"]["text"], cells["C2"]["text"], cells["D2"]["text"]) == ("4,360", "1,340", "11.7%")
        assert cells["D6"]["text"] == "6.5%" and cells["A6"]["bold"]

    def test_callback_answers_edits_from_the_grid(self):
        with NodeAddin() as addin:
            assert "A2 changed to 21: B2 now shows 42" in run_example("callback.py")
            addin.edit("A3", "2.5")
            addin.edit("A4", "abc")
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                cells = addin.inspect()["snapshot"]["cells"]
                if "B3" in cells and "B4" in cells:
                    break
                time.sleep(0.05)
        assert (cells["B3"]["value"], cells["B4"]["value"]) == (5, "not a number")


class TestRefusedValues:
    @pytest.mark.parametrize("value, named", [
        (float("inf"), "float inf"), (float("-inf"), "float -inf"),
        (2**64, "18446744073709551616"), (-(2**53) - 1, "-9007199254740993"),
    ])
    def test_an_unrepresentable_value_is_an_error_answer_naming_it(self, value, named):
        with NodeAddin() as addin:
            cell = pw.Excel.workbook.worksheets.getActiveWorksheet().getRange("A1:B1")
            with pytest.raises(AttributeError, match=named):
                on_worker(lambda: setattr(cell, "values", [[1, value]]))
            assert on_worker(lambda: cell.values)[1] == [["", ""]]
            del cell
            assert addin.inspect()["snapshot"]["cells"] == {}


def test_reconnect_forgets_objects_and_releases_reach_the_peer():
    with NodeAddin() as addin:
        def touch():
            sheet = pw.Excel.workbook.worksheets.getActiveWorksheet()
            sheet.getRange("A1").values = [[7]]
            return sheet

        _, sheet = on_worker(touch)
        assert addin.inspect()["liveObjects"] >= 1
        addin.reconnect()
        assert addin.inspect()["liveObjects"] == 0
        with pytest.raises(RuntimeError, match="messaging context was stopped"):
            sheet.name
        assert on_worker(lambda: pw.Excel.workbook.worksheets.getActiveWorksheet().name)[1] == "Sheet1"
        del sheet
        gc.collect()
        deadline = time.monotonic() + 10
        while addin.inspect()["liveObjects"] and time.monotonic() < deadline:
            time.sleep(0.05)
        assert addin.inspect()["liveObjects"] == 0
        assert addin.inspect()["snapshot"]["cells"]["A1"]["value"] == 7
