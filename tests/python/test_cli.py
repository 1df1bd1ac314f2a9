import subprocess
import sys

import numpy as np
import pytest

import pyvorl
from pyvorl.__main__ import main
from pyvorl._market_data import make_market_data

HOUR = 3_600_000_000

QUOTES = pyvorl.pack_table_frame(
    "quotes",
    [
        ("ts", np.array([0, 1000], dtype="datetime64[us]")),
        ("px", np.array([0.29, 1.5])),
        ("sym", ["a", ""]),
    ],
    {"px": 2},
)
EMPTY = pyvorl.pack_table_frame("", [])

DUMP = f"""\
frame 0 at offset 0, {len(QUOTES)} bytes: table '', object 'quotes', 2 rows
  ts   datetime64[us]  2  [1970-01-01T00:00:00.000000, 1970-01-01T00:00:00.001000]
  px   float64         2  [0.29, 1.5]
  sym  object          2  ['a', '']
frame 1 at offset {len(QUOTES)}, {len(EMPTY)} bytes: table '', object '', 0 rows
"""


@pytest.fixture
def utc():
    saved = pyvorl.get_local_offset()
    pyvorl.set_local_zone(0)
    yield
    pyvorl.set_local_zone(saved // HOUR)


def write(tmp_path, data):
    path = tmp_path / "frames.vorl"
    path.write_bytes(data)
    return str(path)


def test_dump_shows_one_block_per_frame(tmp_path, capsys, utc):
    path = write(tmp_path, QUOTES + EMPTY)
    assert main(["dump", path]) == 0
    out, err = capsys.readouterr()
    assert out == DUMP + f"2 frames, {len(QUOTES + EMPTY)} bytes\n"
    assert err == ""


@pytest.mark.parametrize("head, px", [("0", "[...]"), ("1", "[0.29, ...]"), ("9", "[0.29, 1.5]")])
def test_dump_head_limits_the_values_shown(tmp_path, capsys, utc, head, px):
    assert main(["dump", write(tmp_path, QUOTES), "--head", head]) == 0
    assert f"  px   float64         2  {px}\n" in capsys.readouterr().out


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
    path = write(tmp_path, QUOTES + EMPTY + tail)
    assert main(["dump", path]) == 1
    out, err = capsys.readouterr()
    assert out == DUMP
    assert err == f"pyvorl dump: {path}: frame at offset {len(QUOTES + EMPTY)}: {error}\n"


def test_dump_of_a_missing_file_fails_in_one_line(tmp_path, capsys):
    assert main(["dump", str(tmp_path / "none")]) == 1
    assert capsys.readouterr().err.count("\n") == 1


def test_usage_errors_exit_2(capsys):
    assert main(["demo", "--frames", "0"]) == 2
    assert "--frames: must be at least 1, got 0" in capsys.readouterr().err


def test_demo_runs_as_a_module_and_reports_success():
    result = subprocess.run(
        [sys.executable, "-m", "pyvorl", "demo", "--rows", "3000", "--frames", "3"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert "3,000 rows of trades in 3 frames; every value read back matches" in result.stdout
    assert "came back shifted by the local offset (+8 h)" in result.stdout


def test_demo_keeps_its_file_on_request_and_dump_reads_it(tmp_path, capsys):
    path = str(tmp_path / "trades.vorl")
    assert main(["demo", "--rows", "10", "--frames", "4", "--file", path]) == 0
    assert main(["dump", path]) == 0
    out = capsys.readouterr().out
    assert out.count("object 'trades'") == 4 and out.endswith(" bytes\n") and "\n4 frames, " in out


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
