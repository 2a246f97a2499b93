"""The simulated add-in's workbook model, fed with request dicts directly (no bridge module)."""

import json

import pytest

from addin_sim import AddinError, RequestHandler, Workbook, parse_address
from addin_sim.workbook import Rect


def wire(value):
    tags = {type(None): "Null", bool: "Bool", int: "Int", float: "Float", str: "String"}
    if isinstance(value, list):
        return {"type": "Array", "value": [wire(v) for v in value], "isSpec": False}
    if isinstance(value, Ref):
        return {"type": value.type, "value": value.id, "isSpec": True}
    return {"type": tags[type(value)], "value": value, "isSpec": False}


class Ref:
    def __init__(self, wire_value):
        self.type, self.id = wire_value["type"], wire_value["value"]


class Client:
    """Speaks to the handler the way the bridge does; answers decoded just enough to assert on."""

    def __init__(self, handler=None):
        self.h = handler or RequestHandler()

    def send(self, request):
        response = self.h.handle(request)
        json.dumps(response, allow_nan=False)  # everything must fit a strict JSON channel
        return response

    def ok(self, request):
        response = self.send(request)
        assert response["ok"], response
        return self.value(response["result"])

    def error(self, request):
        response = self.send(request)
        assert response["ok"] is False
        return response["error"]["message"]

    def value(self, w):
        if w.get("isSpec"):
            return Ref(w)
        if w["type"] in ("Array", "Dict"):
            assert isinstance(w["id"], int)
            items = w["value"]
            if w["type"] == "Array":
                return [self.value(v) for v in items]
            return {k: self.value(v) for k, v in items.items()}
        return w["value"]

    def get(self, obj, name):
        return self.ok(req("GET", obj, name))

    def set(self, obj, name, value):
        return self.ok(req("SET", obj, name, value=wire(value)))

    def call(self, obj, *args, **kwargs):
        entries = [{"arg_type": "PLACED", "value": wire(a)} for a in args]
        entries += [{"arg_type": "NAMED", "name": k, "value": wire(v)} for k, v in kwargs.items()]
        return self.ok(req("CALL", obj, args=entries))

    def method(self, obj, name, *args, **kwargs):
        func = self.get(obj, name)
        assert func.type == "Function"
        return self.call(func, *args, **kwargs)

    def sheet(self, name="Sheet1"):
        return self.method(self.get(self.get(1, "workbook"), "worksheets"), "getItem", name)

    def range(self, address, sheet="Sheet1"):
        return self.method(self.sheet(sheet), "getRange", address)

    def delete(self, obj):
        return self.ok(req("DEL", obj, "__del__"))


def _id(obj):
    return obj.id if isinstance(obj, Ref) else obj


def req(method, obj, name="__call__", **extra):
    return {"method": method, "name": name, **extra, "caller": _id(obj)}


def placed(*values):
    return [{"arg_type": "PLACED", "value": wire(v)} for v in values]


@pytest.fixture
def c():
    return Client()


class TestAddresses:
    def test_cells_and_rectangles(self):
        assert parse_address("A1") == (None, Rect(1, 1, 1, 1))
        assert parse_address("$b$2:c3") == (None, Rect(2, 2, 3, 3))
        assert parse_address("C3:A1") == (None, Rect(1, 1, 3, 3))
        assert parse_address("XFD1048576")[1] == Rect(1048576, 16384, 1048576, 16384)
        assert parse_address("'My Sheet'!AA10") == ("My Sheet", Rect(10, 27, 10, 27))
        assert Rect(2, 27, 5, 28).a1() == "AA2:AB5"

    @pytest.mark.parametrize("bad", ["", "A", "1", "A0", "XFE1", "A1048577", "A1:B2:C3", "!A1", "A1:"])
    def test_bad_addresses(self, bad):
        with pytest.raises(AddinError, match="Invalid range address"):
            parse_address(bad)


