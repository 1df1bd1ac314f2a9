import gc
import os
import subprocess
import sys
import weakref
from decimal import Decimal

import numpy as np
import pytest

import pyvorl

pa = pytest.importorskip("pyarrow")

INTS = "int8 int16 int32 int64 uint8 uint16 uint32 uint64".split()
UNITS = ("s", "ms", "us", "ns")
TICKS = [-86_401, 0, 1_700_000_000]
COARSE = [-25, 0, 100_000]  # hours, minutes, days and weeks that datetime can show


def numbers(dtype):
    if np.dtype(dtype).kind in "iu":
        info = np.iinfo(dtype)
        return np.array([info.min, 0, info.max], dtype)
    return np.array([-0.5, 0, np.finfo(dtype).max], dtype)


def ticks(dtype, values=TICKS):
    return np.array(values, dtype)


def cast(values, arrow_type, via=None):
    """What an Arrow library makes of these integers as `arrow_type`."""
    return pa.array(values, via or pa.int64()).cast(arrow_type).to_pylist()


# id: (column, "pyvorl." keys, decimal places, Arrow type, values as Arrow reads them)
CASES = {dtype: (numbers(dtype), {}, None, pa.from_numpy_dtype(dtype), numbers(dtype).tolist()) for dtype in INTS}
CASES |= {
    d: (numbers(d), {}, None, pa.from_numpy_dtype(d), numbers(d).tolist()) for d in ("float16", "float32", "float64")
}
CASES["bool"] = (np.array([True, False, True]), {}, None, pa.bool_(), [True, False, True])
for unit in UNITS:
    for zone in (None, "America/New_York"):
        stamp = pa.timestamp(unit, zone)
        keys = {"pyvorl.timezone": zone} if zone else {}
        CASES[f"datetime64[{unit}] {zone}"] = (ticks(f"M8[{unit}]"), keys, None, stamp, cast(TICKS, stamp))
    CASES[f"timedelta64[{unit}]"] = (ticks(f"m8[{unit}]"), {}, None, pa.duration(unit), cast(TICKS, pa.duration(unit)))
for unit, seconds in {"h": 3600, "m": 60}.items():
    in_seconds = [tick * seconds for tick in COARSE]
    CASES[f"datetime64[{unit}]"] = (
        ticks(f"M8[{unit}]", COARSE),
        {},
        None,
        pa.timestamp("s"),
        cast(in_seconds, pa.timestamp("s")),
    )
    CASES[f"timedelta64[{unit}]"] = (
        ticks(f"m8[{unit}]", COARSE),
        {},
        None,
        pa.duration("s"),
        cast(in_seconds, pa.duration("s")),
    )
for unit, days in {"D": 1, "W": 7}.items():
    CASES[f"datetime64[{unit}]"] = (
        ticks(f"M8[{unit}]", COARSE),
        {},
        None,
        pa.date32(),
        cast([t * days for t in COARSE], pa.date32(), pa.int32()),
    )
DAYS = [-3, 0, 20_000]
CASES["date32"] = (
    np.array(DAYS, "M8[D]"),
    {"pyvorl.arrow_type": "tdD"},
    None,
    pa.date32(),
    cast(DAYS, pa.date32(), pa.int32()),
)
CASES["date64"] = (
    np.array(DAYS, "M8[D]").astype("M8[ms]"),
    {"pyvorl.arrow_type": "tdm"},
    None,
    pa.date64(),
    cast(DAYS, pa.date32(), pa.int32()),
)
for arrow_unit, unit, kind in (("s", "s", "32"), ("m", "ms", "32"), ("u", "us", "64"), ("n", "ns", "64")):
    clock = [0, 1, 86_399]
    time = getattr(pa, f"time{kind}")(unit)
    keys = {"pyvorl.arrow_type": f"tt{arrow_unit}"}
    CASES[f"time{kind}[{unit}]"] = (
        np.array(clock, f"m8[{unit}]"),
        keys,
        None,
        time,
        cast(clock, time, getattr(pa, f"int{kind}")()),
    )
