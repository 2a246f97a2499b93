"""OfficeJsObject: request dicts, local names, item keys, failures, staleness, traceback cleaning."""
import sys
import threading
import traceback
import types

import numpy as np
import pytest

from fake_addin import fail, obj, ok, on_worker, serving, value
from quorvel_master.python_server.quorvel import proxwire as pw

STALE = "Excel Object used after messaging context was stopped"


@pytest.fixture
def addin():
    with serving() as a:
        yield a


class StubMessaging:
    """Stands in for the module's messaging object: answers every request with `response`."""

    def __init__(self, response):
        self._guid = pw.messaging._guid
        self.response = response
        self.requests = []

    def send_request_sync(self, req):
        self.requests.append(req)
        return self.response


class TestRequests:
    def test_get_request_and_proxy_answer(self, addin):
        addin.answer = lambda env: ok(obj(42, "Workbook"))
        wb = on_worker(lambda: pw.Excel.workbook)
        assert repr(wb) == "<OfficeJsObject Workbook id=42>"
        assert wb._internal_id == 42 and wb._internal_typeName == "Workbook"
        assert wb._msg_guid == pw.messaging._guid
        assert list(addin.requests()[0].items()) == [("method", "GET"), ("name", "workbook"),
                                                     ("caller", 1)]
        env = addin.envelopes[0]
        assert list(env)[-2:] == ["requestId", "kind"] and env["kind"] == "request"

    def test_no_attribute_is_cached(self, addin):
        addin.answer = lambda env: ok(value(7))
        assert on_worker(lambda: (pw.Excel.count, pw.Excel.count)) == (7, 7)
        assert [r["name"] for r in addin.requests()] == ["count", "count"]

    def test_chained_write_sends_get_get_set(self, addin):
        ids = iter([10, 11])
        addin.answer = lambda env: ok(obj(next(ids))) if env["method"] == "GET" else ok()

        def write():
            rng = pw.OfficeJsObject(9, "Range")
            rng.format.fill.color = "red"

        on_worker(write)
        assert addin.requests() == [
            {"method": "GET", "name": "format", "caller": 9},
            {"method": "GET", "name": "fill", "caller": 10},
            {"method": "SET", "name": "color", "value": value("red"), "caller": 11},
        ]
        assert list(addin.requests()[2]) == ["method", "name", "value", "caller"]

    def test_call_arguments_placed_then_named(self, addin):
        addin.answer = lambda env: ok(value("done"))
        assert on_worker(lambda: pw.Union(1, "a", x=2, y=None)) == "done"
        assert on_worker(lambda: pw.GetSetting()) == "done"
        call, empty = addin.requests()
        assert list(call) == ["method", "name", "args", "caller"]
        assert call == {"method": "CALL", "name": "__call__", "caller": 3, "args": [
            {"arg_type": "PLACED", "value": value(1)},
            {"arg_type": "PLACED", "value": value("a")},
            {"arg_type": "NAMED", "name": "x", "value": value(2)},
            {"arg_type": "NAMED", "name": "y", "value": value(None)},
        ]}
        assert [list(a) for a in call["args"]][1:3] == [["arg_type", "value"],
                                                        ["arg_type", "name", "value"]]
        assert empty == {"method": "CALL", "name": "__call__", "args": [], "caller": 2}

    def test_any_keyword_belongs_to_the_addin_function(self, addin):
        addin.answer = lambda env: ok(value("done"))
        assert on_worker(lambda: pw.GetSetting(self=1, name="theme")) == "done"
        assert on_worker(lambda: pw._cw__call__(pw.Union, self="me")) == "done"
        named = [[(a["name"], a["value"]) for a in r["args"]] for r in addin.requests()]
        assert named == [[("self", value(1)), ("name", value("theme"))], [("self", value("me"))]]

    def test_the_proxy_itself_is_given_by_position_only(self, addin):
        for call in (lambda: pw._cw__call__(self=pw.GetSetting),
                     lambda: pw._cw__getattr__(self=pw.Excel, name="x"),
                     lambda: pw._cw__getitem__(self=pw.Excel, index=1),
                     lambda: pw._cw__setattr__(self=pw.Excel, name="x", value=1),
                     lambda: pw._cw__del__(self=pw.Excel),
                     lambda: pw.OfficeJsObject.__getattr__(self=pw.Excel, name="x"),
                     lambda: pw.OfficeJsObject.__getitem__(self=pw.Excel, index=1),
                     lambda: pw.OfficeJsObject.__setattr__(self=pw.Excel, name="x", value=1),
                     lambda: pw.OfficeJsDict.__getattr__(self=pw.OfficeJsDict(8), name="x")):
            with pytest.raises(TypeError, match="self"):
                call()
        assert addin.requests() == []
        assert on_worker(lambda: pw._cw__getattr__(pw.Excel, name="x")) is None

    def test_proxy_argument_travels_as_reference(self, addin):
        addin.answer = lambda env: ok(obj(77))
        rng = pw.OfficeJsObject(12, "Range")
        on_worker(lambda: pw.Intersect(rng, rng))
        args = addin.requests()[0]["args"]
        assert [a["value"] for a in args] == [{"type": "Range", "value": 12, "isSpec": True}] * 2

    @pytest.mark.parametrize("index, key", [
        (2, "2"), (0, "0"), (-1, "-1"), (True, "True"),
        (slice(1, 3), "1:3:"), (slice(None), "::"), (slice(None, None, 2), "::2"),
        (slice(-1, None), "-1::"), (slice(0, 10, -1), "0:10:-1"),
    ])
    def test_item_key_texts(self, addin, index, key):
        addin.answer = lambda env: ok(value("cell"))
        assert on_worker(lambda: pw.Excel[index]) == "cell"
        assert addin.requests() == [{"method": "GETITEM", "name": key, "caller": 1}]

    @pytest.mark.parametrize("index", ["a", 1.0, np.int64(1), None, (1, 2)])
    def test_item_key_refused_before_any_request(self, addin, index):
        with pytest.raises(TypeError, match="^Index must be an integer or a slice$"):
            pw.Excel[index]
        assert addin.requests() == []

    def test_dunder_probe_is_a_get(self, addin):
        addin.answer = lambda env: fail("no such property")
        assert on_worker(lambda: getattr(pw.Excel, "__array__", None)) is None
        assert on_worker(lambda: hasattr(pw.Excel, "_repr_html_")) is False
        assert [r["name"] for r in addin.requests()] == ["__array__", "_repr_html_"]

    def test_serializer_looked_up_at_each_use(self, addin, monkeypatch):
        class Loud:
            @staticmethod
            def to_wire(v):
                return {"type": "Loud", "value": str(v), "isSpec": False}

            @staticmethod
            def from_wire(w):
                return ("converted", w)

        monkeypatch.setattr(pw, "Serializer", Loud)
        addin.answer = lambda env: ok({"type": "Int", "value": 1})
        pw.Excel.x = 5
        assert pw.Excel.y == ("converted", {"type": "Int", "value": 1})
        assert addin.requests()[0]["value"] == {"type": "Loud", "value": "5", "isSpec": False}


