"""pandas columns of every common dtype, with nulls, through a frame and back."""

from datetime import date, time, timedelta, timezone
from decimal import Decimal

import numpy as np
import pytest

import pyvorl

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

NULL_BITS = b"\x05"  # rows 0 and 2 valid, row 1 missing
STAMPS = [0, None, 1_700_000_000_123_456]
HOUR = timedelta(hours=1)


def arrow(values, kind):
    return pd.arrays.ArrowExtensionArray(pa.array(values, kind))


# name -> (column with a null at row 1, whether that null is a value the frame carries as it is)
CASES = {
    "Int8": (pd.array([-128, None, 127], "Int8"), False),
    "UInt64": (pd.array([2**64 - 1, None, 0], "UInt64"), False),
    "Float32, NaN a value": (pd.arrays.FloatingArray(np.array([np.nan, 0, 2], "f4"), np.array([0, 1, 0], bool)), False),
    "boolean": (pd.array([True, None, False], "boolean"), False),
    "string": (pd.array(["a", None, ""], "string"), False),
    "string[python]": (pd.array(["a", None, ""], pd.StringDtype("python")), False),
    "str": (pd.array(["a", None, "ü"], "str"), False),
    "str[python]": (pd.array(["a", None, "ü"], pd.StringDtype("python", np.nan)), False),
    "object texts": (pd.Series(["a", None, ""], dtype=object), False),
    "object bytes": (pd.Series([b"\0", None, b""], dtype=object), False),
    "object dates": (pd.Series([date(2024, 2, 29), None, date(1, 1, 1)], dtype=object), False),
    "category": (pd.Categorical(["b", None, "a"], categories=["b", "z", "a"], ordered=True), False),
    "float64 NaN": (np.array([1.0, np.nan, 2.0]), True),
    "datetime64 NaT": (np.array([0, "NaT", 5], "M8[ns]"), True),
    "timedelta64 NaT": (np.array([0, "NaT", 5], "m8[s]"), True),
    "tz-aware NaT": (pd.Series(np.array([0, "NaT", 5], "M8[us]")).dt.tz_localize("Asia/Tokyo"), True),
    "int64[pyarrow]": (arrow([-(2**63), None, 2**63 - 1], pa.int64()), False),
    "double[pyarrow]": (arrow([np.nan, None, -0.5], pa.float64()), False),
    "bool[pyarrow]": (arrow([True, None, False], pa.bool_()), False),
    "string[pyarrow]": (arrow(["a", None, ""], pa.string()), False),
    "large_string[pyarrow]": (arrow(["a", None, ""], pa.large_string()), False),
    "binary[pyarrow]": (arrow([b"\0", None, b""], pa.binary()), False),
    "timestamp tz[pyarrow]": (arrow(STAMPS, pa.timestamp("us", "Europe/Paris")), False),
    "timestamp offset[pyarrow]": (arrow(STAMPS, pa.timestamp("ns", "+05:30")), False),
    "date32[pyarrow]": (arrow([date(2024, 2, 29), None, date(1, 1, 1)], pa.date32()), False),
    "date64[pyarrow]": (arrow([date(2024, 2, 29), None, date(1970, 1, 1)], pa.date64()), False),
    "time64[pyarrow]": (arrow([time(23, 59, 59, 999_999), None, time(0)], pa.time64("us")), False),
    "time32[pyarrow]": (arrow([time(23, 59, 59), None, time(0)], pa.time32("ms")), False),
    "duration[pyarrow]": (arrow([-1, None, 2**62], pa.duration("ns")), False),
    "decimal128[pyarrow]": (arrow([Decimal("-99999999.99"), None, Decimal("0.01")], pa.decimal128(10, 2)), False),
    "dictionary[pyarrow]": (pd.arrays.ArrowExtensionArray(pa.array(["b", None, "a"]).dictionary_encode()), False),
}


def round_trip(frame):
    return pyvorl.loads(pyvorl.dumps(frame))


@pytest.mark.parametrize("case", list(CASES))
def test_every_dtype_comes_back_with_its_nulls(case):
    column, null_is_a_value = CASES[case]
    frame = pd.DataFrame({"x": column})
    table = round_trip(frame)
    pd.testing.assert_series_equal(table.to_pandas()["x"], frame["x"])
    assert table.schema.fields.get("x", {}).get("pyvorl.validity") == (None if null_is_a_value else NULL_BITS)


@pytest.mark.parametrize("dtype", ["str", "string[pyarrow]"])
def test_pyarrow_strings_come_back_from_the_decoded_buffers(dtype):
    frame = pd.DataFrame({"x": pd.array(["a", None, "ü"], dtype)})
    table = round_trip(frame)
    pd.testing.assert_frame_equal(table.to_pandas(), frame)
    assert table._text_buffers("x") is not None  # pandas got them without an object array


