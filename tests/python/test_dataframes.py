from datetime import UTC, timedelta, timezone

import numpy as np
import pytest

import pyvorl

DAY = 86_400
INDEX_NAMED = [0, 1.5, True, "__index_level_0__", "0"]


def numbers(dtype):
    if np.dtype(dtype).kind in "iu":
        info = np.iinfo(dtype)
        return np.array([info.min, 0, info.max], dtype=dtype)
    return np.array([np.nan, -0.5, np.inf], dtype=dtype) if dtype != "bool" else np.array([True, False, True])


NUMPY_COLUMNS = {dtype: numbers(dtype) for dtype in "int8 int16 int32 int64 uint8 uint16 uint32 uint64".split()}
NUMPY_COLUMNS |= {dtype: numbers(dtype) for dtype in ("float32", "float64", "bool")}
NUMPY_COLUMNS |= {
    f"{kind}[{unit}]": np.array([-DAY - 1, 0, 1_700_000_000_123], dtype=f"{kind}[{unit}]")
    for kind in ("datetime64", "timedelta64")
    for unit in ("s", "ms", "us", "ns")
}
TEXTS = ["a", "", "ünï"]
BYTES = [b"\x00", b"", b"ab"]
ZONE = "America/New_York"
INDEX_NAMES = {"pyvorl.index_names": '["sym"]'}


def round_trip(frame):
    return pyvorl.loads(pyvorl.dumps(frame))


def pandas_cases():
    pd = pytest.importorskip("pandas")
    from dateutil import tz

    cases = {name: pd.DataFrame({"x": values}) for name, values in NUMPY_COLUMNS.items()}
    stamps = pd.Series(NUMPY_COLUMNS["datetime64[us]"])
    zones = {"tz": ZONE, "dateutil": tz.gettz(ZONE), "dateutil UTC": tz.tzutc(), "UTC": UTC}
    zones |= {"dateutil offset": tz.tzoffset(None, 19800), "fixed offset": timezone(timedelta(hours=-3), "BRT")}
    cases |= {name: pd.DataFrame({"x": stamps.dt.tz_localize(UTC).dt.tz_convert(zone)}) for name, zone in zones.items()}
    cases |= {f"index named {name!r}": pd.DataFrame({"x": [1]}, index=pd.Index([2], name=name)) for name in INDEX_NAMED}
    return cases | {
        "str": pd.DataFrame({"x": TEXTS}),
        "string": pd.DataFrame({"x": pd.array(TEXTS, dtype="string")}),
        "bytes": pd.DataFrame({"x": pd.Series(BYTES, dtype=object)}),
        "categorical": pd.DataFrame({"x": pd.Categorical(["b", "a", "b"], categories=["b", "z", "a"], ordered=True)}),
        "Int64": pd.DataFrame({"x": pd.array([1, -2, 3], dtype="Int64")}),
        "boolean": pd.DataFrame({"x": pd.array([True, False, True], dtype="boolean")}),
        "index": pd.DataFrame({"x": [1.5, 2.5, 3.5]}, index=pd.Index(TEXTS, name="sym")),
        "multiindex": pd.DataFrame(
            {"x": [1, 2, 3]}, index=pd.MultiIndex.from_arrays([[3, 2, 1], pd.Series(stamps).dt.tz_localize(ZONE)])
        ),
        "range index from 5": pd.DataFrame({"x": [1, 2, 3]}, index=pd.RangeIndex(5, 8)),
        "no columns": pd.DataFrame(index=pd.RangeIndex(0)),
        "no columns, 3 rows": pd.DataFrame(index=pd.RangeIndex(3)),
    }


def polars_cases():
    pl = pytest.importorskip("polars")
    cases = {name: pl.DataFrame({"x": values}) for name, values in NUMPY_COLUMNS.items() if "[s]" not in name}
    return cases | {
        "str": pl.DataFrame({"x": TEXTS}),
        "binary": pl.DataFrame({"x": BYTES}),
        "tz": pl.DataFrame({"x": NUMPY_COLUMNS["datetime64[ms]"]}).select(pl.col("x").dt.replace_time_zone(ZONE)),
        "categorical": pl.DataFrame({"x": pl.Series(["b", "a", "b"], dtype=pl.Categorical)}),
        "empty": pl.DataFrame({"x": pl.Series([], dtype=pl.String)}),
        "no columns, 3 rows": pl.DataFrame(height=3),
    }