MONEY = np.array([1.25, -3.5, 0.0])
AMOUNTS = [Decimal("1.25"), Decimal("-3.50"), Decimal("0.00")]
CASES["decimal"] = (MONEY, {}, 2, pa.decimal128(18, 2), AMOUNTS)
CASES["decimal(10, 2)"] = (MONEY, {"pyvorl.arrow_type": "d:10,2"}, 2, pa.decimal128(10, 2), AMOUNTS)
CASES["decimal256(40, 2)"] = (MONEY, {"pyvorl.arrow_type": "d:40,2,256"}, 2, pa.decimal256(40, 2), AMOUNTS)
CASES["decimal of 1e20"] = (
    np.array([-1e20, 1.5, 0]),
    {},
    1,
    pa.decimal128(38, 1),
    [Decimal(-(10**20)), Decimal("1.5"), Decimal("0.0")],
)
TEXTS = ["a", "", "ünï"]
CASES["text"] = (TEXTS, {}, None, pa.string(), TEXTS)
CASES["large text"] = (TEXTS, {"pyvorl.arrow_type": "U"}, None, pa.large_string(), TEXTS)
CASES["StringDType"] = (np.array(TEXTS, np.dtypes.StringDType()), {}, None, pa.string(), TEXTS)
CASES["bytes"] = ([b"\x00", b"", b"ab"], {}, None, pa.binary(), [b"\x00", b"", b"ab"])
CASES["large bytes"] = ([b"\x00", b"", b"a"], {"pyvorl.arrow_type": "Z"}, None, pa.large_binary(), [b"\x00", b"", b"a"])
CATEGORIES = {"pyvorl.categories": '["b", "z", "a"]'}
for order in ("ordered", "unordered"):
    kind = pa.dictionary(pa.int32(), pa.string(), ordered=order == "ordered")
    CASES[f"{order} categories"] = (
        ["b", "a", "b"],
        {"pyvorl.categorical": order} | CATEGORIES,
        None,
        kind,
        ["b", "a", "b"],
    )
CASES["categories of first appearance, int8 index"] = (
    ["b", "a", "b"],
    {"pyvorl.categorical": "unordered", "pyvorl.arrow_index": "c"},
    None,
    pa.dictionary(pa.int8(), pa.string()),
    ["b", "a", "b"],
)


def table_of(case, nulls):
    values, keys, places, _, _ = CASES[case]
    values = values.copy()  # the table's own array
    if nulls:
        values = np.ma.masked_array(np.asarray(values, object if isinstance(values, list) else None), [0, 1, 0])
    return pyvorl.Table(
        {"x": values}, schema=pyvorl.Schema(fields={"x": keys}), decimals={"x": places} if places is not None else None
    )


@pytest.mark.parametrize("nulls", [False, True], ids=["", "nulls"])
@pytest.mark.parametrize("case", list(CASES))
def test_every_kind_of_column_reads_as_its_arrow_type(case, nulls):
    _, _, _, arrow_type, expected = CASES[case]
    table = table_of(case, nulls)
    column = pa.table(table).column("x")
    assert column.type == arrow_type
    assert column.to_pylist() == ([expected[0], None, *expected[2:]] if nulls else expected)
    if "pyvorl.categories" in CASES[case][1]:
        assert column.chunks[0].dictionary.to_pylist() == ["b", "z", "a"]
    if "256" not in case:  # polars has no decimal256
        pytest.importorskip("polars")
        assert table.to_polars().height == 3


@pytest.mark.parametrize("case", [*INTS, "float32", "float64", "datetime64[us] None", "timedelta64[ns]", "date64"])
def test_fixed_width_columns_are_lent_and_outlive_the_table(case):
    table = table_of(case, nulls=False)
    array = table["x"]
    exported = pa.table(table)
    assert exported.column(0).chunks[0].buffers()[1].address == array.ctypes.data
    alive = weakref.ref(array)
    del table, array
    gc.collect()
    assert alive() is not None and exported.column(0).to_pylist() == CASES[case][4]
    del exported
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("arrow_type", [pa.string(), pa.large_string(), pa.binary(), pa.large_binary()])
def test_decoded_texts_go_out_from_their_buffers_as_the_type_they_came_as(arrow_type):
    values = ["ü", None, ""] if "string" in str(arrow_type) else [b"\0", None, b""]
    table = pyvorl.loads(pyvorl.dumps(pa.table({"x": pa.array(values, arrow_type)})))
    column = pa.table(table).column("x")
    assert table._text_buffers("x") is not None  # no object array was made for the export
    assert column.type == arrow_type and column.to_pylist() == values
    assert table["x"].tolist() == [values[0], values[0][:0], values[2]]


def test_texts_whose_offsets_leave_their_data_are_refused():
    offsets, data = np.array([0, 4], np.int64), np.zeros(2, np.uint8)
    with pytest.raises(ValueError, match="offsets"):
        pyvorl._codec.texts_from_arrow(offsets, data, True)
    with pytest.raises(ValueError, match="offsets"):
        pyvorl._codec.arrow_stream([("x", "U", None, 2, "arrow_texts", offsets, None, data)], None, 1)