class TestNavigation:
    def test_objects_get_ids_from_100_one_per_answer(self, c):
        book = c.get(1, "workbook")
        assert (book.type, book.id) == ("Workbook", 100)
        again = c.get(1, "workbook")
        assert again.id == 101
        sheets = c.get(book, "worksheets")
        assert sheets.type == "WorksheetCollection"
        assert c.get(sheets, "count") == 1
        assert c.h.live_objects() == 3

    def test_worksheets_collection(self, c):
        sheets = c.get(c.get(1, "workbook"), "worksheets")
        added = c.method(sheets, "add", "Data")
        assert c.get(added, "name") == "Data"
        assert c.get(c.method(sheets, "add"), "name") == "Sheet3"
        assert "already exists" in c.error(req("CALL", c.get(sheets, "add"), args=placed("data")))
        assert c.get(c.method(sheets, "getActiveWorksheet"), "name") == "Sheet1"
        item = c.ok(req("GETITEM", sheets, "-1"))
        assert c.get(item, "name") == "Sheet3"
        pair = c.ok(req("GETITEM", sheets, "1:3:"))
        assert [c.get(s, "name") for s in pair] == ["Data", "Sheet3"]
        assert "out of range" in c.error(req("GETITEM", sheets, "7"))
        assert "does not exist" in c.error(req("CALL", c.get(sheets, "getItem"), args=placed("Nope")))

    def test_rename_sheet_keeps_its_ranges(self, c):
        sheet = c.sheet()
        rng = c.method(sheet, "getRange", "A1")
        c.set(sheet, "name", "Budget")
        assert c.get(rng, "address") == "Budget!A1"
        c.set(sheet, "name", "My Budget")
        assert c.get(rng, "address") == "'My Budget'!A1"

    def test_error_answers(self, c):
        book = c.get(1, "workbook")
        assert "no property or method named 'nope'" in c.error(req("GET", book, "nope"))
        assert "no property named 'nope'" in c.error(req("SET", book, "nope", value=wire(1)))
        assert "read-only" in c.error(req("SET", book, "name", value=wire("x")))
        assert "is not a function" in c.error(req("CALL", book, args=[]))
        assert "Unknown object id 999" in c.error(req("GET", 999, "x"))
        assert "Unknown request method" in c.error(req("POKE", 1, "x"))
        assert "does not support indexing" in c.error(req("GETITEM", book, "0"))
        get_range = c.get(c.sheet(), "getRange")
        assert "Invalid range address" in c.error(req("CALL", get_range, args=placed("A1:Q")))
        assert "Wrong arguments" in c.error(req("CALL", get_range, args=[]))


