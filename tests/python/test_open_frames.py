import os
import random
import subprocess
import sys

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


@pytest.mark.parametrize("mapped", [False, True])
def test_every_frame_by_iteration_and_in_random_order(path, mapped):
    with pyvorl.open_frames(path, mmap=mapped) as frames:
        assert len(frames) == 300
        assert [t.obj for t in frames] == [f"t{i}" for i in range(300)]
        for k in random.Random(5).sample(range(-300, 300), 80):
            assert frames[k].equals(pyvorl.loads(FRAMES[k]))
        with pytest.raises(IndexError):
            frames[300]


@pytest.mark.parametrize("mapped", [False, True])
def test_arrays_outlive_the_closed_file(path, mapped):
    with pyvorl.open_frames(path, mmap=mapped) as frames:
        kept = frames[299]
    assert kept["n"].tolist() == (np.arange(49) * 299).tolist() and kept["s"][48] == "row299"
    with pytest.raises(ValueError):
        frames[0]


BAD_TAILS = [
    (FRAMES[1][:-1], EOFError, "stream ended inside the body, 1 of", True),
    (FRAMES[1][:5], EOFError, "stream ended inside the header, 3 of", True),
    (b"garbage!", pyvorl.FrameError, "buffer is not a table frame", False),
]


@pytest.mark.parametrize("tail, error, text, partial", BAD_TAILS, ids=["body", "header", "garbage"])
def test_a_file_ending_inside_a_frame_or_holding_no_frame_is_refused_at_open(tmp_path, tail, error, text, partial):
    file = tmp_path / "bad.vorl"
    file.write_bytes(FRAMES[0] + tail)
    with pytest.raises(error, match=f"^frame at offset {len(FRAMES[0])}: {text}"):
        pyvorl.open_frames(file)
    if partial:  # a frame still being written: the whole frames before it are read
        with pyvorl.open_frames(file, partial_tail="ignore") as frames:
            assert (len(frames), frames.tail_bytes, frames[0].obj) == (1, len(tail), "t0")
    else:
        with pytest.raises(error):
            pyvorl.open_frames(file, partial_tail="ignore")


def test_refresh_indexes_the_frames_appended_and_a_shrunk_file_fails(tmp_path):
    file = tmp_path / "live.vorl"
    file.write_bytes(FRAMES[0] + FRAMES[1][:5])
    with pyvorl.open_frames(file, partial_tail="ignore") as frames:
        with file.open("ab") as appending:
            appending.write(FRAMES[1][5:] + FRAMES[2] + FRAMES[3][:-1])
        assert (frames.refresh(), frames.tail_bytes, frames.refresh()) == (2, len(FRAMES[3]) - 1, 0)
        assert [table.obj for table in frames] == ["t0", "t1", "t2"]
        os.truncate(file, len(FRAMES[0]))
        with pytest.raises(EOFError, match=f"^the file shrank from {frames.offsets[-1] + frames.tail_bytes} to "):
            frames.refresh()
        gone = f"^frame at offset {frames.offsets[1]}: the file shrank to {len(FRAMES[0])} bytes while open, and "
        with pytest.raises(EOFError, match=gone + f"{len(FRAMES[1])} of the frame's {len(FRAMES[1])} bytes are gone$"):
            frames[1]


# Run in a child: reading a mapped page of a file that has shrunk kills the process.
READ_AFTER_TRUNCATION = {
    "open_frames": ("frames = pyvorl.open_frames(path)\nos.truncate(path, 0)\nframes[1]", "EOFError: "),
    "dump": (
        "from pyvorl import _dump\nfrom pyvorl.__main__ import main\nreal_decode = _dump.decode\n"
        "def truncating(*args):\n    os.truncate(path, 0)\n    return real_decode(*args)\n"
        "_dump.decode = truncating\nsys.exit(main(['dump', path]))",
        "pyvorl dump: {path}: ",
    ),
}


@pytest.mark.parametrize("reader", list(READ_AFTER_TRUNCATION))
def test_a_file_truncated_by_another_process_costs_an_eof_error(path, reader):
    code, prefix = READ_AFTER_TRUNCATION[reader]
    script = f"import os, sys, pyvorl\npath = sys.argv[1]\n{code}\n"
    result = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, timeout=60)
    size = len(FRAMES[1])
    gone = f"frame at offset {len(FRAMES[0])}: the file shrank to 0 bytes while open, and {size} of the frame's "
    expected = prefix.format(path=path) + f"{gone}{size} bytes are gone"
    assert (result.returncode, result.stderr.splitlines()[-1]) == (1, expected)


# Appends what arrives on standard input, a line with a length and then that many bytes, and answers each.
APPENDER = """
import sys
with open(sys.argv[1], "ab", buffering=0) as file:
    while line := sys.stdin.buffer.readline():
        file.write(sys.stdin.buffer.read(int(line)))
        print(flush=True)
"""


def test_follow_yields_each_frame_another_process_appends_once_it_is_whole(tmp_path):
    file = tmp_path / "live.vorl"
    file.write_bytes(FRAMES[0])
    stream = b"".join(FRAMES[1:6])
    cuts = [0, 3, 40, len(FRAMES[1]), len(FRAMES[1]) + 9, len(stream) - 1, len(stream)]
    pieces = [stream[start:end] for start, end in zip(cuts, cuts[1:])]
    with subprocess.Popen(
        [sys.executable, "-c", APPENDER, file], stdin=subprocess.PIPE, stdout=subprocess.PIPE
    ) as writer:

        def append_next_piece():  # the writer appends one piece before each look at the file
            if not pieces:
                return True
            piece = pieces.pop(0)
            writer.stdin.write(b"%d\n%s" % (len(piece), piece))
            writer.stdin.flush()
            return not writer.stdout.readline()

        assert [table.obj for table in pyvorl.follow(file, poll_interval=0, stop=append_next_piece)] == [
            f"t{i}" for i in range(6)
        ]
        writer.stdin.close()
        assert writer.wait(timeout=60) == 0


def test_follow_fails_when_the_file_shrinks(path):
    following = pyvorl.follow(path, poll_interval=0)
    assert next(following).obj == "t0"
    os.truncate(path, 0)
    with pytest.raises(EOFError, match="the file shrank"):
        list(following)


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