def test_nat_is_null_and_metadata_goes_along():
    table = pyvorl.Table(
        {"t": np.array([0, "NaT"], "M8[s]"), "n": np.arange(2)},
        metadata={"source": "feed", "count": 3},
        field_metadata={"n": {"unit": "lots", "scale": 2}},
    )
    exported = pa.table(table)
    assert exported.column("t").null_count == 1
    assert exported.schema.metadata == {b"source": b"feed"} and exported.schema.field("n").metadata == {
        b"unit": b"lots"
    }
    assert pa.schema(table) == exported.schema and exported.schema.field("n").nullable


@pytest.mark.parametrize(
    ("columns", "keys", "error", "message"),
    [
        ({"x": np.array(["a", 1], object)}, {}, TypeError, r"^column 'x' row 1: int is not a str$"),
        ({"x": ["a", "\ud800"]}, {}, ValueError, r"^column 'x' row 1: '\\ud800' cannot be encoded as UTF-8"),
        (
            {"x": ["a", "q"]},
            {"x": {"pyvorl.categorical": "ordered", "pyvorl.categories": '["a"]'}},
            ValueError,
            r"^column 'x' row 1: 'q' is not one of its categories$",
        ),
        ({"x": np.zeros(2, "M8[ps]")}, {}, ValueError, r"^column 'x': datetime64\[ps\] has no Arrow type$"),
        ({"x": np.array([2**62], "M8[h]")}, {}, ValueError, r"^column 'x': a value of datetime64\[h\] does not fit"),
    ],
)
def test_columns_that_cannot_be_exported_name_the_column_and_row(columns, keys, error, message):
    table = pyvorl.Table(columns, schema=pyvorl.Schema(fields=keys))
    with pytest.raises(error, match=message):
        table.__arrow_c_stream__()


def test_a_decimal_beyond_its_precision_is_refused():
    table = pyvorl.Table(
        {"x": np.array([1e9])}, decimals={"x": 2}, schema=pyvorl.Schema({"x": {"pyvorl.arrow_type": "d:5,2"}})
    )
    with pytest.raises(ValueError, match=r"^column 'x' row 0: 1000000000.0 does not fit decimal\(5, 2\)$"):
        pa.table(table)


def test_duckdb_scans_a_table():
    duckdb = pytest.importorskip("duckdb")
    t = pyvorl.Table({"a": np.arange(10), "s": ["x", "y"] * 5, "m": np.ma.masked_array(np.ones(10), [1] + [0] * 9)})  # noqa: F841 (duckdb finds it by name)
    assert duckdb.sql("select sum(a), count(distinct s), count(m) from t").fetchall() == [(45, 2, 9)]


def test_nanoarrow_reads_the_stream_and_the_schema():
    na = pytest.importorskip("nanoarrow")
    table = pyvorl.Table({"a": np.arange(3), "s": ["x", "y", "z"]})
    stream = na.c_array_stream(table)
    assert [child.format for child in stream.get_schema().children] == ["l", "u"]
    assert na.Array(stream).to_pylist() == [{"a": 0, "s": "x"}, {"a": 1, "s": "y"}, {"a": 2, "s": "z"}]
    assert na.c_schema(table).format == "+s"


LEAK_CHECK = """
import gc, sys
import numpy as np, pyarrow as pa, pyvorl
table = pyvorl.Table({"n": np.arange(1000), "s": [str(i) * 20 for i in range(10_000)][:1000],
                      "c": np.ma.masked_array(np.array(["a", "b"] * 500, object), [0, 1] * 500)},
                     schema=pyvorl.Schema({"c": {"pyvorl.categorical": "unordered"}}))
array, frame = table["n"], pyvorl.dumps({"s": table["s"], "b": np.array([b"xy"] * 1000, object)})
def rss():
    return int(open("/proc/self/statm").read().split()[1]) * 4096
def once():
    pa.table(table)
    table.__arrow_c_stream__()  # dropped without being read
    table.__arrow_c_schema__()
    pa.table(pyvorl.loads(frame)), pyvorl.loads(frame)["s"]
for _ in range(200):
    once()
gc.collect()
refs, before = sys.getrefcount(array), rss()
for _ in range(3000):
    once()
gc.collect()
assert sys.getrefcount(array) == refs, (sys.getrefcount(array), refs)
assert rss() - before < 20_000_000, rss() - before
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="the sanitizer's quarantine holds freed memory")
def test_exports_in_a_loop_keep_no_memory():
    subprocess.run([sys.executable, "-c", LEAK_CHECK], check=True, timeout=300)
