import subprocess
import sys

import numpy as np
import pytest

import pyvorl
from pyvorl.__main__ import main
from pyvorl._market_data import make_market_data

QUOTES = pyvorl.pack_table_frame(
    "quotes",
    [("ts", np.array([0, 1000], "datetime64[us]")), ("px", np.array([0.25, 1.5])), ("sym", ["a", ""])],
    {"px": 2},
)
EMPTY = pyvorl.pack_table_frame("", [])
DUMP = f"""\
frame 0 at offset 0, {len(QUOTES)} bytes: table '', object 'quotes', 2 rows
  'ts'   datetime64[us]  2  [1970-01-01T00:00:00.000000, 1970-01-01T00:00:00.001000]
  'px'   float64         2  [0.25, 1.5]
  'sym'  object          2  ['a', '']
frame 1 at offset {len(QUOTES)}, {len(EMPTY)} bytes: table '', object '', 0 rows
"""


def dump(tmp_path, capsys, data, *options):
    path = tmp_path / "frames.vorl"
    path.write_bytes(data)
    status = main(["dump", str(path), *options])
    out, err = capsys.readouterr()
    return status, out, err.replace(str(path), "PATH")


def test_dump_shows_one_block_per_frame(tmp_path, capsys, utc):
    assert dump(tmp_path, capsys, QUOTES + EMPTY) == (0, DUMP + f"2 frames, {len(QUOTES + EMPTY)} bytes\n", "")
    assert "  'px'   float64         2  [0.25, ...]\n" in dump(tmp_path, capsys, QUOTES, "--head", "1")[1]


def test_dump_escapes_every_name_the_frame_carries(tmp_path, capsys):
    hostile = "\x1b]0;owned\x07\r\nframe 9 at offset 0\u202e"
    frame = pyvorl.pack_table_frame(hostile, [(hostile, [hostile]), ("\x1b[2J", np.arange(1))])
    status, out, _ = dump(tmp_path, capsys, frame)
    assert status == 0 and out.count("\n") == 4
    assert all(ch.isprintable() for ch in out.replace("\n", ""))
    assert f"  {hostile!r}  object  1  [{hostile!r}]\n" in out


@pytest.mark.parametrize(
    "tail, error",
    [
        (QUOTES[:-2], f"stream ended inside the body, 2 of {len(QUOTES) - 8} body bytes missing"),
        (QUOTES[:20] + b"\xff" + QUOTES[21:], "Table frame CRC32 check failed"),
        (b"garbage!", "buffer is not a table frame"),
    ],
    ids=["truncated", "damaged", "not a frame"],
)
def test_dump_prints_the_frames_read_then_one_error_line(tmp_path, capsys, utc, tail, error):
    offset = len(QUOTES + EMPTY)
    assert dump(tmp_path, capsys, QUOTES + EMPTY + tail) == (
        1,
        DUMP,
        f"pyvorl dump: PATH: frame at offset {offset}: {error}\n",
    )


def test_dump_fails_in_one_line_when_memory_runs_out_or_the_file_is_missing(tmp_path, capsys, utc, monkeypatch):
    def no_memory(body, offset):
        raise MemoryError

    monkeypatch.setattr("pyvorl._stream.parse_body", no_memory)
    assert dump(tmp_path, capsys, QUOTES) == (1, "", "pyvorl dump: PATH: frame at offset 0: out of memory\n")
    assert main(["dump", str(tmp_path / "none")]) == 1
    assert capsys.readouterr().err.count("\n") == 1


def test_usage_errors_exit_2(capsys):
    assert main(["demo", "--frames", "0"]) == 2
    assert "--frames: must be at least 1, got 0" in capsys.readouterr().err


def test_demo_runs_as_a_module_and_dump_reads_the_file_it_keeps(tmp_path, capsys):
    path = str(tmp_path / "trades.vorl")
    command = [sys.executable, "-m", "pyvorl", "demo", "--rows", "3000", "--frames", "3", "--file", path]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    assert "3,000 rows of trades in 3 frames; every value read back matches" in result.stdout
    assert "came back shifted by the local offset (+8 h)" in result.stdout
    assert main(["dump", path]) == 0
    out = capsys.readouterr().out
    assert out.count("object 'trades'") == 3 and "\n3 frames, " in out


def test_demo_fails_when_a_value_comes_back_wrong(monkeypatch, capsys):
    from pyvorl import _demo

    def tampered(stream):
        for table, obj, columns in pyvorl.read_frames(stream):
            columns[2][1][0] += 1  # qty
            yield table, obj, columns

    monkeypatch.setattr(_demo, "read_frames", tampered)
    assert main(["demo", "--rows", "100", "--frames", "2"]) == 1
    quantities = make_market_data(100).quantities
    assert capsys.readouterr().err.splitlines() == [
        f"pyvorl demo: check failed: frame {i}: column 'qty': 1 of 50 values differ, "
        f"first at row 0: got {quantities[50 * i] + 1}, expected {quantities[50 * i]}"
        for i in range(2)
    ]
