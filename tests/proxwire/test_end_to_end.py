"""proxwire end to end: user code on worker threads against the simulated add-in, whose
listener thread answers every request after a JSON round trip."""

import datetime
import threading
import types

import pandas as pd
import pytest

from addin_sim import CallbackError, SimulatedAddin
from fake_addin import on_worker
from quorvel_master.python_server.quorvel import proxwire
from quorvel_master.python_server.quorvel.proxwire import (
    Excel,
    GetSetting,
    Intersect,
    OfficeJsArray,
    OfficeJsDict,
    OfficeJsTransaction,
    Union,
)

pytestmark = pytest.mark.timeout(120, method="thread")

STALE = "Excel Object used after messaging context was stopped"


def settle(addin):
    """Every release of a dropped proxy has reached the add-in once this returns."""
    addin.settle()


@pytest.fixture
def addin():
    with SimulatedAddin() as sim:
        yield sim
        settle(sim)


def sheet(name="Sheet1"):
    return Excel.workbook.worksheets.getItem(name)


def values_at(addin, address, sheet_name="Sheet1"):
    """What the workbook itself holds, bypassing the bridge."""
    return addin.handler.fixed[1].get_workbook().get_worksheets().call_getItem(sheet_name) \
        .call_getRange(address).get_values()


class TestRanges:
    def test_write_then_read_values(self, addin):
        rng = sheet().getRange("B2:C3")
        rng.values = [[1, "two"], [3.5, True]]
        got = rng.values
        assert got == [[1, "two"], [3.5, True]]
        assert isinstance(got, OfficeJsArray) and isinstance(got[0], OfficeJsArray)
        assert [type(v) for v in got[1]] == [float, bool]
        assert (rng.address, rng.rowCount, rng.columnCount) == ("Sheet1!B2:C3", 2, 2)
        assert values_at(addin, "C2") == [["two"]]

    def test_formats_formulas_and_sheets(self, addin):
        ws = Excel.workbook.worksheets.add("Data")
        cells = ws.getRange("A1:A3")
        cells.values = [[1], [2], [3]]
        ws.getRange("A4").formulas = [["=SUM(A1:A3)"]]
        assert ws.getRange("A4").values == [[6]]
        cells.numberFormat = "0.00"
        assert cells.numberFormat == [["0.00"]] * 3
        cells.format.font.bold = True
        cells.format.fill.color = "red"
        assert (cells.format.font.bold, cells.format.fill.color) == (True, "#FF0000")
        assert ws.getRange("A1:A5").format.font.bold is None
        assert Excel.workbook.worksheets[1].name == "Data"
        assert [s.name for s in Excel.workbook.worksheets.items] == ["Sheet1", "Data"]
        assert ws.getUsedRange().address == "Data!A1:A4"
        assert Excel.workbook.worksheets.getActiveWorksheet().name == "Sheet1"

    def test_add_in_errors_reach_user_code(self, addin):
        ws = sheet()
        with pytest.raises(RuntimeError, match="Invalid range address: 'A1:'"):
            ws.getRange("A1:")
        with pytest.raises(RuntimeError, match="must be a 1 x 2 array"):
            ws.getRange("A1:B1").values = [[1, 2, 3]]
        with pytest.raises(RuntimeError, match="has no property or method named 'nope'"):
            ws.nope
        assert not hasattr(ws, "nope")  # an add-in refusal is also an AttributeError
        with pytest.raises(TypeError, match="Only Function-typed"):
            ws()
        # the bridge keeps answering after refusals
        assert ws.name == "Sheet1"

    def test_several_workers_at_once(self, addin):
        def work(i):
            rng = sheet().getRange(f"A{i + 1}:C{i + 1}")
            for n in range(20):
                rng.values = [[i, n, f"w{i}"]]
                assert rng.values == [[i, n, f"w{i}"]]

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert values_at(addin, "A1:C4") == [[i, 19, f"w{i}"] for i in range(4)]


def test_dataframe_written_and_read_back(addin):
    df = pd.DataFrame(
        {
            "name": ["ant", "bee", "cat"],
            "count": [3, 1, 4],
            "weight": [0.5, 1.25, 4.0],
            "seen": pd.to_datetime(["2024-01-02", "2024-02-03", "2024-03-04"]),
        }
    )
    target = sheet().getRange("A1:D4")
    target.values = df
    rows = target.values
    assert list(rows[0]) == ["name", "count", "weight", "seen"]
    assert rows[1][3] == datetime.datetime(2024, 1, 2)
    back = pd.DataFrame(rows[1:], columns=rows[0])
    pd.testing.assert_frame_equal(back, df)


