"""OfficeJsArray and OfficeJsDict: local snapshots that still read remotely and release."""
import pytest

from fake_addin import fail, ok, serving, value, wait_for_releases
from quorvel_master.python_server.quorvel import proxwire as pw

STALE = "Excel Object used after messaging context was stopped"
CALLABLE = "^Only Function-typed SpecialObjects are callable$"


@pytest.fixture
def addin():
    with serving(lambda env: ok(value("remote"))) as a:
        yield a


@pytest.mark.parametrize("cls, base, name, typ", [
    (pw.OfficeJsArray, list, "Array", "officejs_array"),
    (pw.OfficeJsDict, dict, "Dict", "officejs_dict"),
])
class TestBoth:
    def test_constructor(self, cls, base, name, typ):
        c = cls(0)
        assert isinstance(c, base) and not isinstance(c, pw.OfficeJsObject) and len(c) == 0
        assert list(vars(c).items()) == [
            ("_internal_id", 0), ("_internal_typeName", name), ("_msg_guid", pw.messaging._guid),
            ("_typ", typ), ("_internal_cache", {}),
        ]
        assert cls(object_id=3)._internal_id == 3
        for bad in (None, True, 1.5, "1"):
            with pytest.raises(TypeError, match="^Argument 'object_id' has incorrect type"):
                cls(bad)

    def test_remote_read_with_own_id(self, addin, cls, base, name, typ):
        c = cls(12)
        assert c.rowCount == "remote"
        assert addin.requests() == [{"method": "GET", "name": "rowCount", "caller": 12}]
        assert (c._typ, c._internal_typeName) == (typ, name)

    def test_refused_remote_read(self, addin, cls, base, name, typ):
        addin.answer = lambda env: fail("gone")
        assert getattr(cls(12), "missing", None) is None

    def test_call_refused_without_request(self, addin, cls, base, name, typ):
        with pytest.raises(TypeError, match=CALLABLE):
            cls(4)(1, x=2)
        assert addin.requests() == []

    def test_local_operations_after_reset(self, addin, cls, base, name, typ):
        c = cls(5)
        if base is list:
            c.extend([1, 2, 3])
        else:
            c.update({"a": 1, "b": 2})
        pw.messaging.reset()
        assert len(c) in (2, 3) and list(iter(c)) and c[1 if base is list else "a"] is not None
        assert c == base(c) and repr(c)
        with pytest.raises(RuntimeError, match=f"^{STALE}$"):
            c.remote
        with pytest.raises(RuntimeError, match=f"^{STALE}$"):
            c()
        assert addin.requests() == []


class TestArray:
    def test_attribute_writes_refused(self, addin):
        arr = pw.OfficeJsArray(1)
        for name in ("values", "_internal_id", "_internal_cache"):
            with pytest.raises(AttributeError, match="^Cannot set attributes on OfficeJsArray$"):
                setattr(arr, name, 1)
        with pytest.raises(TypeError, match="^Argument 'name' has incorrect type"):
            pw.OfficeJsArray.__setattr__(arr, 3, 1)
        assert arr._internal_id == 1 and addin.requests() == []

    def test_snapshot_is_a_list(self, addin):
        arr = pw.OfficeJsArray(2)
        arr.extend(["a", "b", "c"])
        arr[0] = "z"
        assert arr[1:] == ["b", "c"] and arr.index("c") == 2 and arr.pop() == "c"
        assert repr(arr) == "<OfficeJsArray id=2 len=2>" and addin.requests() == []

    def test_sent_back_as_data(self, addin):
        arr = pw.OfficeJsArray(2)
        arr.extend([1, 2])
        pw.Excel.values = arr
        assert addin.requests()[0]["value"] == value([1, 2])


class TestDict:
    def test_keys_as_attributes(self, addin):
        d = pw.OfficeJsDict(7)
        d.update({"a": 1, "keys": "shadowed"})
        assert d.a == 1
        d.a = 2
        assert d["a"] == 2
        assert callable(d.keys) and d["keys"] == "shadowed"
        with pytest.raises(AttributeError, match="^Cannot set attributes on OfficeJsDict$"):
            d.b = 3
        with pytest.raises(AttributeError, match="^Cannot set attributes on OfficeJsDict$"):
            d._internal_id = 3
        assert "b" not in d and addin.requests() == []
        assert d.b == "remote"
        assert addin.requests() == [{"method": "GET", "name": "b", "caller": 7}]

    def test_internal_name_key_writable_through_the_snapshot(self, addin):
        d = pw.OfficeJsDict(7)
        d["_internal_id"] = "key"
        d._internal_id = "changed"
        assert d["_internal_id"] == "changed" and vars(d)["_internal_id"] == 7

    def test_repr(self):
        d = pw.OfficeJsDict(7)
        assert repr(d) == "<OfficeJsDict id=7 keys=[]>"
        d.update({"a": 1, "b": 2})
        assert repr(d) == "<OfficeJsDict id=7 keys=['a', 'b']>"


def test_release_sends_del_with_container_id(addin):
    pw.OfficeJsArray(31)
    pw.OfficeJsDict(32)
    wait_for_releases(addin.envelopes, 31, 32)
    dels = [r for r in addin.requests(include_del=True) if r["caller"] in (31, 32)]
    assert dels == [{"method": "DEL", "name": "__del__", "caller": 31},
                    {"method": "DEL", "name": "__del__", "caller": 32}]
