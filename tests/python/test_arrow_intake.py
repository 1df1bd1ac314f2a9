import json
from decimal import Decimal

import numpy as np
import pytest

import pyvorl
from pyvorl._arrow_intake import table_from_arrow

pa = pytest.importorskip("pyarrow")

MASK = [False, True, False]
TEXTS = ["a", None, "ünï"]
# name: (Arrow array, stored dtype, stored values, "pyvorl." keys besides the validity)
COLUMNS = {
    "i8": (pa.array([1, None, -3], pa.int8()), "int8", [1, 0, -3], {}),
    "u64": (pa.array([2**64 - 1, None, 0], pa.uint64()), "uint64", [2**64 - 1, 0, 0], {}),
    "f32": (pa.array([1.5, None, -2], pa.float32()), "float32", [1.5, np.nan, -2], {}),
    "b": (pa.array([True, None, True]), "bool", [True, False, True], {}),
    "tz": (pa.array([1, None, 3], pa.timestamp("us", "Europe/Paris")), "datetime64[us]", [1, "NaT", 3], {}),
    "offset": (pa.array([1, None, 3], pa.timestamp("ms", "+01:00")), "datetime64[ms]", [1, "NaT", 3], {}),
    "dur": (pa.array([-1, None, 3], pa.duration("s")), "timedelta64[s]", [-1, "NaT", 3], {}),
    "t32": (pa.array([1, None, 3], pa.time32("ms")), "timedelta64[ms]", [1, "NaT", 3], {}),
    "t64": (pa.array([1, None, 3], pa.time64("ns")), "timedelta64[ns]", [1, "NaT", 3], {}),
    "d64": (pa.array([86_400_000, None, 0], pa.date64()), "datetime64[ms]", [86_400_000, "NaT", 0], {}),
    "dec": (pa.array([Decimal("1.25"), None, Decimal("-3.10")], pa.decimal128(10, 2)), "float64", [1.25, 0, -3.1], {}),
    "dec256": (pa.array([Decimal("0.001"), None, 7], pa.decimal256(40, 3)), "float64", [0.001, 0, 7], {}),
    "s": (pa.array(TEXTS), "StringDType()", ["a", "", "ünï"], {}),
    "ls": (pa.array(TEXTS, pa.large_string()), "StringDType()", ["a", "", "ünï"], {}),
    "sv": (pa.array(["a long text beyond twelve", None, "b"], pa.string_view()), "StringDType()", None, {}),
    "bin": (pa.array([b"\0", None, b""]), "object", [b"\0", b"", b""], {}),
    "lbin": (pa.array([b"x", None, b"y"], pa.large_binary()), "object", [b"x", b"", b"y"], {}),
    "cat": (
        pa.DictionaryArray.from_arrays(pa.array([1, None, 0], pa.int8()), pa.array(["z", "y"]), ordered=True),
        "StringDType()",
        ["y", "", "z"],
        {"pyvorl.categorical": "ordered", "pyvorl.categories": '["z", "y"]', "pyvorl.arrow_index": "c"},
    ),
}
RECORDED = {"t32": "ttm", "t64": "ttn", "d64": "tdm", "dec": "d:10,2", "dec256": "d:40,3,256", "ls": "U", "sv": "vu"}
RECORDED |= {"lbin": "Z", "cat": "u"}
ZONES = {"tz": "Europe/Paris", "offset": "+01:00"}


def sliced(array):
    """The array behind an offset of 2, so that every buffer is read from an offset."""
    return pa.concat_arrays([array[:2], array]).slice(2)


def arrow_table():
    return pa.table({name: sliced(column[0]) for name, column in COLUMNS.items()})


def expected_keys(name):
    keys = {"pyvorl.validity": b"\x05", **COLUMNS[name][3]}
    keys |= {"pyvorl.arrow_type": RECORDED[name]} if name in RECORDED else {}
    return keys | ({"pyvorl.timezone": ZONES[name]} if name in ZONES else {})


def producers():
    nanoarrow = pytest.importorskip("nanoarrow")
    table = arrow_table()
    return {
        "pyarrow Table": table,
        "RecordBatch": table.combine_chunks().to_batches()[0],
        "RecordBatchReader": pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=1)),
        "nanoarrow": nanoarrow.ArrayStream(table),
    }


def assert_column(table, name, dtype, values, mask):
    array = table[name]
    assert str(array.dtype) == dtype, name
    if array.dtype.kind == "O":
        assert values is None or array.tolist() == values, (name, array)
    elif values is not None:
        assert np.array_equal(array, np.array(values, dtype=array.dtype), equal_nan=array.dtype.kind in "fmM"), name
    got = table.mask(name)
    assert (got.tolist() if got is not None else None) == mask, name