class TestLocalNames:
    def test_internal_reads_send_nothing(self, addin):
        p = pw.OfficeJsObject(3, "Range")
        assert (p._internal_id, p._internal_typeName, p._typ, p._internal_cache) == (
            3, "Range", "officejs_object", {})
        for name in ["_internal_id", "_internal_typeName", "_msg_guid", "_typ", "_internal_cache"]:
            assert pw._cw__getattr__(p, name) is vars(p)[name]
        assert repr(p) == "<OfficeJsObject Range id=3>"
        assert addin.requests() == []

    def test_attributes_in_order(self):
        p = pw.OfficeJsObject(object_id=4, type_name="Chart")
        assert list(vars(p).items()) == [
            ("_internal_id", 4), ("_internal_typeName", "Chart"),
            ("_msg_guid", pw.messaging._guid), ("_typ", "officejs_object"), ("_internal_cache", {}),
        ]

    def test_local_writes_and_the_cache_write(self, addin):
        p = pw.OfficeJsObject(3, "Range")
        p._internal_id = 7
        p._typ = "x"
        pw._cw__setattr__(p, "_internal_typeName", "Table")
        assert repr(p) == "<OfficeJsObject Table id=7>" and p._typ == "x"
        assert addin.requests() == []
        p._internal_cache = {"a": 1}
        assert addin.requests() == [{"method": "SET", "name": "_internal_cache",
                                     "value": value({"a": 1}), "caller": 7}]

    def test_unset_local_name_is_an_ordinary_attribute_error(self, addin):
        p = pw.OfficeJsObject.__new__(pw.OfficeJsObject)
        with pytest.raises(AttributeError, match="'OfficeJsObject' object has no attribute "
                                                 "'_internal_id'"):
            p._internal_id
        assert addin.requests() == []

    def test_delete_attribute_is_local(self, addin):
        p = pw.OfficeJsObject(3, "Range")
        del p._internal_cache
        assert "_internal_cache" not in vars(p) and addin.requests() == []


