import random

import numpy as np
import pytest

import pyvorl


def table(i):
    return {"n": np.arange(i % 50, dtype=np.int64) * i, "s": np.array([f"row{i}"] * (i % 50), dtype=object)}


FRAMES = [pyvorl.dumps(table(i), obj=f"t{i}") for i in range(300)]


@pytest.fixture
def path(tmp_path):
    file = tmp_path / "frames.vorl"
    file.write_bytes(b"".join(FRAMES))
    return file


def test_every_frame_by_iteration_and_in_random_order(path):
    with pyvorl.open_frames(path) as frames:
        assert len(frames) == 300
        assert [t.obj for t in frames] == [f"t{i}" for i in range(300)]
        for k in random.Random(5).sample(range(-300, 300), 80):
            assert frames[k].equals(pyvorl.loads(FRAMES[k]))
        with pytest.raises(IndexError):
            frames[300]


def test_arrays_outlive_the_closed_file(path):
    with pyvorl.open_frames(path) as frames:
        kept = frames[299]
    assert kept["n"].tolist() == (np.arange(49) * 299).tolist() and kept["s"][48] == "row299"
    with pytest.raises(ValueError):
        frames[0]


BAD_TAILS = [
    (FRAMES[1][:-1], EOFError, "stream ended inside the body, 1 of"),
    (b"garbage!", pyvorl.FrameError, "buffer is not a table frame"),
]


@pytest.mark.parametrize("tail, error, text", BAD_TAILS)
def test_a_file_ending_inside_a_frame_or_holding_no_frame_is_refused_at_open(tmp_path, tail, error, text):
    file = tmp_path / "bad.vorl"
    file.write_bytes(FRAMES[0] + tail)
    with pytest.raises(error, match=f"^frame at offset {len(FRAMES[0])}: {text}"):
        pyvorl.open_frames(file)


def test_a_damaged_body_fails_only_when_that_frame_is_read(tmp_path):
    damaged = bytearray(FRAMES[0] + FRAMES[1])
    damaged[len(FRAMES[0]) + 12] ^= 1
    file = tmp_path / "damaged.vorl"
    file.write_bytes(damaged)
    with pyvorl.open_frames(file) as frames:
        assert frames[0].obj == "t0"
        with pytest.raises(pyvorl.FrameError, match="CRC32") as caught:
            frames[1]
        assert caught.value.offset == len(FRAMES[0])


def test_an_empty_file_holds_no_frames(tmp_path):
    (tmp_path / "empty").write_bytes(b"")
    with pyvorl.open_frames(tmp_path / "empty") as frames:
        assert len(frames) == 0 and list(frames) == []
