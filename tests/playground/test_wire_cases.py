"""The wire cases the page's JavaScript is tested against, checked here against the Serializer,
so that both ends of the playground read and write the same wire values."""

import datetime
import json
import math
import os
import re

import pytest

from quorvel_master.python_server.quorvel import proxwire as pw

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
with open(os.path.join(ROOT, "playground", "tests", "wire_cases.json"), encoding="utf-8") as f:
    CASES = json.load(f)["cases"]


class Callable:
    """Stands for a callable: what `to_wire` registers and what the check compares."""


def build(desc):
    """A case's value description as the Python value it stands for."""
    if isinstance(desc, list):
        return [build(d) for d in desc]
    if not isinstance(desc, dict):
        return desc
    if len(desc) == 1 and next(iter(desc)).startswith("$"):
        (key, arg), = desc.items()
        if key == "$bytes":
            return bytes(arg)
        if key == "$date":
            try:
                return datetime.datetime.fromisoformat(arg)
            except ValueError:
                return arg  # what from_wire answers for a text it cannot read
        if key == "$float":
            return float(arg)
        if key == "$ref":
            return pw.OfficeJsObject(arg[1], arg[0])
        if key == "$callable":
            return Callable()
        raise AssertionError(f"no Python value for {key}")
    return {k: build(v) for k, v in desc.items()}


def sent(desc):
    """The Python value whose to_wire should give the case's wire value."""
    if isinstance(desc, dict) and set(desc) == {"$date"}:
        text = desc["$date"]
        return (datetime.date if len(text) == 10 else datetime.datetime).fromisoformat(text)
    if isinstance(desc, list):
        return [sent(d) for d in desc]
    if isinstance(desc, dict) and not (len(desc) == 1 and next(iter(desc)).startswith("$")):
        return {k: sent(v) for k, v in desc.items()}
    return build(desc)


def same(got, want):
    """Equality that tells True from 1 and 1 from 1.0, and reads NaN as equal to NaN."""
    if isinstance(want, pw.OfficeJsObject):
        return (type(got) is pw.OfficeJsObject and got._internal_id == want._internal_id
                and got._internal_typeName == want._internal_typeName)
    if isinstance(want, list):
        return (isinstance(got, list) and len(got) == len(want)
                and all(same(g, w) for g, w in zip(got, want)))
    if isinstance(want, dict):
        return (isinstance(got, dict) and list(got) == list(want)
                and all(same(got[k], w) for k, w in want.items()))
    if isinstance(want, float) and math.isnan(want):
        return isinstance(got, float) and math.isnan(got)
    return type(got) is type(want) and got == want


def without_ids(wire):
    if isinstance(wire, list):
        return [without_ids(w) for w in wire]
    if isinstance(wire, dict):
        return {k: without_ids(v) for k, v in wire.items() if k != "id"}
    return wire


def cases(way):
    for case in CASES:
        if way in case.get("pyWays", case.get("ways", ["from", "to"])):
            yield pytest.param(case, id=case["name"])


def wire_of(case):
    return json.loads(case["wireText"]) if "wireText" in case else case["wire"]


def desc_of(case):
    return case["py"] if "py" in case else case["value"]


@pytest.mark.parametrize("case", cases("from"))
def test_from_wire(case):
    desc = desc_of(case)
    if isinstance(desc, dict) and "$error" in desc:
        with pytest.raises(Exception):
            pw.Serializer.from_wire(wire_of(case))
        return
    got = pw.Serializer.from_wire(wire_of(case))
    assert same(got, build(desc)), got


@pytest.mark.parametrize("case", cases("to"))
def test_to_wire(case):
    value = sent(desc_of(case))
    wire = without_ids(wire_of(case))
    if isinstance(value, Callable):
        got = pw.Serializer.to_wire(lambda: None)
        pw.messaging.unregister_callable(got["value"])
        assert (got["type"], got["isSpec"]) == ("Python_Function", True)
        assert re.fullmatch(r"pyfunc_[0-9a-f]{8}_\d+", got["value"])
        return
    got = pw.Serializer.to_wire(value)
    assert same(got, wire), got
    assert list(got) == ["type", "value", "isSpec"]


def test_case_names_are_unique():
    names = [c["name"] for c in CASES]
    assert len(names) == len(set(names))