class TestTypedParameters:
    @pytest.mark.parametrize("args, param, got", [
        ((True, "Range"), "object_id", "bool"), ((1.0, "Range"), "object_id", "float"),
        ((None, "Range"), "object_id", "NoneType"), ((1, None), "type_name", "NoneType"),
        ((1, b"Range"), "type_name", "bytes"),
    ])
    def test_constructor_refuses(self, args, param, got):
        with pytest.raises(TypeError) as info:
            pw.OfficeJsObject(*args)
        assert str(info.value).startswith(f"Argument '{param}' has incorrect type (expected ")
        assert f"got {got})" in str(info.value)

    def test_name_must_be_an_exact_str(self, addin):
        class Name(str):
            pass

        p = pw.OfficeJsObject(3, "Range")
        with pytest.raises(TypeError, match="^Argument 'name' has incorrect type"):
            getattr(p, Name("values"))
        with pytest.raises(TypeError, match="^Argument 'name' has incorrect type"):
            setattr(p, Name("values"), 1)
        with pytest.raises(TypeError, match="^Argument 'name' has incorrect type"):
            pw._cw__getattr__(p, 5)
        assert addin.requests() == []

    def test_keyword_arguments_bind_like_a_def(self):
        p = pw.OfficeJsObject(type_name="Range", object_id=3)
        assert repr(p) == "<OfficeJsObject Range id=3>"
        with pytest.raises(TypeError, match="unexpected keyword argument 'kind'"):
            pw.OfficeJsObject(1, kind="x")
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'type_name'"):
            pw.OfficeJsObject(1)
        with pytest.raises(TypeError, match="multiple values for argument 'object_id'"):
            pw.OfficeJsObject(1, "x", object_id=2)


