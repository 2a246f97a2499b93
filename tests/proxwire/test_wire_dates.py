"""datetime64 on the wire: the exact ISO 8601 text of the instant for every unit over the whole
range numpy holds, checked against numpy's own calendar (never against pandas)."""

import numpy as np
import pytest

from quorvel_master.python_server.quorvel import proxwire

to_wire = proxwire.Serializer.to_wire

UNITS = ["Y", "M", "W", "D", "h", "m", "s", "ms", "us", "ns", "ps", "fs", "as"]
FRACTION_DIGITS = {"ms": 3, "us": 6, "ns": 9, "ps": 12, "fs": 15, "as": 18}
SECONDS = {"W": 7 * 86400, "D": 86400, "h": 3600, "m": 60, "s": 1}
CYCLE_DAYS = 146097  # the Gregorian calendar repeats every 400 years

EDGES = [2**63 - 1, -(2**63) + 1, 2**62, -(2**62), 2**60, -(2**60), 0, 1, -1, 10**6 + 7]


def year_text(year):
    return f"{year:04d}" if 1 <= year <= 9999 else f"{'-' if year < 0 else '+'}{abs(year):06d}"


def numpy_date(days):
    """(year, month, day) of a day count, by numpy's calendar within one 400-year cycle."""
    cycles, day = divmod(days, CYCLE_DAYS)
    year, month, mday = (int(p) for p in str(np.datetime64(day, "D")).split("-"))
    return year + 400 * cycles, month, mday


def expected(value, unit, count=1):
    total = value * count
    if unit == "Y":
        return f"{year_text(1970 + total)}-01-01T00:00:00"  # numpy's own year wraps at the top
    if unit == "M":
        # numpy's own month arithmetic, which holds over the whole range
        text = np.datetime_as_string(np.datetime64(total, unit))
        sign = -1 if text.startswith("-") else 1
        year, _, month = text.lstrip("-").partition("-")
        return f"{year_text(sign * int(year))}-{int(month or 1):02d}-01T00:00:00"
    if unit in SECONDS:
        seconds, fraction = total * SECONDS[unit], None
    else:
        seconds, fraction = divmod(total, 10 ** FRACTION_DIGITS[unit])
    days, in_day = divmod(seconds, 86400)
    year, month, mday = numpy_date(days)
    text = (f"{year_text(year)}-{month:02d}-{mday:02d}"
            f"T{in_day // 3600:02d}:{in_day // 60 % 60:02d}:{in_day % 60:02d}")
    if fraction is not None:
        text += "." + str(fraction).zfill(FRACTION_DIGITS[unit])
    return text


def date_text(value):
    got = to_wire(value)
    assert got["type"] == "Date" and type(got["value"]) is str
    return got["value"]


@pytest.mark.parametrize("unit", UNITS)
def test_every_unit_over_its_whole_range(unit):
    for value in EDGES:
        assert date_text(np.datetime64(value, unit)) == expected(value, unit), (value, unit)


@pytest.mark.parametrize("unit", UNITS)
def test_arrays_give_the_scalars_texts(unit):
    values = np.array(EDGES + [np.iinfo(np.int64).min], dtype=np.int64).view(f"M8[{unit}]")
    cells = to_wire(values)["value"]
    assert [c["value"] for c in cells[:-1]] == [expected(v, unit) for v in EDGES]
    assert cells[-1] == {"type": "Null", "value": None, "isSpec": False}  # NaT


@pytest.mark.parametrize("unit", UNITS)
def test_numpy_writes_the_same_instant_within_its_own_range(unit):
    # Moderate values, where numpy's own text is exact: the same digits, ours padded.
    for value in (0, 1, -1, 123456789, -987654321):
        ours = date_text(np.datetime64(value, unit))
        theirs = np.datetime_as_string(np.datetime64(value, unit))
        year, _, rest = theirs.lstrip("-").partition("-")
        sign = -1 if theirs.startswith("-") else 1
        assert ours.startswith(year_text(sign * int(year)) + ("-" + rest if rest else ""))


def test_the_reported_wraps_are_exact():
    assert date_text(np.datetime64(2**62, "s")) == "+146138514283-06-19T07:45:04"
    assert date_text(np.datetime64(2**60, "D")) == "+3156591865972789-04-28T00:00:00"
    assert date_text(np.datetime64("20000-01-01")) == "+020000-01-01T00:00:00"
    assert date_text(np.datetime64("-2100-08-13T20", "h")) == "-002100-08-13T20:00:00"
    assert date_text(np.datetime64(0, "Y") - np.timedelta64(1970, "Y")) == "+000000-01-01T00:00:00"


def test_units_finer_than_nanoseconds_are_not_rescaled():
    assert date_text(np.datetime64(5, "ps")) == "1970-01-01T00:00:00.000000000005"
    assert date_text(np.datetime64(-1, "fs")) == "1969-12-31T23:59:59.999999999999999"
    assert date_text(np.datetime64("2024-03-01T10:00:00.123456789", "ns")) == \
        "2024-03-01T10:00:00.123456789"
    assert date_text(np.datetime64("2024-03-01T10:00", "ms")) == "2024-03-01T10:00:00.000"


@pytest.mark.parametrize("unit, count", [("ms", 10), ("D", 7), ("M", 3), ("Y", 100), ("as", 1000)])
def test_multiples_of_a_unit(unit, count):
    for value in (0, 5, -5, 2**40):
        scalar = np.array([value], dtype=np.int64).view(f"M8[{count}{unit}]")[0]
        assert date_text(scalar) == expected(value, unit, count)


@pytest.mark.parametrize("unit", UNITS)
def test_not_a_time_is_null(unit):
    assert to_wire(np.datetime64("NaT", unit)) == {"type": "Null", "value": None, "isSpec": False}