def test_every_null_of_an_object_column_comes_back_as_none_and_keys_say_the_arrow_type():
    frame = pd.DataFrame({"o": pd.Series(["a", np.nan, pd.NA, None], dtype=object)})
    assert round_trip(frame).to_pandas()["o"].tolist() == ["a", None, None, None]
    table = round_trip(pd.DataFrame({"d": CASES["object dates"][0], "p": CASES["decimal128[pyarrow]"][0]}))
    assert table["d"].dtype == np.dtype("M8[D]") and table.schema.fields["d"]["pyvorl.arrow_type"] == "tdD"
    assert table.decimals == {"p": 2} and table["p"].tolist() == [-99999999.99, 0.0, 0.01]
    assert table.schema.fields["p"]["pyvorl.pandas_dtype"] == "arrow:decimal128(10, 2)"


@pytest.mark.parametrize("backend", ["pyarrow", "numpy_nullable"])
def test_convert_dtypes_output_comes_back_index_included(backend):
    frame = pd.DataFrame(
        {
            "i": [1, None, 3],
            "f": [0.5, None, np.nan],
            "s": ["a", None, "c"],
            "b": [True, None, False],
            "d": [date(2024, 1, 2), None, date(2024, 1, 3)],
            "t": pd.to_datetime([0, None, 5]).tz_localize("America/New_York"),
        }
    ).convert_dtypes(dtype_backend=backend)
    for shape in (frame, frame.set_index(["s", "i"])):
        pd.testing.assert_frame_equal(round_trip(shape).to_pandas(), shape)


def test_nulls_of_other_libraries_come_as_nullable_dtypes():
    table = pyvorl.Table({"i": np.ma.array([1, 2], "u2", mask=[0, 1]), "b": np.ma.array([1, 0], bool, mask=[1, 0])})
    frame = table.to_pandas()
    assert frame.dtypes.astype(str).tolist() == ["UInt16", "boolean"]
    assert frame.isna().values.tolist() == [[False, True], [True, False]]


def test_every_column_a_frame_cannot_hold_is_named_in_one_error():
    frame = pd.DataFrame(
        {
            "ok": [1, 2],
            "lists": pd.Series([[1], [2]]),
            "mixed": pd.Series(["a", 1], dtype=object),
            "struct": arrow([{"a": 1}, {"a": 2}], pa.struct([("a", pa.int8())])),
            "period": pd.period_range("2024", periods=2, freq="D"),
            "ints": pd.Categorical([1, 2]),
            "fine": arrow([1, 2], pa.decimal128(38, 20)),
            "wide": arrow([Decimal("0.5"), Decimal("9007199254740.991")], pa.decimal128(16, 3)),
        }
    )
    with pytest.raises(TypeError) as refused:
        pyvorl.dumps(frame)
    assert str(refused.value) == (
        "columns 'lists' (object holding list), 'mixed' (object holding int, str), "
        "'struct' (struct<a: int8>[pyarrow]), "
        "'period' (period[D]), 'ints' (category with categories that are not all str), "
        "'fine' (decimal128(38, 20)[pyarrow] (scale outside 0 to 15)), "
        "'wide' (decimal128(16, 3)[pyarrow] (the value at row 1 has 10**15 units or more: past 15 digits)): "
        "these pandas types cannot be stored in a frame"
    )
    with pytest.raises(TypeError, match=r"^column 'lists': the pandas type object holding list cannot be stored"):
        pyvorl.dumps(frame[["ok", "lists"]])


@pytest.mark.parametrize("zone", [timezone(HOUR), "UTC+01:00", "+01:00"])
def test_fixed_offsets_are_stored_as_every_library_reads_them(zone):
    frame = pd.DataFrame({"t": pd.Series(np.array([0, 10**15], "M8[us]")).dt.tz_localize("UTC").dt.tz_convert(zone)})
    table = round_trip(frame)
    stored = table.schema.fields["t"]["pyvorl.timezone"]
    assert stored == "+01:00" and pa.array(table["t"], pa.timestamp("us", stored))[0].as_py().utcoffset() == HOUR
    back = table.to_pandas()["t"]
    assert [stamp.utcoffset() for stamp in back] == [HOUR] * 2 and back.equals(frame["t"])


def test_a_table_is_no_array_for_pandas_or_numpy():
    table = pyvorl.Table({"a": np.arange(3)})
    for make in (pd.DataFrame, np.asarray):
        with pytest.raises(TypeError, match=r"^a pyvorl.Table is a mapping of named columns, not an array: use table"):
            make(table)