class TestFailures:
    def test_refused_read_is_attribute_and_runtime_error(self, addin):
        addin.answer = lambda env: fail("The property 'foo' does not exist")
        with pytest.raises(AttributeError) as info:
            on_worker(lambda: pw.Excel.foo)
        assert isinstance(info.value, RuntimeError)
        assert info.value.args == ("The property 'foo' does not exist",)
        assert on_worker(lambda: getattr(pw.Excel, "foo", "fallback")) == "fallback"

    def test_refused_call_is_runtime_error(self, addin):
        addin.answer = lambda env: fail("bad call")
        with pytest.raises(RuntimeError) as info:
            on_worker(lambda: pw.Union(1))
        assert type(info.value) is RuntimeError and info.value.args == ("bad call",)

    def test_only_function_proxies_are_callable(self, addin):
        with pytest.raises(TypeError, match="^Only Function-typed SpecialObjects are callable$"):
            pw.Excel(1)
        assert addin.requests() == []

    @pytest.mark.parametrize("op, text, error_type", [
        (lambda p: p.foo, "GET failed for foo", AttributeError),
        (lambda p: p[1:3], "GET ITEM failed for slice(1, 3, None)", AttributeError),
        (lambda p: p[4], "GET ITEM failed for 4", AttributeError),
        (lambda p: setattr(p, "bar", 1), "SET failed for bar", AttributeError),
        (lambda p: p(), "CALL failed", RuntimeError),
    ])
    def test_unsuccessful_answer_that_comes_back(self, monkeypatch, op, text, error_type):
        stub = StubMessaging({"ok": False})
        monkeypatch.setattr(pw, "messaging", stub)
        p = pw.OfficeJsObject(8, "Function")
        with pytest.raises(error_type) as info:
            op(p)
        assert info.value.args == (text,)
        assert isinstance(info.value, RuntimeError)
        assert isinstance(info.value, AttributeError) == (error_type is AttributeError)
        stub.response = {"ok": 0, "error": {"message": "from the add-in"}}
        with pytest.raises(error_type, match="^from the add-in$"):
            op(p)
        stub.response = {"ok": False, "error": "bare text"}
        with pytest.raises(error_type, match="^bare text$"):
            op(p)
        assert len(stub.requests) == 3

    def test_answer_result_read_with_get(self, monkeypatch):
        monkeypatch.setattr(pw, "messaging", StubMessaging({"ok": True, "result": value(3)}))
        assert pw.Excel.anything == 3
        pw.messaging.response = {"ok": True}
        with pytest.raises(TypeError, match="^Argument 'wire' has incorrect type"):
            pw.Excel.anything
        pw.messaging.response = {"ok": True, "result": value(1)}
        assert pw.OfficeJsObject(1, "Excel").__setattr__("x", 5) is None

    def test_transport_errors_pass_through(self, addin):
        pw.messaging.set_send_handler(None)
        with pytest.raises(RuntimeError, match="^No send handler registered$"):
            pw.Excel.foo
        boom = OSError("channel closed")

        def broken(env):
            raise boom

        pw.messaging.set_send_handler(broken)
        with pytest.raises(OSError) as info:
            pw.Excel.foo = 1
        assert info.value is boom


class TestStaleness:
    def test_stale_proxy_refuses_every_operation_without_request(self, addin):
        p = pw.OfficeJsObject(50, "Function")
        pw.messaging.reset()
        for op in (lambda: p.values, lambda: p[0], lambda: setattr(p, "v", 1), lambda: p()):
            with pytest.raises(RuntimeError, match=f"^{STALE}$"):
                op()
        assert addin.requests() == []
        assert p._internal_id == 50 and repr(p) == "<OfficeJsObject Function id=50>"
        p._internal_id = 51
        assert addin.requests() == []

    def test_reset_restamps_all_five_roots(self, addin):
        addin.answer = lambda env: ok(value(1))
        old = pw.OfficeJsObject(60, "Function")
        for _ in range(2):
            pw.messaging.reset()
            for name in ["Context", "Excel", "GetSetting", "Union", "Intersect"]:
                assert getattr(pw, name)._msg_guid == pw.messaging._guid
        assert on_worker(lambda: (pw.Excel.name, pw.GetSetting("x"), pw.Union(1),
                                  pw.Intersect(1), pw.Context.sync)) == (1, 1, 1, 1, 1)
        assert len(addin.requests()) == 5
        with pytest.raises(RuntimeError, match=f"^{STALE}$"):
            old()

    def test_reset_survives_a_broken_root(self, monkeypatch):
        monkeypatch.setattr(pw, "Union", 5)
        pw.messaging.reset()
        assert pw.Intersect._msg_guid == pw.messaging._guid

    def test_staleness_reads_messaging_at_each_use(self, monkeypatch):
        stub = StubMessaging({"ok": True, "result": value(2)})
        stub._guid = "other"
        monkeypatch.setattr(pw, "messaging", stub)
        with pytest.raises(RuntimeError, match=f"^{STALE}$"):
            pw.Excel.x
        stub._guid = pw.Excel._msg_guid
        assert pw.Excel.x == 2


def names_of(tb):
    return [f.name for f in traceback.extract_tb(tb)]