class TestRanges:
    def test_values_read_and_write(self, c):
        rng = c.range("B2:C3")
        assert c.get(rng, "values") == [["", ""], ["", ""]]
        c.set(rng, "values", [[1, "two"], [3.5, True]])
        assert c.get(rng, "values") == [[1, "two"], [3.5, True]]
        assert c.get(c.range("C3"), "values") == [[True]]
        assert (c.get(rng, "rowCount"), c.get(rng, "columnCount")) == (2, 2)
        assert c.get(rng, "address") == "Sheet1!B2:C3"
        c.set(rng, "values", [[None, "x"], ["y", None]])
        assert c.get(rng, "values") == [["", "x"], ["y", ""]]

    def test_single_value_fills_the_range_and_shapes_must_match(self, c):
        rng = c.range("A1:B2")
        c.set(rng, "values", 7)
        assert c.get(rng, "values") == [[7, 7], [7, 7]]
        message = c.error(req("SET", rng, "values", value=wire([[1, 2, 3]])))
        assert "2 x 2" in message
        assert c.get(rng, "values") == [[7, 7], [7, 7]]
        assert "not a cell value" in c.error(req("SET", rng, "values", value=wire([[[1], 2], [3, 4]])))

    def test_formulas_and_totals(self, c):
        c.set(c.range("A1:A3"), "values", [[2], [3], ["text"]])
        total = c.range("A4")
        c.set(total, "formulas", [["=SUM(A1:A3)"]])
        assert c.get(total, "values") == [[5]]
        assert c.get(total, "formulas") == [["=SUM(A1:A3)"]]
        assert c.get(c.range("A1"), "formulas") == [[2]]
        c.set(c.range("A1"), "values", [[10]])
        assert c.get(total, "values") == [[13]]
        c.set(c.range("B1:B3"), "values", [["=AVERAGE(A1:A2)"], ["=A4"], ["=FOO(1)"]])
        assert c.get(c.range("B1:B3"), "values") == [[6.5], [13], ["#NAME?"]]

    def test_number_format(self, c):
        rng = c.range("A1:B1")
        assert c.get(rng, "numberFormat") == [["General", "General"]]
        c.set(rng, "numberFormat", [["0.00", "@"]])
        assert c.get(rng, "numberFormat") == [["0.00", "@"]]
        assert "must be text" in c.error(req("SET", rng, "numberFormat", value=wire(5)))

    def test_format_fill_and_font(self, c):
        rng = c.range("A1:C1")
        fmt = c.get(rng, "format")
        fill, font = c.get(fmt, "fill"), c.get(fmt, "font")
        def look():
            return c.get(fill, "color"), c.get(font, "bold"), c.get(font, "color")

        assert look() == ("#FFFFFF", False, "#000000")
        c.set(fill, "color", "navy")
        c.set(font, "bold", True)
        c.set(font, "color", "#fc0")
        assert look() == ("#000080", True, "#FFCC00")
        wider_font = c.get(c.get(c.range("A1:D1"), "format"), "font")
        assert c.get(wider_font, "bold") is None  # mixed across the range
        assert "Invalid color" in c.error(req("SET", fill, "color", value=wire("blurple")))
        assert "Invalid value for bold" in c.error(req("SET", font, "bold", value=wire(1)))

    def test_used_range(self, c):
        sheet = c.sheet()
        assert c.get(c.method(sheet, "getUsedRange"), "address") == "Sheet1!A1"
        c.set(c.range("B2"), "values", [[1]])
        c.set(c.range("D5"), "values", [["x"]])
        c.set(c.get(c.get(c.range("F1"), "format"), "fill"), "color", "red")
        assert c.get(c.method(sheet, "getUsedRange"), "address") == "Sheet1!B1:F5"
        assert c.get(c.method(sheet, "getUsedRange", valuesOnly=True), "address") == "Sheet1!B2:D5"


class TestFunctions:
    def test_union_and_intersect(self, c):
        a, b = c.range("A1:B2"), c.range("B2:C3")
        union = c.call(3, a, b)
        assert union.type == "RangeAreas"
        assert c.get(union, "address") == "Sheet1!A1:B2,Sheet1!B2:C3"
        assert (c.get(union, "areaCount"), c.get(union, "cellCount")) == (2, 7)
        c.set(c.get(c.get(union, "format"), "fill"), "color", "yellow")
        assert c.get(c.get(c.get(c.range("C3"), "format"), "fill"), "color") == "#FFFF00"
        assert c.call(3, a, a).type == "Range"
        both = c.call(4, a, b)
        assert (both.type, c.get(both, "address")) == ("Range", "Sheet1!B2")
        assert c.call(4, a, c.range("D4")) is None

    def test_function_errors(self, c):
        other = c.method(c.get(c.get(1, "workbook"), "worksheets"), "add", "Other")
        on_other = c.method(other, "getRange", "A1")
        assert "one worksheet" in c.error(req("CALL", 3, args=placed(c.range("A1"), on_other)))
        assert "only ranges" in c.error(req("CALL", 3, args=placed(1)))
        assert "at least one range" in c.error(req("CALL", 3, args=[]))

    def test_get_setting(self, c):
        assert c.call(2, "locale") == "en-US"
        assert c.call(2, "missing") is None