class TestTransactions:
    def test_batch_invisible_until_commit(self, addin):
        rng = sheet().getRange("A1:B1")
        rng.values = [["old", "old"]]
        font = rng.format.font
        with OfficeJsTransaction():
            rng.values = [["new", "new"]]
            font.bold = True
            assert rng.values == [["old", "old"]]
            assert font.bold is False
        assert rng.values == [["new", "new"]]
        assert font.bold is True

    @pytest.mark.parametrize("raise_error", [True, False])
    def test_rollback_at_error_never_applies(self, addin, raise_error):
        rng = sheet().getRange("A1")
        rng.values = [["before"]]

        def block():
            with OfficeJsTransaction(roolback_at_error=True, raiseError=raise_error):
                rng.values = [["during"]]
                raise KeyError("boom")

        if raise_error:
            with pytest.raises(KeyError):
                block()
        else:
            block()
        assert rng.values == [["before"]]
        with OfficeJsTransaction():  # the next batch does not pick the abandoned write up
            sheet().getRange("B1").values = [["next"]]
        assert values_at(addin, "A1:B1") == [["before", "next"]]

    def test_error_callback_and_commit_of_earlier_writes(self, addin):
        rng = sheet().getRange("A1")
        heard = []

        def callback(*args):
            heard.append(args)

        with OfficeJsTransaction(raiseError=False, error_callback=callback):
            rng.values = [["kept"]]
            raise ValueError("late failure")
        exc_type, exc, tb = heard[0]
        assert (exc_type, str(exc)) == (ValueError, "late failure")
        assert isinstance(tb, types.TracebackType)
        assert rng.values == [["kept"]]

        with pytest.raises(ZeroDivisionError):
            with OfficeJsTransaction(error_callback=callback):
                1 / 0
        assert heard[1][0] is ZeroDivisionError

    def test_explicit_commit_opens_a_new_batch(self, addin):
        first, second = sheet().getRange("A1"), sheet().getRange("B1")
        with OfficeJsTransaction() as tx:
            first.values = [[1]]
            tx.commit()
            assert first.values == [[1]]
            second.values = [[2]]
            assert second.values == [[""]]
        assert second.values == [[2]]
        starts = addin.handler.request_counts()["CALL"]
        tx.commit()  # outside the block: commits, opens nothing
        assert addin.handler.request_counts()["CALL"] == starts + 1
        second.values = [[3]]
        assert values_at(addin, "B1") == [[3]]


class TestCallbacks:
    def test_round_trip_through_get_callable(self, addin):
        reader = sheet().getRange("A1")
        reader.values = [["from the sheet"]]
        calls = []

        def callback(event):
            calls.append(threading.current_thread())
            return f"{event['address']}: {reader.values[0][0]}"  # the callback uses the bridge too

        sheet().onChanged.add(callback)
        callable_id = addin.handler.callables_seen[-1]
        assert proxwire.messaging.get_callable(callable_id) is callback
        result = addin.invoke_callable(callable_id, {"address": "Z9"})
        assert result == "Z9: from the sheet"
        assert calls[0] is not threading.current_thread()

        with pytest.raises(CallbackError) as info:
            addin.invoke_callable("pyfunc_00000000_999")
        assert isinstance(info.value.__cause__, LookupError)

    def test_change_event_fires_the_callback(self, addin):
        heard = []
        done = threading.Event()

        def on_change(event):
            heard.append((type(event), event["worksheet"], event["address"]))
            done.set()

        sheet().onChanged.add(on_change)
        sheet().getRange("C3:D3").values = [[1, 2]]
        assert done.wait(30)
        addin.wait_for_callbacks()
        assert heard == [(OfficeJsDict, "Sheet1", "C3:D3")]
        assert addin.callback_errors == []


def test_union_intersect_and_settings(addin):
    ws = sheet()
    a, b = ws.getRange("A1:B2"), ws.getRange("B2:C3")
    both = Union(a, b)
    assert (both.address, both.cellCount) == ("Sheet1!A1:B2,Sheet1!B2:C3", 7)
    both.format.fill.color = "yellow"
    assert ws.getRange("C3").format.fill.color == "#FFFF00"
    assert Intersect(a, b).address == "Sheet1!B2"
    assert Intersect(a, ws.getRange("D4")) is None
    assert GetSetting("theme") == "light"
    with pytest.raises(RuntimeError, match="takes only ranges"):
        Union(a, 5)


def test_many_reads_leave_no_objects_behind(addin):
    rng = sheet().getRange("A1:B1")
    rng.values = [[1, 2]]
    settle(addin)
    before = addin.handler.live_objects()
    total = 0
    for _ in range(10_000):
        total += rng.values[0][1]
    assert total == 20_000
    settle(addin)
    assert addin.handler.live_objects() == before
    del rng
    settle(addin)
    assert addin.handler.live_objects() == 0


def test_reset_mid_script(addin):
    ws = sheet()
    rng = ws.getRange("A1")
    rng.values = [["before the reset"]]
    values = rng.values
    addin.reconnect()

    with pytest.raises(RuntimeError, match=STALE):
        rng.values
    with pytest.raises(RuntimeError, match=STALE):
        rng.values = [["x"]]
    with pytest.raises(RuntimeError, match=STALE):
        ws.getRange("A2")
    with pytest.raises(RuntimeError, match=STALE):
        values.length
    assert values == [["before the reset"]]  # the snapshot stays readable

    fresh = on_worker(lambda: Excel.workbook.worksheets.getItem("Sheet1").getRange("A1:B2"),
                      timeout=60)
    assert fresh.values[0][0] == "before the reset"
    assert GetSetting("locale") == "en-US"
    assert Union(fresh, sheet().getRange("C1")).address == "Sheet1!A1:B2,Sheet1!C1"
    assert Intersect(fresh, sheet().getRange("B2:C3")).address == "Sheet1!B2"
    with OfficeJsTransaction():
        fresh.values = [[1, 2], [3, 4]]
    assert values_at(addin, "A1:B2") == [[1, 2], [3, 4]]