class TestTracebackCleaning:
    def test_failed_get_has_no_cause_and_suppressed_context(self, addin):
        addin.answer = lambda env: fail("missing")

        def probe():
            try:
                raise KeyError("earlier")
            except KeyError:
                pw.Excel.foo

        with pytest.raises(AttributeError) as info:
            on_worker(probe)
        e = info.value
        assert e.__cause__ is None and e.__suppress_context__ is True
        assert isinstance(e.__context__, KeyError)
        assert not set(names_of(e.__traceback__)) & set(pw._internal_officejs_names)

    @pytest.mark.parametrize("global_name, op", [
        ("_cw__getattr__", lambda p: p.foo),
        ("_cw__getitem__", lambda p: p[0]),
        ("_cw__setattr__", lambda p: setattr(p, "foo", 1)),
        ("_cw__call__", lambda p: p(1, k=2)),
    ])
    def test_leading_internal_entries_dropped(self, monkeypatch, global_name, op):
        raised = []

        def inner_helper():
            raised.append(ValueError("deep"))
            raise raised[-1]

        def replacement(*args, **kwargs):
            inner_helper()

        # A Python stand-in whose frames carry the module function's name.
        replacement.__code__ = replacement.__code__.replace(co_name=global_name)
        monkeypatch.setattr(pw, global_name, replacement)
        p = pw.OfficeJsObject(5, "Function")
        with pytest.raises(ValueError) as info:
            op(p)
        assert info.value is raised[-1]
        names = names_of(info.value.__traceback__)
        assert global_name not in names and names[-1] == "inner_helper"
        assert info.value.__cause__ is None and info.value.__suppress_context__

        # The name list is read at each cleaning.
        monkeypatch.setattr(pw, "_internal_officejs_names",
                            pw._internal_officejs_names + ["inner_helper"])
        with pytest.raises(ValueError) as info:
            op(p)
        assert names_of(info.value.__traceback__)[-1] not in ("inner_helper", global_name)

    def test_errors_raised_deeper_keep_their_entries(self, addin):
        def broken_handler(env):
            raise LookupError("channel")

        pw.messaging.set_send_handler(broken_handler)
        with pytest.raises(LookupError) as info:
            pw.Excel.foo
        assert names_of(info.value.__traceback__)[-1] == "broken_handler"

    def test_keyboard_interrupt_passes_unchanged(self, monkeypatch):
        def _cw__getattr__(self, name):
            raise KeyboardInterrupt

        monkeypatch.setattr(pw, "_cw__getattr__", _cw__getattr__)
        with pytest.raises(KeyboardInterrupt) as info:
            pw.Excel.foo
        assert "_cw__getattr__" in names_of(info.value.__traceback__)
        assert info.value.__suppress_context__ is False

    def test_dunders_look_module_functions_up_at_each_use(self, monkeypatch):
        calls = []
        monkeypatch.setattr(pw, "_cw__getitem__", lambda self, index: calls.append(index) or 9)
        monkeypatch.setattr(pw, "_cw__call__", lambda self, *a, **k: (a, k))
        assert pw.Excel["x"] == 9 and calls == ["x"]
        assert pw.Excel(1, b=2) == ((1,), {"b": 2})


def test_requests_from_many_threads(addin):
    addin.answer = lambda env: ok(value(env["caller"] * 10))
    proxies = [pw.OfficeJsObject(i, "Range") for i in range(100, 120)]
    results = [None] * len(proxies)

    def read(i):
        results[i] = [proxies[i].rowCount for _ in range(5)]

    threads = [threading.Thread(target=read, args=(i,)) for i in range(len(proxies))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    assert results == [[p._internal_id * 10] * 5 for p in proxies]
    assert pw.messaging.waiters == {}


def test_refcounts_stable_over_round_trips(addin):
    addin.answer = lambda env: ok(value("v"))
    name = "".join(["val", "ues"])
    p = pw.OfficeJsObject(3, "Function")
    getattr(p, name)  # the type's attribute cache keeps one reference to the name
    p(1, x=2)  # the listener holds on to the last request it answered
    addin.envelopes.clear()
    before = (sys.getrefcount(p), sys.getrefcount(name))
    for _ in range(200):
        p.values
        getattr(p, name)
        p.values = 1
        p[1:2]
        p(1, x=2)
    addin.envelopes.clear()
    assert (sys.getrefcount(p), sys.getrefcount(name)) == before