class TestTransactions:
    def test_writes_wait_for_commit(self, c):
        rng = c.range("A1")
        c.method(5, "start", Ref({"type": "RequestContext", "value": 0}), False)
        c.set(rng, "values", [[1]])
        c.set(c.get(c.get(rng, "format"), "font"), "bold", True)
        assert c.get(rng, "values") == [[""]]
        c.method(5, "commit")
        assert c.get(rng, "values") == [[1]]
        assert c.get(c.get(c.get(rng, "format"), "font"), "bold") is True
        c.set(rng, "values", [[2]])  # no batch open: applied at once
        assert c.get(rng, "values") == [[2]]

    def test_uncommitted_batch_is_dropped_by_the_next_start(self, c):
        rng = c.range("A1")
        c.method(5, "start", None, False)
        c.set(rng, "values", [["lost"]])
        c.method(5, "start", None, False)
        c.set(c.range("B1"), "values", [["kept"]])
        c.method(5, "commit")
        assert c.get(c.range("A1:B1"), "values") == [["", "kept"]]

    def test_invalid_write_is_refused_when_queued(self, c):
        rng = c.range("A1")
        c.method(5, "start", None, False)
        fill = c.get(c.get(rng, "format"), "fill")
        assert "Invalid color" in c.error(req("SET", fill, "color", value=wire("nope")))
        c.method(5, "commit")

    def test_block_gets_holds_back_data_reads_only(self, c):
        rng = c.range("A1")
        c.method(5, "start", None, True)
        assert "held back" in c.error(req("GET", rng, "values"))
        c.set(c.get(c.get(rng, "format"), "fill"), "color", "red")  # navigation still answers
        c.method(5, "commit")
        assert c.get(rng, "values") == [[""]]


class TestObjectLifetimes:
    def test_del_releases_and_fixed_objects_stay(self, c):
        rng = c.range("A1:B2")
        before = c.h.live_objects()
        values = c.send({"method": "GET", "name": "values", "caller": rng.id})["result"]
        ids = [values["id"]] + [row["id"] for row in values["value"]]
        assert len(set(ids)) == 3 and min(ids) >= 100
        assert c.h.live_objects() == before + 3
        assert c.get(values["id"], "length") == 2
        for object_id in ids:
            c.delete(object_id)
        assert c.h.live_objects() == before
        for fixed in range(6):
            c.delete(fixed)
        c.delete(12345)  # unknown: nothing to release
        assert c.call(2, "locale") == "en-US"
        assert c.method(5, "commit") is None

    def test_counts_by_method(self, c):
        rng = c.range("A1")
        c.set(rng, "values", [[1]])
        c.delete(rng)
        assert c.h.request_counts() == {"GET": 4, "CALL": 2, "SET": 1, "DEL": 1}


def test_change_listener_hears_writes():
    h = RequestHandler(Workbook(["Sheet1", "Other"]))
    heard = []
    h.on_event = lambda callable_id, event: heard.append((callable_id, event))
    c = Client(h)
    sheet = c.sheet()
    handler_fn = {"type": "Python_Function", "value": "pyfunc_0123abcd_1", "isSpec": True}
    add = c.get(c.get(sheet, "onChanged"), "add")
    c.ok(req("CALL", add, args=[{"arg_type": "PLACED", "value": handler_fn}]))
    assert h.callables_seen == ["pyfunc_0123abcd_1"]
    c.set(c.range("B2:C2"), "values", [[1, 2]])
    c.set(c.get(c.get(c.range("A1"), "format"), "fill"), "color", "red")  # formatting is no edit
    c.set(c.range("A1", sheet="Other"), "values", [[1]])
    event = {"type": "WorksheetChanged", "changeType": "RangeEdited", "worksheet": "Sheet1",
             "address": "B2:C2"}
    assert heard == [("pyfunc_0123abcd_1", event)]
    assert "must be a function" in c.error(req("CALL", add, args=placed(1)))
