"""numpy arrays, pandas indexes and extension arrays on the wire: "Array"s nested by
dimension with each cell by the scalar rules, and round trips through the simulated add-in."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

from addin_sim import SimulatedAddin
from quorvel_master.python_server.quorvel import proxwire

to_wire = proxwire.Serializer.to_wire

pytestmark = pytest.mark.timeout(120, method="thread")


def w(tag, value):
    return {"type": tag, "value": value, "isSpec": False}


def arr(*items):
    return w("Array", list(items))


NULL = w("Null", None)


def ints(*values):
    return arr(*(w("Int", v) for v in values))


class TestShapes:
    def test_nested_by_dimension(self):
        assert to_wire(np.array([1, 2, 3])) == ints(1, 2, 3)
        assert to_wire(np.arange(4).reshape(2, 2)) == arr(ints(0, 1), ints(2, 3))
        cube = np.arange(8).reshape(2, 2, 2)
        assert to_wire(cube) == to_wire(cube.tolist())

    @pytest.mark.parametrize(
        "shape, expected",
        [((0,), arr()), ((2, 0), arr(arr(), arr())), ((0, 3), arr()), ((1, 0, 2), arr(arr()))],
    )
    def test_empty(self, shape, expected):
        assert to_wire(np.zeros(shape)) == expected

    def test_zero_dimensional_as_its_scalar(self):
        assert to_wire(np.array(5)) == w("Int", 5)
        assert to_wire(np.array(np.nan)) == NULL
        assert to_wire(np.array("x")) == w("String", "x")
        assert to_wire(np.array({"k": 1}, dtype=object)) == w("Dict", {"k": w("Int", 1)})

    def test_views_read_in_their_own_order(self):
        base = np.arange(12).reshape(3, 4)
        for view in (base.T, base[::-1, ::2], base[:, 1], np.asfortranarray(base)):
            assert to_wire(view) == to_wire(view.tolist())


class TestCells:
    @pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16",
                                       "uint32", "uint64", ">i4", "<u2"])
    def test_integers_at_their_limits(self, dtype):
        info = np.iinfo(dtype)
        got = to_wire(np.array([info.min, 0, info.max], dtype=dtype))
        assert got == ints(int(info.min), 0, int(info.max))
        assert all(type(c["value"]) is int for c in got["value"])

    @pytest.mark.parametrize("dtype", ["float16", "float32", "float64", ">f8", "longdouble"])
    def test_floats_with_missing_cells(self, dtype):
        values = np.array([0.5, np.nan, -np.inf, 1e-3], dtype=dtype)
        cells = to_wire(values)["value"]
        assert cells[1] == NULL
        assert [c["value"] for c in cells if c["type"] == "Float"] == [
            float(values[0]), float(values[2]), float(values[3])]
        assert all(type(c["value"]) is float for c in cells if c["type"] == "Float")

    def test_bools_strings_bytes_complex_and_durations(self):
        assert to_wire(np.array([True, False])) == arr(w("Bool", True), w("Bool", False))
        assert to_wire(np.array(["a", "bc"])) == arr(w("String", "a"), w("String", "bc"))
        assert to_wire(np.array([b"hi"])) == arr(w("Bytes", "aGk="))
        assert to_wire(np.array([1 + 2j])) == arr(w("String", "(1+2j)"))
        assert to_wire(np.array([5, "NaT"], dtype="m8[D]")) == arr(w("String", "5 days"), NULL)

    def test_objects_by_their_own_rules(self):
        inner = np.array([1.5, np.nan])
        cells = np.array([None, "x", 2, {"k": [1]}, inner, dt.date(2024, 1, 2)], dtype=object)
        assert to_wire(cells) == arr(
            NULL, w("String", "x"), w("Int", 2), w("Dict", {"k": ints(1)}),
            arr(w("Float", 1.5), NULL), w("Date", "2024-01-02"))

    def test_dates_with_missing_cells(self):
        got = to_wire(np.array(["2024-01-02T03:04:05", "NaT"], dtype="M8[s]"))
        assert got == arr(w("Date", "2024-01-02T03:04:05"), NULL)

    @pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
    def test_masked_cells_are_null_and_subclasses_go_as_arrays(self):
        masked = np.ma.array([[1, 2], [3, 4]], mask=[[0, 1], [1, 0]])
        assert to_wire(masked) == arr(arr(w("Int", 1), NULL), arr(NULL, w("Int", 4)))
        assert to_wire(np.ma.masked) == NULL
        assert to_wire(np.matrix([[1, 2], [3, 4]])) == arr(ints(1, 2), ints(3, 4))

    def test_self_containing_object_array_raises_recursion_error(self):
        cell = np.empty((), dtype=object)
        cell[()] = cell
        with pytest.raises(RecursionError):
            to_wire(cell)

    def test_array_changed_while_converting_is_refused(self):
        cells = np.array([None, None, None], dtype=object)

        class Shrinks:
            def __str__(self):
                cells.resize(1, refcheck=False)
                return "shrinks"

        cells[0] = Shrinks()
        with pytest.raises(RuntimeError, match="array changed size during conversion"):
            to_wire(cells)

    def test_nested_cells_go_through_a_replaced_to_wire(self, monkeypatch):
        seen = []
        original = proxwire.Serializer.to_wire

        def spy(value):
            seen.append(type(value).__name__)
            return original(value)

        monkeypatch.setattr(proxwire.Serializer, "to_wire", staticmethod(spy))
        assert original(np.array([[1, 2]])) == arr(ints(1, 2))
        assert seen == ["ndarray", "int64", "int64"]


class TestPandasArrays:
    def test_indexes(self):
        assert to_wire(pd.RangeIndex(3)) == ints(0, 1, 2)
        assert to_wire(pd.Index(["a", None])) == arr(w("String", "a"), NULL)
        assert to_wire(pd.MultiIndex.from_tuples([(1, "x")])) == arr(arr(w("Int", 1),
                                                                          w("String", "x")))
        naive = pd.DatetimeIndex(["2024-01-02", None])
        assert to_wire(naive) == arr(w("Date", "2024-01-02T00:00:00.000000000"), NULL)
        zoned = pd.DatetimeIndex(["2024-01-02 10:00"], tz="Europe/Paris")
        assert to_wire(zoned) == arr(w("Date", "2024-01-02T09:00:00+00:00"))

    def test_extension_arrays(self):
        assert to_wire(pd.array([1, None], dtype="Int64")) == arr(w("Int", 1), NULL)
        assert to_wire(pd.array([True, None], dtype="boolean")) == arr(w("Bool", True), NULL)
        assert to_wire(pd.array(["s", None], dtype="string")) == arr(w("String", "s"), NULL)
        assert to_wire(pd.Categorical(["b", None, "a"])) == arr(w("String", "b"), NULL,
                                                                w("String", "a"))
        assert to_wire(pd.period_range("2024-01", periods=1, freq="M").array) == arr(
            w("String", "2024-01"))

    def test_series_and_frames_keep_their_header(self):
        assert to_wire(pd.Series([1, 2], name="n")) == arr(arr(w("String", "n")), ints(1), ints(2))
        frame = pd.DataFrame({"a": np.array([1, 2], dtype="int8"), "b": np.array([3, 4], "int8")})
        assert to_wire(frame) == arr(arr(w("String", "a"), w("String", "b")), ints(1, 3),
                                     ints(2, 4))


@pytest.fixture
def addin():
    with SimulatedAddin() as sim:
        yield sim


def echo(value):
    return proxwire.Context.echo(value)


class TestRoundTrips:
    """What the add-in receives comes back as it was sent, as plain nested lists."""

    @pytest.mark.parametrize(
        "array",
        [
            np.array([1, 2, 3]),
            np.array([[0.5, np.nan], [2.0, -1.5]]),
            np.arange(8).reshape(2, 2, 2),
            np.zeros((0,)),
            np.zeros((2, 0)),
            np.array([None, "x", 2.5, [1, 2]], dtype=object),
            np.array(["2024-01-02T03:04:05.123456", "NaT"], dtype="M8[us]"),
        ],
        ids=["1-D", "2-D with NaN", "3-D", "empty", "empty rows", "object", "dates"],
    )
    def test_echo(self, addin, array):
        def plain(x):
            if isinstance(x, list):
                return [plain(item) for item in x]
            return None if isinstance(x, float) and np.isnan(x) else x

        back = echo(array)
        assert isinstance(back, proxwire.OfficeJsArray)
        assert back == plain(array.tolist())

    def test_dates_finer_than_microseconds_and_beyond_year_9999_stay_dates(self, addin):
        fine = np.array(["2024-01-02T03:04:05.123456789"], dtype="M8[ns]")
        far = np.datetime64("20000-01-01")
        # from_wire keeps what datetime holds, or the text itself.
        assert echo(fine) == [dt.datetime(2024, 1, 2, 3, 4, 5, 123456)]
        assert echo(far) == "+020000-01-01T00:00:00"
        for value in (fine[0], far):
            sent = to_wire(value)
            assert addin.handler.encode(addin.handler.decode(sent)) == sent

    def test_range_values_from_a_2d_array(self, addin):
        rng = proxwire.Excel.workbook.worksheets.getItem("Sheet1").getRange("A1:C2")
        rng.values = np.array([[1.5, np.nan, 3.0], [4.0, 5.0, 6.0]])
        assert rng.values == [[1.5, "", 3.0], [4.0, 5.0, 6.0]]  # a missing cell is empty
        rng.values = pd.DataFrame({"a": [1], "b": [2], "c": [3]})
        assert rng.values == [["a", "b", "c"], [1, 2, 3]]
