"""The callable registry: IDs handed to the add-in for Python callables."""
import functools
import re

import pytest

from quorvel_master.python_server.quorvel import proxwire as pw


class CallMe:
    def __call__(self):
        return 1

    def method(self):
        return 2


def test_ids_carry_the_context_prefix_and_a_counter():
    m = pw.messaging
    first, second = m.register_callable(print), m.register_callable(print)
    prefix = "pyfunc_" + m._guid[:8] + "_"
    assert (first, second) == (prefix + "1", prefix + "2")
    assert re.fullmatch(r"pyfunc_[0-9a-f]{8}_1", first)
    assert m.get_callable(first) is print and m.get_callable(second) is print
    assert m._next_callable_id == 3 and len(m._callable_registry) == 2


@pytest.mark.parametrize("obj", [CallMe, CallMe(), CallMe().method, lambda: 0, len,
                                 functools.partial(print, 1)])
def test_any_callable_is_accepted(obj):
    cid = pw.messaging.register_callable(obj)
    assert pw.messaging.get_callable(cid) is obj


@pytest.mark.parametrize("obj, name", [(5, "int"), (None, "NoneType"), ("f", "str"),
                                       (pytest.importorskip("numpy").zeros(2), "ndarray")])
def test_non_callable_is_refused_without_using_an_id(obj, name):
    before = pw.messaging._next_callable_id
    with pytest.raises(TypeError) as info:
        pw.messaging.register_callable(obj)
    assert str(info.value) == "Object must be callable, got " + name
    assert pw.messaging._next_callable_id == before and pw.messaging._callable_registry == {}


def test_unknown_ids_and_unregister():
    m = pw.messaging
    assert m.get_callable("pyfunc_00000000_1") is None
    assert m.unregister_callable("pyfunc_00000000_1") is None
    cid = m.register_callable(len)
    assert m.unregister_callable(cid) is None
    assert m.get_callable(cid) is None and m._callable_registry == {}


@pytest.mark.parametrize("method", ["get_callable", "unregister_callable"])
def test_callable_id_must_be_exactly_a_str(method):
    class Text(str):
        pass

    cid = pw.messaging.register_callable(len)
    fn = getattr(pw.messaging, method)
    with pytest.raises(TypeError, match=r"^Argument 'callable_id' has incorrect type "
                                        r"\(expected str, got int\)$"):
        fn(1)
    with pytest.raises(TypeError, match=r"got Text\). Note: subclasses of str are refused"):
        fn(Text(cid))
    assert pw.messaging.get_callable(cid) is len


def test_reset_forgets_callables_and_restarts_ids():
    m = pw.messaging
    old = m.register_callable(len)
    m.reset()
    assert m.get_callable(old) is None
    new = m.register_callable(len)
    assert new.endswith("_1") and new[:16] != old[:16]


def test_registry_keeps_a_strong_reference():
    import gc
    import weakref

    obj = CallMe()
    ref = weakref.ref(obj)
    cid = pw.messaging.register_callable(obj)
    del obj
    gc.collect()
    assert ref() is not None and pw.messaging.get_callable(cid) is ref()
