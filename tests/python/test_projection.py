"""loads(columns=...): the named columns decoded, the others checked and stepped over."""

import numpy as np
import pytest

import pyvorl
from frames import BOOL, DECIMAL, FLOAT64, INT32, INT64, NULL, STRING, UINT64, column, field, frame, payload

ROWS = 300
rng = np.random.default_rng(7)
COLUMNS = {
    "i8": rng.integers(-(2**40), 2**40, ROWS),
    "i4": rng.integers(-300, 300, ROWS).astype(np.int32),
    "u8": rng.integers(0, 2**63, ROWS, dtype=np.uint64),
    "f4": rng.random(ROWS).astype(np.float32),
    "price": np.round(100 + rng.standard_normal(ROWS), 2),
    "at": np.datetime64("2026-01-01", "us") + np.cumsum(rng.integers(1, 10**6, ROWS)).astype("m8[us]"),
    "flag": rng.random(ROWS) < 0.5,
    "text": np.array([f"t{i}é" for i in range(ROWS)], object),
    "blob": np.array([bytes([i % 256]) * (i % 300) for i in range(ROWS)], object),
    "masked": np.ma.array(np.arange(ROWS, dtype=np.float64), mask=np.arange(ROWS) % 7 == 0),
}
FRAME = pyvorl.dumps(pyvorl.Table(COLUMNS, decimals={"price": 2}, field_metadata={"text": {"k": 1}}))
WHOLE = pyvorl.loads(FRAME)


@pytest.mark.parametrize("names", [[name] for name in COLUMNS] + [["text", "i8"], ["masked", "price", "at"], []])
def test_projection_gives_what_the_whole_frame_holds(names):
    table = pyvorl.loads(FRAME, columns=names)
    assert table.column_names == names
    expected = pyvorl.Table(
        {name: WHOLE[name] for name in names},
        decimals={name: places for name, places in WHOLE.decimals.items() if name in names},
        field_metadata={name: keys for name, keys in WHOLE.field_metadata.items() if name in names},
        schema=pyvorl.Schema({name: keys for name, keys in WHOLE.schema.fields.items() if name in names}),
    )
    assert table.equals(expected)


def test_unknown_names_and_bad_arguments():
    with pytest.raises(KeyError, match="'nope'"):
        pyvorl.loads(FRAME, columns=["i8", "nope"])
    with pytest.raises(TypeError, match="columns must be a sequence of str"):
        pyvorl.loads(FRAME, columns="i8")
    with pytest.raises(ValueError, match="'i8' twice"):
        pyvorl.loads(FRAME, columns=["i8", "i8"])


def test_a_null_column_alone_keeps_the_row_count_of_the_columns_stepped_over():
    content = payload([field("n", column(NULL)), field("i", column(INT64, [4, 5, 6]))])
    table = pyvorl.loads(frame(content), columns=["n"])
    assert table.num_rows == 3 and table["n"].tolist() == [False] * 3


def test_a_damaged_skipped_column_still_fails_the_checksum():
    damaged = bytearray(FRAME)
    damaged[len(FRAME) // 2] ^= 0x40
    with pytest.raises(pyvorl.FrameError, match="CRC32"):
        pyvorl.loads(bytes(damaged), columns=["i8"])


@pytest.mark.parametrize(
    ("series", "fault"),
    [
        (column(INT64)[:1] + b"\x05\x01", "UnexpectedEnd"),
        (column(INT32, [1])[:-1] + b"\xfd" + b"\xff" * 8, "Invalid"),
        (column(UINT64)[:1] + b"\x02\x01", "UnexpectedEnd"),
        (column(FLOAT64)[:1] + b"\x02" + b"\x00" * 9, "UnexpectedEnd"),
        (column(BOOL)[:1] + b"\x02\x01\x07", "Invalid"),
        (column(STRING)[:1] + b"\x02\x01a\x05ab", "UnexpectedEnd"),
        (bytes([DECIMAL]) + b"\x03\x7f\x02", "Invalid"),
    ],
)
def test_a_malformed_skipped_body_is_refused_as_a_full_read_refuses_it(series, fault):
    content = payload([field("bad", series), field("good", column(INT64, [1]))])
    with pytest.raises(pyvorl.FrameError, match=fault) as whole:
        pyvorl.loads(frame(content))
    with pytest.raises(pyvorl.FrameError) as projected:
        pyvorl.loads(frame(content), columns=["good"])
    assert str(projected.value) == str(whole.value)


def test_frame_files_read_some_columns(tmp_path):
    path = tmp_path / "frames.vorl"
    path.write_bytes(FRAME * 2)
    with pyvorl.open_frames(path) as frames:
        assert frames.read(-1, columns=["text"]).column_names == ["text"]
        with pytest.raises(KeyError, match="'nope'"):
            frames.read(0, columns=["nope"])