def arrow_cases():
    pa = pytest.importorskip("pyarrow")
    # NaN is kept (the pandas and polars cases show it), but Table.equals finds NaN unequal to itself.
    cases = {name: pa.table({"x": np.nan_to_num(values)}) for name, values in NUMPY_COLUMNS.items()}
    dictionary = pa.DictionaryArray.from_arrays(pa.array([0, 2, 0], pa.int32()), pa.array(["b", "z", "a"]))
    return cases | {
        "string": pa.table({"x": TEXTS}),
        "binary": pa.table({"x": BYTES}),
        "tz": pa.table({"x": pa.array(NUMPY_COLUMNS["datetime64[ns]"], pa.timestamp("ns", ZONE))}),
        "categorical": pa.table({"x": dictionary}),
        "chunked": pa.table({"x": pa.chunked_array([[1, 2], [], [3]])}),
        "no columns, 3 rows": pa.table({"x": [1, 2, 3]}).drop_columns(["x"]),
    }


def assert_pandas_equal(back, frame):
    import pandas.testing

    pandas.testing.assert_frame_equal(back.to_pandas(), frame)


def assert_polars_equal(back, frame):
    import polars.testing

    polars.testing.assert_frame_equal(back.to_polars(), frame)


def assert_arrow_equal(back, frame):
    assert back.to_arrow().equals(frame.combine_chunks()), (back.to_arrow().schema, frame.schema)


LIBRARIES = {
    "pandas": (pandas_cases, assert_pandas_equal),
    "polars": (polars_cases, assert_polars_equal),
    "pyarrow": (arrow_cases, assert_arrow_equal),
}


@pytest.mark.parametrize("library", list(LIBRARIES))
def test_every_dataframe_comes_back_equal_through_dumps_and_loads(library):
    make_cases, assert_equal = LIBRARIES[library]
    for case, frame in make_cases().items():
        try:
            assert_equal(round_trip(frame), frame)
        except AssertionError as failure:
            raise AssertionError(f"{library} case {case!r}") from failure


def test_zones_categories_and_index_travel_in_pyvorl_metadata():
    table = round_trip(pandas_cases()["tz"])
    assert table.schema.fields["x"] == {"pyvorl.timezone": ZONE} and table.field_metadata == {}
    assert str(table["x"].dtype) == "datetime64[us]" and table["x"][1] == np.datetime64(0, "us")  # stored as UTC
    table = round_trip(pandas_cases()["categorical"])
    assert table["x"].tolist() == ["b", "a", "b"]
    assert table.schema.fields["x"] == {"pyvorl.categorical": "ordered", "pyvorl.categories": '["b", "z", "a"]'}
    assert round_trip(pandas_cases()["index"]).schema.table == {"pyvorl.index": '["sym"]', **INDEX_NAMES}


def test_polars_and_pyarrow_nulls_are_kept():
    pl, pa = (pytest.importorskip(name) for name in ("polars", "pyarrow"))
    polars = round_trip(pl.DataFrame({"x": [1, 2, None]}))
    assert polars["x"].tolist() == [1, 2, 0] and polars.mask("x").tolist() == [False, False, True]
    arrow = round_trip(pa.table({"s": pa.chunked_array([["a"], [None]])}))
    assert arrow["s"].tolist() == ["a", ""] and arrow.mask("s").tolist() == [False, True]


def test_a_missing_library_is_named_with_its_extra(monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "polars", None)
    with pytest.raises(ImportError, match=r"^to_polars needs polars: pip install pyvorl\[polars\]$"):
        pyvorl.loads(pyvorl.dumps({"x": np.arange(3)})).to_polars()


def unkept_cases():
    pd = pytest.importorskip("pandas")
    from dateutil import tz

    stamps = pd.Series(NUMPY_COLUMNS["datetime64[us]"]).dt.tz_localize(UTC)
    return [
        (
            pd.DataFrame({"t": stamps.dt.tz_convert(tz.tzstr("EST5EDT"))}),
            "column 't': the zone tzstr('EST5EDT') has no name that a frame can keep; "
            "convert the column to an IANA zone, UTC or a fixed offset in whole minutes",
        ),
        (
            pd.DataFrame({"x": [1]}, index=pd.Index([2], name=("a", 1))),
            "index level 0: its name ('a', 1) is a tuple, not str, int, float, bool or None",
        ),
    ]


@pytest.mark.parametrize("case", range(2))
def test_zones_and_index_names_that_would_not_come_back_are_refused(case):
    frame, message = unkept_cases()[case]
    with pytest.raises((TypeError, ValueError)) as raised:
        pyvorl.dumps(frame)
    assert str(raised.value) == message
