"""Nulls: fills in the column, an Arrow-layout bitmap beside it."""

import numpy as np
import pytest

import pyvorl
from pyvorl import _codec
from pyvorl._api import metadata_entries

MASK = np.array([False, True, False, False, False, False, False, False, True, True])
COLUMNS = {
    **{dtype: np.arange(10).astype(dtype) for dtype in ["i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f4", "f8"]},
    "bool": np.ones(10, bool),
    **{f"M8[{unit}]": np.arange(10).astype(f"M8[{unit}]") for unit in ["s", "ms", "us", "ns"]},
    "m8[ns]": np.arange(10).astype("m8[ns]"),
    "str": np.array([f"t{i}" for i in range(10)], object),
    "bytes": np.array([b"b%d" % i for i in range(10)], object),
}
FILLS = {"b": False, "O": ""}


@pytest.mark.parametrize("key", list(COLUMNS))
def test_masked_columns_keep_their_nulls_and_peers_see_the_fills(key):
    values = COLUMNS[key]
    frame = pyvorl.dumps({"c": np.ma.array(values, mask=MASK)})
    table = pyvorl.loads(frame)
    assert np.array_equal(table.mask("c"), MASK)
    assert table["c"].dtype == values.dtype
    kept = table["c"][~MASK]
    assert kept.tolist() == values[~MASK].tolist()
    under = table["c"][MASK]
    if values.dtype.kind in "fmM":
        assert np.isnan(under).all() if values.dtype.kind == "f" else np.isnat(under).all()
    else:
        assert under.tolist() == [b"" if key == "bytes" else FILLS.get(values.dtype.kind, 0)] * 3
    peer = pyvorl.parse_table_frame(frame[8:])[2][0][1]
    assert len(peer) == 10 and table.schema.fields["c"]["pyvorl.validity"] == bytes([0xFD, 0x00])


def test_texts_take_none_and_nan_as_nulls_and_decimals_fill_zero():
    table = pyvorl.loads(
        pyvorl.dumps(
            {"s": ["a", None, float("nan")], "d": np.ma.array([1.25, np.nan, 3.5], mask=[0, 1, 0])}, decimals={"d": 2}
        )
    )
    assert table["s"].tolist() == ["a", "", ""] and table.mask("s").tolist() == [False, True, True]
    assert table["d"].tolist() == [1.25, 0.0, 3.5] and table.mask("d").tolist() == [False, True, False]


def test_no_nulls_no_entry_and_the_same_bytes():
    plain = {"a": np.arange(9.0), "s": np.array(["x"] * 9, object)}
    masked = {"a": np.ma.array(plain["a"], mask=False), "s": plain["s"]}
    assert pyvorl.dumps(masked) == pyvorl.dumps(plain)
    assert pyvorl.loads(pyvorl.dumps(plain)).mask("a") is None
    with pytest.raises(KeyError):
        pyvorl.loads(pyvorl.dumps(plain)).mask("b")


@pytest.mark.parametrize(
    ("validity", "fault"),
    [
        (b"\x01", "'pyvorl.validity' holds 1 bytes, 9 rows need 2"),
        (b"\x01\x01\x01", "'pyvorl.validity' holds 3 bytes, 9 rows need 2"),
        ("ab", "'pyvorl.validity' is a str, not bytes"),
        (7, "'pyvorl.validity' is a int, not bytes"),
    ],
)
def test_a_bad_bitmap_is_a_damaged_frame(validity, fault):
    entries = metadata_entries({"pyvorl.validity": validity}, "field")
    frame = _codec.encode([("c", np.arange(9), None, entries)], metadata_entries({"obj": ""}, "metadata"))
    with pytest.raises(pyvorl.FrameError, match=f"column 'c': {fault}"):
        pyvorl.loads(frame)
    with pytest.raises(ValueError, match=f"column 'c': {fault}"):
        pyvorl.Table({"c": np.arange(9)}, schema=pyvorl.Schema({"c": {"pyvorl.validity": validity}}))
