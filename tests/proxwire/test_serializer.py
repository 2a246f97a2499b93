"""Wire values both ways: the tag table, its order of rules, numpy and pandas values,
recursion through the class attribute, and the failures each direction reports."""

import base64
import datetime as dt
import decimal
import enum
import json
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pandas as pd
import pytest

from quorvel_master.python_server.quorvel import proxwire

Serializer = proxwire.Serializer
to_wire = Serializer.to_wire
from_wire = Serializer.from_wire


def w(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


NULL = w("Null", None)


class Colour(enum.IntEnum):
    RED = 3


class Text(str):
    pass


class Real(float):
    pass


class IntTag:
    """A tag equal to "Int" that runs `change` the first time it is compared."""

    def __init__(self, change):
        self.change = change

    def __eq__(self, other):
        change, self.change = self.change, None
        if change:
            change()
        return other == "Int"

    __hash__ = object.__hash__


@pytest.fixture
def sent():
    """Requests handed to the send handler, except the releases of dropped proxies."""
    requests = []

    def handler(envelope):
        if envelope.get("method") != "DEL":
            requests.append(envelope)

    old = proxwire.messaging._send_handler
    proxwire.messaging.set_send_handler(handler)
    yield requests
    proxwire.messaging.set_send_handler(old)


class TestToWireScalars:
    @pytest.mark.parametrize(
        "value, expected",
        [
            (None, NULL),
            (True, w("Bool", True)),
            (np.bool_(False), w("Bool", False)),
            (0, w("Int", 0)),
            (2**80, w("Int", 2**80)),
            (Colour.RED, w("Int", 3)),
            (np.int64(5), w("Int", 5)),
            (np.int8(-3), w("Int", -3)),
            (np.uint64(2**63), w("Int", 2**63)),
            (1.5, w("Float", 1.5)),
            (np.float64(2.25), w("Float", 2.25)),
            (np.float32(1.5), w("Float", 1.5)),
            (np.float16(0.5), w("Float", 0.5)),
            (float("inf"), w("Float", float("inf"))),
            (np.float32("-inf"), w("Float", float("-inf"))),
            ("", w("String", "")),
            ({1, 2} - {1, 2}, w("String", "set()")),
            (np.timedelta64(5, "D"), w("String", "5 days")),
            (1 + 2j, w("String", "(1+2j)")),
        ],
        ids=repr,
    )
    def test_tag_and_payload(self, value, expected):
        got = to_wire(value)
        assert got == expected
        assert list(got) == ["type", "value", "isSpec"]
        assert type(got["value"]) is type(expected["value"])

    def test_exact_objects_travel_unconverted(self):
        big, number, text = 10**30, 3.75, Text("subclass")
        assert to_wire(big)["value"] is big
        assert to_wire(number)["value"] is number
        assert to_wire(text)["value"] is text
        assert type(to_wire(Real(2.5))["value"]) is float
        assert type(to_wire(Colour.RED)["value"]) is int

    @pytest.mark.parametrize(
        "missing",
        [
            float("nan"),
            np.float64("nan"),
            np.float32("nan"),
            Real("nan"),
            pd.NA,
            pd.NaT,
            np.datetime64("NaT"),
            np.timedelta64("NaT"),
            decimal.Decimal("NaN"),
        ],
        ids=repr,
    )
    def test_missing_values_are_null(self, missing):
        assert to_wire(missing) == NULL

    def test_predicate_failures_and_array_answers_fall_through(self):
        class Odd:
            def __array__(self):
                raise ValueError("no array")

            def __str__(self):
                return "odd"

        class Arrayish:
            def __array__(self):
                return np.array([np.nan])

            def __str__(self):
                return "arrayish"

        assert to_wire(Odd()) == w("String", "odd")
        assert to_wire(Arrayish()) == w("String", "arrayish")

    def test_dates(self):
        plus_two = dt.timezone(dt.timedelta(hours=2))
        assert to_wire(dt.datetime(2024, 3, 1, 10, 0, tzinfo=plus_two)) == w(
            "Date", "2024-03-01T08:00:00+00:00"
        )
        assert to_wire(dt.datetime(2024, 3, 1, 10, 0, 5)) == w("Date", "2024-03-01T10:00:05")
        assert to_wire(dt.date(2024, 3, 1)) == w("Date", "2024-03-01")
        assert to_wire(pd.Timestamp("2024-03-01 10:00", tz="Europe/Paris")) == w(
            "Date", "2024-03-01T09:00:00+00:00"
        )
        assert to_wire(np.datetime64("2024-03-01T10:00:00.123456789")) == w(
            "Date", "2024-03-01T10:00:00.123456789"
        )
        assert to_wire(np.datetime64("2024-03-01")) == w("Date", "2024-03-01T00:00:00")
        # Beyond pandas' nanosecond range the instant still goes out as ISO text.
        assert to_wire(np.datetime64("3000-01-02")) == w("Date", "3000-01-02T00:00:00")
        assert to_wire(np.datetime64("1500-01-02T03:04:05")) == w("Date", "1500-01-02T03:04:05")

    def test_bytes_likes(self):
        assert to_wire(b"") == w("Bytes", "")
        for data in (b"\x00", b"ab", b"abc", bytes(range(256))):
            text = base64.b64encode(data).decode("ascii")
            assert to_wire(data) == w("Bytes", text)
            assert to_wire(bytearray(data)) == w("Bytes", text)
            assert to_wire(memoryview(data)) == w("Bytes", text)
        strided = memoryview(b"abcdef")[::2]
        assert to_wire(strided) == w("Bytes", "YWNl")
        assert to_wire(np.bytes_(b"hi")) == w("Bytes", "aGk=")

    def test_callables_register_afresh_each_time(self):
        registry = proxwire.messaging._callable_registry
        fn = lambda: 1  # noqa: E731
        before = len(registry)
        first, second = to_wire(fn), to_wire(fn)
        assert first["type"] == second["type"] == "Python_Function"
        assert first["isSpec"] is second["isSpec"] is True
        assert first["value"] != second["value"]
        assert len(registry) == before + 2
        assert proxwire.messaging.get_callable(first["value"]) is fn
        assert to_wire(int)["type"] == "Python_Function"

    def test_conversion_errors_reach_the_caller(self):
        class BadInt(int):
            def __int__(self):
                raise ZeroDivisionError("int")

        class BadStr:
            def __str__(self):
                raise KeyError("str")

        with pytest.raises(ZeroDivisionError):
            to_wire(BadInt(1))
        with pytest.raises(KeyError):
            to_wire(BadStr())
        with pytest.raises(KeyError):
            to_wire([1, {"a": BadStr()}])


class TestToWireContainers:
    def test_lists_tuples_and_dicts(self):
        assert to_wire([]) == w("Array", [])
        assert to_wire((1, "a", None)) == w("Array", [w("Int", 1), w("String", "a"), NULL])
        got = to_wire({2: [1.5], None: {}, "k": (True,)})
        assert got == w(
            "Dict",
            {2: w("Array", [w("Float", 1.5)]), None: w("Dict", {}), "k": w("Array", [w("Bool", True)])},
        )
        assert list(got["value"]) == [2, None, "k"]

    def test_subclasses_follow_their_own_iteration(self):
        class Backwards(list):
            def __iter__(self):
                return iter([x for x in list.__iter__(self)][::-1])

        class Upper(dict):
            def items(self):
                return [(k.upper(), v) for k, v in dict.items(self)]

        assert to_wire(Backwards([1, 2])) == w("Array", [w("Int", 2), w("Int", 1)])
        assert to_wire(Upper(a=1)) == w("Dict", {"A": w("Int", 1)})

    def test_containers_changed_while_converting(self):
        items = [0, 1, 2, 3]

        class Shrinker:
            def __str__(self):
                del items[2:]
                return "shrunk"

        items[1] = Shrinker()
        assert to_wire(items) == w("Array", [w("Int", 0), w("String", "shrunk")])

        table = {"a": None}

        class Grower:
            def __str__(self):
                table["b"] = 1
                return "grown"

        table["a"] = Grower()
        with pytest.raises(RuntimeError, match="changed size"):
            to_wire(table)

    def test_self_containing_and_deep_values_raise_recursion_error(self):
        loop = [1]
        loop.append(loop)
        with pytest.raises(RecursionError):
            to_wire(loop)
        cycle = {}
        cycle["me"] = [cycle]
        with pytest.raises(RecursionError):
            to_wire(cycle)
        deep = None
        for _ in range(5000):
            deep = {"x": [deep]}
        with pytest.raises(RecursionError):
            to_wire(deep)
        assert to_wire([[[1]]]) == w("Array", [w("Array", [w("Array", [w("Int", 1)])])])


class TestFrames:
    def test_frame_header_then_rows(self):
        frame = pd.DataFrame({"a": [1, 2], "b": [3, 4]}, index=["x", "y"])
        assert to_wire(frame) == to_wire([["a", "b"], [1, 3], [2, 4]])

    def test_series_as_one_column_frame(self):
        assert to_wire(pd.Series([1.5, 2.5], name="s")) == to_wire([["s"], [1.5], [2.5]])
        assert to_wire(pd.Series(["x"])) == to_wire([[0], ["x"]])

    def test_cells_keep_their_types(self):
        frame = pd.DataFrame(
            {
                "n": [1, 2],
                "f": [0.5, np.nan],
                "when": pd.to_datetime(["2024-01-02 03:04:05", None]),
                "ok": [True, False],
            }
        )
        assert to_wire(frame) == w(
            "Array",
            [
                to_wire(["n", "f", "when", "ok"]),
                w("Array", [w("Int", 1), w("Float", 0.5), w("Date", "2024-01-02T03:04:05"), w("Bool", True)]),
                w("Array", [w("Int", 2), NULL, NULL, w("Bool", False)]),
            ],
        )

    def test_date_only_frames_send_dates(self):
        dates = pd.Series(pd.to_datetime(["2024-05-06", "2024-05-07"]), name="d")
        got = to_wire(dates)["value"]
        assert [row["value"][0] for row in got[1:]] == [
            w("Date", "2024-05-06T00:00:00"),
            w("Date", "2024-05-07T00:00:00"),
        ]
        aware = pd.DataFrame({"t": pd.to_datetime(["2024-05-06 12:00"]).tz_localize("Asia/Tokyo")})
        assert to_wire(aware)["value"][1] == w("Array", [w("Date", "2024-05-06T03:00:00+00:00")])

    def test_nullable_and_float_frames(self):
        frame = pd.DataFrame({"i": pd.array([1, None], dtype="Int64")})
        assert to_wire(frame)["value"][1:] == [w("Array", [w("Int", 1)]), w("Array", [NULL])]
        with_gap = pd.DataFrame({"x": [1.0, np.nan], "y": [-0.0, np.inf]})
        assert to_wire(with_gap) == to_wire([["x", "y"], [1.0, -0.0], [None, np.inf]])
        assert str(to_wire(with_gap)["value"][1]["value"][1]["value"]) == "-0.0"
        strided = pd.DataFrame(np.arange(12.0).reshape(3, 4)[::2, ::2])
        assert to_wire(strided) == to_wire([[0, 1], [0.0, 2.0], [8.0, 10.0]])
        floats = pd.DataFrame(np.arange(6, dtype=np.float32).reshape(3, 2))
        assert to_wire(floats) == to_wire([[0, 1], [0.0, 1.0], [2.0, 3.0], [4.0, 5.0]])
        assert to_wire(pd.DataFrame()) == w("Array", [w("Array", [])])


class TestFromWire:
    @pytest.mark.parametrize(
        "wire_value, expected",
        [
            ({"type": "Null", "value": 5}, None),
            ({"type": "Bool", "value": "false"}, True),
            ({"type": "Bool", "value": 0}, False),
            ({"type": "Int", "value": "12"}, 12),
            ({"type": "Int", "value": 7.9}, 7),
            ({"type": "Float", "value": "1.5"}, 1.5),
            ({"type": "Float", "value": 2}, 2.0),
            ({"type": "String", "value": 3}, "3"),
            ({"type": "String"}, "None"),
            ({"type": "Date", "value": "2024-03-01T08:00:00+00:00"},
             dt.datetime(2024, 3, 1, 8, tzinfo=dt.timezone.utc)),
            ({"type": "Date", "value": "2024-03-01"}, dt.datetime(2024, 3, 1)),
            ({"type": "Date", "value": "first of March"}, "first of March"),
            ({"type": "Date", "value": 20240301}, 20240301),
            ({"type": "Date", "value": ["x"]}, ["x"]),
            ({"type": "Bytes", "value": None}, b""),
            ({"type": "Bytes", "value": "YWJj"}, b"abc"),
            ({"type": "Bytes", "value": b"YQ=="}, b"a"),
            ({}, "None"),
            ({"type": "Int", "value": "3", 1: None}, 3),
            ({Text("type"): "Int", "value": 4}, 4),
            (json.loads('{"isSpec": false, "value": "5", "type": "Int"}'), 5),
            (dict.fromkeys(range(20)) | {"type": "Float", "value": 1}, 1.0),
            ({"type": "Range", "value": 17}, "17"),
            ({"type": "Range", "value": 17, "isSpec": 0}, "17"),
            ({"type": None, "value": [1]}, "[1]"),
        ],
        ids=repr,
    )
    def test_plain_values(self, wire_value, expected):
        got = from_wire(wire_value)
        assert got == expected
        assert type(got) is type(expected)

    def test_exact_payloads_come_back_as_they_are(self):
        text, number = "unchanged", 2.5
        assert from_wire({"type": "String", "value": text}) is text
        assert from_wire({"type": "Float", "value": number}) is number

    def test_tags_compare_by_equality(self):
        class Tag(str):
            pass

        assert from_wire({"type": Tag("Int"), "value": "4"}) == 4

        class Always:
            def __eq__(self, other):
                return other == "Bool"

            __hash__ = object.__hash__

        assert from_wire({"type": Always(), "value": 1}) is True

    def test_errors(self):
        with pytest.raises(ValueError):
            from_wire({"type": "Int", "value": "twelve"})
        with pytest.raises(TypeError):
            from_wire({"type": "Float", "value": None})
        with pytest.raises(ValueError):
            from_wire({"type": "Range", "value": "abc", "isSpec": True})
        with pytest.raises(Exception):
            from_wire({"type": "Bytes", "value": "abc"})
        with pytest.raises(TypeError, match=r"^Argument 'wire' has incorrect type \(expected dict, got NoneType\)$"):
            from_wire(None)

        class Sub(dict):
            pass

        with pytest.raises(TypeError, match="expected dict, got Sub"):
            from_wire(Sub(type="Null"))
        with pytest.raises(TypeError):
            from_wire()
        assert from_wire(wire={"type": "Int", "value": 1}) == 1


class TestFromWireProxies:
    def test_arrays_and_dicts_with_their_ids(self, sent):
        got = from_wire(
            {
                "type": "Array",
                "id": 12,
                "value": [
                    {"type": "Int", "value": 1},
                    {"type": "Dict", "id": 7, "value": {"a": {"type": "String", "value": "x"}}},
                ],
            }
        )
        assert type(got) is proxwire.OfficeJsArray and got._internal_id == 12
        assert got == [1, {"a": "x"}]
        assert type(got[1]) is proxwire.OfficeJsDict and got[1]._internal_id == 7
        assert sent == []

    def test_empty_payloads_and_ids(self):
        empty = from_wire({"type": "Array", "id": 5, "value": None})
        assert type(empty) is proxwire.OfficeJsArray and empty == [] and empty._internal_id == 5
        assert from_wire({"type": "Dict", "id": 0}) == {}
        with pytest.raises(TypeError):
            from_wire({"type": "Array", "value": []})
        with pytest.raises(TypeError):
            from_wire({"type": "Dict", "id": True, "value": {}})

    def test_elements_must_be_dicts(self):
        with pytest.raises(TypeError, match="Argument 'wire' has incorrect type"):
            from_wire({"type": "Array", "id": 1, "value": [{"type": "Null"}, 3]})
        with pytest.raises(TypeError, match="Argument 'wire' has incorrect type"):
            from_wire({"type": "Dict", "id": 1, "value": {"k": "v"}})

    def test_references_become_object_proxies(self, sent):
        proxy = from_wire({"type": "Range", "value": "17", "isSpec": True})
        assert type(proxy) is proxwire.OfficeJsObject
        assert proxy._internal_id == 17 and proxy._internal_typeName == "Range"
        assert sent == []

    def test_proxies_travel_as_references_without_a_request(self, sent):
        proxy = proxwire.OfficeJsObject(42, "Worksheet")
        assert to_wire(proxy) == w("Worksheet", 42, True)
        assert to_wire([proxy])["value"] == [w("Worksheet", 42, True)]
        assert to_wire(proxwire.Excel) == w("Excel", 1, True)
        assert sent == []

    def test_containers_travel_by_value(self):
        arr = from_wire({"type": "Array", "id": 3, "value": [{"type": "Int", "value": 1}]})
        d = from_wire({"type": "Dict", "id": 4, "value": {"k": {"type": "Bool", "value": 1}}})
        assert to_wire(arr) == w("Array", [w("Int", 1)])
        assert to_wire(d) == w("Dict", {"k": w("Bool", True)})

    def test_containers_carry_what_their_constructors_set(self):
        got = from_wire({"type": "Array", "id": 9, "value": [{"type": "Dict", "id": 0, "value": {}}]})
        for c, object_id, name, typ in ((got, 9, "Array", "officejs_array"),
                                        (got[0], 0, "Dict", "officejs_dict")):
            assert list(vars(c).items()) == [
                ("_internal_id", object_id), ("_internal_typeName", name),
                ("_msg_guid", proxwire.messaging._guid), ("_typ", typ), ("_internal_cache", {}),
            ]
        assert got._internal_cache is not got[0]._internal_cache
        with pytest.raises(TypeError, match=r"^Argument 'object_id' has incorrect type \(expected "
                                            r"int, got NoneType\)$"):
            from_wire({"type": "Dict", "value": {}})

    def test_replaced_container_globals_are_called(self, monkeypatch):
        calls = []

        class Rows(list):
            def __init__(self, object_id):
                calls.append(("init", object_id))

            def extend(self, items):
                calls.append(("extend", list(items)))
                list.extend(self, items[::-1])

        class Table(dict):
            def __init__(self, object_id):
                calls.append(("init", object_id))

            def update(self, items):
                calls.append(("update", dict(items)))
                dict.update(self, {k.upper(): v for k, v in items.items()})

        monkeypatch.setattr(proxwire, "OfficeJsArray", Rows)
        monkeypatch.setattr(proxwire, "OfficeJsDict", Table)
        got = from_wire({"type": "Array", "id": 3, "value": [
            {"type": "Int", "value": 1}, {"type": "Dict", "id": 4, "value": {"k": NULL}}]})
        assert type(got) is Rows and got == [{"K": None}, 1] and type(got[0]) is Table
        assert calls == [("init", 3), ("init", 4), ("update", {"k": None}),
                         ("extend", [1, {"K": None}])]

    def test_changed_container_classes_are_honoured(self, monkeypatch):
        calls = []
        array_init = proxwire.OfficeJsArray.__init__

        def init(self, object_id):
            calls.append(("init", object_id))
            array_init(self, object_id)

        monkeypatch.setattr(proxwire.OfficeJsArray, "__init__", init)
        monkeypatch.setattr(proxwire.OfficeJsDict, "update",
                            lambda self, items: calls.append(("update", items)))
        got = from_wire({"type": "Array", "id": 5, "value": [{"type": "Dict", "id": 6, "value": {}}]})
        assert got == [{}] and got._internal_id == 5 and got[0]._internal_id == 6
        assert calls == [("init", 5), ("update", {})]
        monkeypatch.setattr(proxwire.OfficeJsArray, "extend",
                            lambda self, items: list.extend(self, ["seen", *items]))
        assert from_wire({"type": "Array", "id": 7, "value": [NULL]}) == ["seen", None]
        monkeypatch.undo()

        def late():
            monkeypatch.setattr(proxwire.OfficeJsArray, "extend",
                                lambda self, items: list.extend(self, ["late", *items]))

        got = from_wire({"type": "Array", "id": 8, "value": [{"type": IntTag(late), "value": 1}]})
        assert got == ["late", 1]

    def test_payloads_changed_while_converting(self):
        items = [{"type": "Int", "value": 0}, {"type": "Int", "value": 1},
                 {"type": "Int", "value": 2}]
        items[0]["type"] = IntTag(lambda: items.append({"type": "Int", "value": 3}))
        assert from_wire({"type": "Array", "id": 1, "value": items}) == [0, 1, 2, 3]
        items = [{"type": "Int", "value": 0}, {"type": "Int", "value": 1},
                 {"type": "Int", "value": 2}]
        items[0]["type"] = IntTag(lambda: items.clear())
        assert from_wire({"type": "Array", "id": 1, "value": items}) == [0]
        wire = {"value": "8"}
        wire["type"] = IntTag(lambda: wire.clear())  # the fields were read before the tag test
        assert from_wire(wire) == 8

    @pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")
    def test_deep_wire_values_raise_recursion_error(self):
        deep = {"type": "Null"}
        for _ in range(5000):
            deep = {"type": "Array", "id": 1, "value": [deep]}
        with pytest.raises(RecursionError):
            from_wire(deep)


class TestClassAttribute:
    def test_nested_values_go_through_a_replaced_to_wire(self, monkeypatch):
        seen = []
        original = Serializer.to_wire

        def spy(value):
            seen.append(value)
            return original(value)

        monkeypatch.setattr(Serializer, "to_wire", staticmethod(spy))
        assert original([1, ("a",), {"k": None}]) == to_wire([1, ("a",), {"k": None}])
        assert seen[:4] == [1, ("a",), "a", {"k": None}]
        for frame, rows in ((pd.DataFrame({"c": [1]}), [["c"], [1]]),
                            (pd.DataFrame({"c": [1.5]}), [["c"], [1.5]])):
            seen.clear()
            assert original(frame) == to_wire(rows)
            assert seen[0] == rows

    def test_nested_wires_go_through_a_replaced_from_wire(self, monkeypatch):
        seen = []
        original = Serializer.from_wire

        def spy(wire):
            seen.append(wire)
            return "seen"

        monkeypatch.setattr(Serializer, "from_wire", staticmethod(spy))
        got = original({"type": "Array", "id": 1, "value": [{"type": "Int", "value": 1}, 5]})
        assert got == ["seen", "seen"] and seen == [{"type": "Int", "value": 1}, 5]

    def test_restored_attribute_takes_the_fast_path_again(self, monkeypatch):
        calls = []
        original = Serializer.to_wire
        monkeypatch.setattr(Serializer, "to_wire", staticmethod(lambda v: calls.append(v) or NULL))
        assert original([1]) == w("Array", [NULL])
        monkeypatch.undo()
        calls.clear()
        assert to_wire([1]) == w("Array", [w("Int", 1)]) and calls == []

    def test_signatures_and_docs(self):
        assert Serializer.__doc__ == "Handles marshaling of data types between Python and JavaScript."
        assert to_wire.__doc__.startswith(
            "Serializer.to_wire(value: Any) -> Dict[str, Any]\n\n"
            "Serialize a Python value to wire format for transmission."
        )
        assert from_wire.__doc__.startswith(
            "Serializer.from_wire(dict wire: Dict[str, Any]) -> Any\n\n"
            "Deserialize a wire format value back to Python."
        )
        assert isinstance(Serializer.__dict__["to_wire"], staticmethod)
        assert Serializer().to_wire(value=1) == w("Int", 1)
        with pytest.raises(TypeError):
            to_wire(1, 2)
        with pytest.raises(TypeError):
            to_wire(other=1)


def test_strict_json_carries_every_wire_value():
    value = [np.float32("nan"), pd.NaT, pd.NA, np.int64(3), dt.date(2024, 1, 1), b"\xff", {"k": (None,)}]
    json.dumps(to_wire(value), allow_nan=False)


def test_no_memory_grows_over_repeated_calls(monkeypatch):
    # Plain stand-ins for the containers keep the proxies' own bookkeeping out of the count.
    class Plain(list):
        def __init__(self, object_id):
            pass

    class PlainDict(dict):
        def __init__(self, object_id):
            pass

    monkeypatch.setattr(proxwire, "OfficeJsArray", Plain)
    monkeypatch.setattr(proxwire, "OfficeJsDict", PlainDict)
    value = [1, 2.5, "x", None, b"ab", (True, {"k": [dt.date(2024, 1, 1)]}), np.int32(4), pd.NA]
    good = to_wire(value)
    good["id"] = 1
    good["value"][5]["id"] = 2
    good["value"][5]["value"][1]["id"] = 3
    good["value"][5]["value"][1]["value"]["k"]["id"] = 4
    bad = {"type": "Array", "id": 1, "value": [{"type": "Int", "value": "x"}]}

    def run():
        for _ in range(300):
            to_wire(value)
            from_wire(good)
            from_wire({"type": "Date", "value": "nope"})
            try:
                from_wire(bad)
            except ValueError:
                pass

    for _ in range(5):  # fill the interpreter's own caches first
        run()
    tracemalloc.start()
    try:
        first = tracemalloc.get_traced_memory()[0]
        for _ in range(3):
            run()
        grown = tracemalloc.get_traced_memory()[0] - first
    finally:
        tracemalloc.stop()
    # One object kept per call would be at least 32 bytes for each of the 900 rounds.
    assert grown < 900 * 8


def test_deep_nesting_with_a_high_recursion_limit_does_not_crash():
    # A small thread stack and no effective recursion limit: only the stack check stands.
    code = textwrap.dedent(
        """
        import sys, threading
        from quorvel_master.python_server.quorvel import proxwire
        S = proxwire.Serializer
        sys.setrecursionlimit(10**6)
        threading.stack_size(512 * 1024)

        def run():
            deep, wire = None, {"type": "Null"}
            for _ in range(200_000):
                deep = [{"k": deep}]
                wire = {"type": "Array", "id": 1, "value": [wire]}
            for convert, value in ((S.to_wire, deep), (S.from_wire, wire)):
                try:
                    convert(value)
                except RecursionError:
                    print("recursion")

        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, cwd=_root()
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["recursion", "recursion"]


def _root():
    import os

    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