@pytest.mark.parametrize("producer", ["pyarrow Table", "RecordBatch", "RecordBatchReader", "nanoarrow"])
def test_every_arrow_type_comes_back_with_its_nulls_and_keys(producer):
    back = pyvorl.loads(pyvorl.dumps(producers()[producer]))
    assert back.column_names == list(COLUMNS) and back.decimals == {"dec": 2, "dec256": 3}
    for name, (_, dtype, values, _) in COLUMNS.items():
        assert_column(back, name, dtype.replace("StringDType()", "object"), values, MASK)
        assert back.schema.fields[name] == expected_keys(name), name
    assert back["sv"][0] == "a long text beyond twelve"


def test_date32_becomes_days():
    table = table_from_arrow(pa.table({"d": sliced(pa.array([1, None, -1], pa.int32()).cast(pa.date32()))}))
    assert_column(table, "d", "datetime64[D]", [1, "NaT", -1], MASK)
    assert table.schema.fields["d"]["pyvorl.arrow_type"] == "tdD"


def test_a_single_batch_of_fixed_width_values_is_viewed_not_copied():
    batch = pa.record_batch({"x": pa.array(np.arange(10, dtype=np.int64)).slice(3)})
    table = table_from_arrow(batch)
    address = batch.column(0).buffers()[1].address + 3 * 8
    assert table["x"].ctypes.data == address and not table["x"].flags.writeable
    del batch
    assert table["x"].tolist() == list(range(3, 10))  # the view keeps the Arrow data alive
    several = table_from_arrow(pa.table({"x": pa.chunked_array([[1], [2]])}))
    assert several["x"].tolist() == [1, 2] and several["x"].flags.writeable


def test_polars_and_duckdb_columns_arrive_with_their_nulls():
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    frame = pl.DataFrame({"i": [1, None, 3], "s": TEXTS, "f": [0.5, None, 1.0]})
    frame = frame.with_columns(c=pl.Series(TEXTS, dtype=pl.Categorical), e=pl.Series(TEXTS, dtype=pl.Enum(TEXTS[::-2])))
    rows = "(1, 'a', 0.5::double), (null, null, null), (3, 'ünï', 1.0)"
    relation = duckdb.sql(f"select * from (values {rows}) t(i, s, f)")
    for producer in (frame, relation):
        back = pyvorl.loads(pyvorl.dumps(producer))
        assert_column(back, "i", str(back["i"].dtype), [1, 0, 3], MASK)
        assert_column(back, "s", "object", ["a", "", "ünï"], MASK)
        assert_column(back, "f", "float64", [0.5, np.nan, 1.0], MASK)
    back = pyvorl.loads(pyvorl.dumps(frame))
    assert json.loads(back.schema.fields["e"]["pyvorl.categories"]) == ["ünï", "a"] and back.field_metadata == {}
    assert back.schema.fields["e"]["pyvorl.categorical"] == "ordered"
    assert back["e"].tolist() == ["a", "", "ünï"] and back.mask("e").tolist() == MASK


def test_columns_no_frame_holds_are_named_in_one_type_error():
    table = pa.table(
        {
            "ok": [1],
            "l": pa.array([[1]]),
            "st": pa.array([{"x": 1}]),
            "places": pa.array([Decimal("0.1")], pa.decimal128(20, 16)),
            "big": pa.array([Decimal(10**15)], pa.decimal128(38, 0)),
            "ints": pa.array([1]).dictionary_encode(),
        }
    )
    message = (
        "columns 'l' (list<int64>), 'st' (struct<x: int64>), 'places' (decimal128(20, 16): scale outside 0 to 15), "
        "'big' (decimal128(38, 0): the value at row 0 has 10**15 units or more: past 15 digits), "
        "'ints' (dictionary<values=int64, indices=int32>) have types that a frame cannot store"
    )
    with pytest.raises(TypeError) as raised:
        pyvorl.dumps(table)
    assert str(raised.value) == message


def test_a_decimal_null_may_hold_any_value_and_a_stream_is_read_once():
    values = pa.array([Decimal(2**60), Decimal(1)], pa.decimal128(38, 0))
    masked = pa.Array.from_buffers(values.type, 2, [pa.py_buffer(b"\x02"), values.buffers()[1]], null_count=1)
    back = pyvorl.loads(pyvorl.dumps(pa.table({"d": masked})))
    assert back["d"].tolist() == [0.0, 1.0] and back.mask("d").tolist() == [True, False]
    capsule = pa.table({"x": [1]}).__arrow_c_stream__()
    from pyvorl import _codec

    _codec.arrow_columns(capsule)
    with pytest.raises(ValueError, match="^the Arrow stream has been read already$"):
        _codec.arrow_columns(capsule)
