"""Round trips of random nested plain values through the wire format, and strict JSON
for every wire value the serializer produces."""

import datetime as dt
import json
import math

from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel_master.python_server.quorvel import proxwire

Serializer = proxwire.Serializer

UTC = dt.timezone.utc
zones = st.sampled_from(
    [UTC, dt.timezone(dt.timedelta(hours=5, minutes=30)), dt.timezone(dt.timedelta(hours=-11))]
)
moments = st.datetimes(min_value=dt.datetime(2, 1, 1), max_value=dt.datetime(9998, 12, 31))
bytes_likes = st.binary(max_size=40).flatmap(
    lambda b: st.sampled_from([b, bytearray(b), memoryview(b)])
)
leaves = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats()
    | st.text(max_size=20)
    | bytes_likes
    | st.dates()
    | moments
    | moments.flatmap(lambda m: zones.map(lambda z: m.replace(tzinfo=z)))
)
values = st.recursive(
    leaves,
    lambda inner: st.lists(inner, max_size=5)
    | st.lists(inner, max_size=5).map(tuple)
    | st.dictionaries(st.text(max_size=5) | st.integers(), inner, max_size=5),
    max_leaves=20,
)


def predicted(value):
    """What the rules say comes back after a trip to the add-in and back."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return None if math.isnan(value) else value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, dt.datetime):
        return value.astimezone(UTC) if value.tzinfo else value
    if isinstance(value, dt.date):
        return dt.datetime(value.year, value.month, value.day)
    if isinstance(value, (list, tuple)):
        return [predicted(v) for v in value]
    return {k: predicted(v) for k, v in value.items()}


def as_answered(wire, ids=iter(range(100, 10**9))):
    """The wire value as the add-in hands it back, arrays and dicts carrying their IDs."""
    if wire["type"] == "Array":
        return dict(wire, id=next(ids), value=[as_answered(x) for x in wire["value"]])
    if wire["type"] == "Dict":
        return dict(wire, id=next(ids), value={k: as_answered(x) for k, x in wire["value"].items()})
    return wire


def has_infinity(value):
    if isinstance(value, float):
        return math.isinf(value)
    if isinstance(value, (list, tuple)):
        return any(has_infinity(v) for v in value)
    if isinstance(value, dict):
        return any(has_infinity(v) for v in value.values())
    return False


def same(a, b):
    """Equality that also holds the types apart (True is not 1, a datetime not a date)."""
    if isinstance(b, list):
        return isinstance(a, list) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(b, dict):
        return isinstance(a, dict) and list(a) == list(b) and all(same(a[k], b[k]) for k in b)
    return type(a) is type(b) and a == b


@settings(max_examples=120, deadline=None)
@given(values)
def test_round_trip_gives_the_predicted_value(value):
    wire = Serializer.to_wire(value)
    back = Serializer.from_wire(as_answered(wire))
    assert same(back, predicted(value))
    if not has_infinity(value):
        json.dumps(wire, allow_nan=False)
