import csv
import io
import json
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import frames
import pyvorl
from pyvorl.__main__ import main
from pyvorl._market_data import make_market_data

COLUMNS = {"ts": np.array([0, 1000], "M8[us]"), "px": np.array([0.25, 1.5]), "sym": np.array(["a", ""], object)}
QUOTES = pyvorl.dumps(COLUMNS, obj="quotes", name="book", decimals={"px": 2}, metadata={"source": "feed"})
EMPTY = pyvorl.dumps({})

DUMP = f"""\
frame 0 at offset 0, {len(QUOTES)} bytes: table 'book', object 'quotes', 2 rows, metadata {{'source': 'feed'}}
  'ts'   datetime64[us]  2  [1970-01-01T00:00:00.000000, 1970-01-01T00:00:00.001000]
  'px'   decimal(2)      2  [0.25, 1.5]
  'sym'  object          2  ['a', '']
frame 1 at offset {len(QUOTES)}, {len(EMPTY)} bytes: table '', object '', 0 rows
"""


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


@pytest.mark.parametrize("head, px", [("0", "[...]"), ("1", "[0.25, ...]")])
def test_dump_head_limits_the_values_shown(tmp_path, capsys, utc, head, px):
    assert main(["dump", write(tmp_path, QUOTES), "--head", head]) == 0
    assert f"  'px'   decimal(2)      2  {px}\n" in capsys.readouterr().out


FORMATS = {
    "json": '{"frame": 0, "offset": 0, "size": SIZE, "table": "book", "object": "quotes", "rows": 2, '
    '"metadata": {"source": "feed"}, "columns": ['
    '{"name": "ts", "type": "datetime64[us]", "metadata": {}, '
    '"values": ["1970-01-01T00:00:00.000000", "1970-01-01T00:00:00.001000"]}, '
    '{"name": "px", "type": "decimal(2)", "metadata": {}, "values": [0.25, 1.5]}, '
    '{"name": "sym", "type": "object", "metadata": {}, "values": ["a", ""]}]}\n'.replace("SIZE", str(len(QUOTES))),
    "csv": "frame,row,ts,px,sym\n0,0,1970-01-01T00:00:00.000000,0.25,a\n0,1,1970-01-01T00:00:00.001000,1.5,\n",
}


@pytest.mark.parametrize("form", list(FORMATS))
def test_dump_as_json_lines_and_csv(tmp_path, capsys, form):
    assert main(["dump", write(tmp_path, QUOTES), "--format", form]) == 0
    assert capsys.readouterr().out == FORMATS[form]


def test_resync_skips_a_damaged_frame_and_reads_the_rest(tmp_path, capsys):
    damaged = bytearray(QUOTES)
    damaged[20] ^= 0xFF
    path = write(tmp_path, EMPTY + QUOTES[:-3] + bytes(damaged) + QUOTES)
    assert main(["dump", path, "--resync"]) == 1
    out, err = capsys.readouterr()
    assert out.count("object 'quotes'") == 1 and out.startswith("frame 0 at offset 0") and "\nframe 1 at offset " in out
    bad, good = len(EMPTY), len(EMPTY) + 2 * len(QUOTES) - 3
    assert err.splitlines()[1] == (
        f"pyvorl dump: {path}: skipped {good - bad} bytes from offset {bad} to the next valid frame at offset {good}"
    )


def test_dump_prints_the_frames_read_then_one_error_line(tmp_path, capsys, utc):
    path = write(tmp_path, QUOTES + EMPTY + QUOTES[:-2])
    assert main(["dump", path]) == 1
    out, err = capsys.readouterr()
    assert out == DUMP
    assert err.startswith(f"pyvorl dump: {path}: frame at offset {len(QUOTES + EMPTY)}: ") and err.count("\n") == 1
    assert err.endswith(f"stream ended inside the body, 2 of {len(QUOTES) - 8} body bytes missing\n")


HOSTILE = "\x1b]0;owned\x07\r\nframe 9 at offset 0\u202e\x85"


@pytest.mark.parametrize("form", ["text", "json", "csv"])
def test_dump_escapes_every_name_the_frame_carries(tmp_path, capsys, form):
    frame = pyvorl.pack_table_frame(HOSTILE, [(HOSTILE, [HOSTILE]), ("\x1b[2J", np.arange(1))])
    assert main(["dump", write(tmp_path, frame), "--format", form]) == 0
    out = capsys.readouterr().out
    if form == "csv":  # CSV keeps every text exactly, for a program to read; quoted where it breaks a line
        assert list(csv.reader(io.StringIO(out))) == [["frame", "row", HOSTILE, "\x1b[2J"], ["0", "0", HOSTILE, "0"]]
        return
    assert out.count("\n") == (4 if form == "text" else 1) and out.replace("\n", "").isprintable()
    if form == "text":
        assert f"  {HOSTILE!r}  object  1  [{HOSTILE!r}]\n" in out
    else:
        assert json.loads(out)["object"] == HOSTILE


@pytest.mark.parametrize("form", ["text", "json", "csv"])
def test_dump_escapes_the_sender_text_in_an_error_line(tmp_path, capsys, form):
    dtype = [("pyvorl.dtype", frames.variant(frames.STRING, "i4," + HOSTILE))]
    field = frames.field("c", frames.column(frames.INT64, [1]), field_metadata=dtype)
    path = write(tmp_path, frames.frame(frames.payload([field])))
    assert main(["dump", path, "--format", form]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"pyvorl dump: {path}: frame at offset 0: ") and err.count("\n") == 1
    assert err[:-1].isprintable()


def test_dump_frames_stops_after_n_frames_and_reads_no_further(tmp_path, capsys, utc):
    path = write(tmp_path, QUOTES + EMPTY + b"garbage!")
    assert main(["dump", path, "--frames", "1"]) == 0
    size = len(QUOTES + EMPTY) + 8
    assert capsys.readouterr() == (
        DUMP.split("frame 1")[0] + f"1 frames, the first {len(QUOTES)} of {size} bytes\n",
        "",
    )


def test_dump_labels_only_zoned_datetimes_with_their_zone(tmp_path, capsys):
    pd = pytest.importorskip("pandas")
    instants = pd.Series(pd.to_datetime([1000], unit="us", utc=True)).dt.as_unit("us")
    zoned, naive = instants.dt.tz_convert("Asia/Tokyo"), instants.dt.tz_localize(None)
    path = write(tmp_path, pyvorl.dumps(pd.DataFrame({"zoned": zoned, "naive": naive})))
    assert main(["dump", path]) == 0 and main(["dump", path, "--format", "csv"]) == 0
    out = capsys.readouterr().out
    assert (
        "  'zoned'  datetime64[us] Asia/Tokyo  1  [1970-01-01T00:00:00.001000Z]  {'pyvorl.timezone': 'Asia/Tokyo'}\n"
        in out
    )
    assert "  'naive'  datetime64[us]             1  [1970-01-01T00:00:00.001000]\n" in out
    assert out.endswith("frame,row,zoned,naive\n0,0,1970-01-01T00:00:00.001000Z,1970-01-01T00:00:00.001000\n")


def test_resync_reads_each_byte_once_when_every_header_reaches_the_end(tmp_path, capsys, monkeypatch):
    # 8192 headers whose bodies all end where the file does, then one good frame:
    # checking each header on its own would checksum 256 MiB.
    size = 8192 * 8 + len(QUOTES)
    headers = b"".join(b"\x7c\x4d\x01\x00" + struct.pack("<I", size - 8 * i - 8) for i in range(8192))
    checksummed, crc32 = [], zlib.crc32
    monkeypatch.setattr(
        zlib, "crc32", lambda data, crc=0: checksummed.append(memoryview(data).nbytes) or crc32(data, crc)
    )
    path = write(tmp_path, headers + QUOTES)
    assert main(["dump", path, "--resync"]) == 1
    assert sum(checksummed) <= size
    out, err = capsys.readouterr()
    skipped = f"skipped {len(headers)} bytes from offset 0 to the next valid frame at offset {len(headers)}"
    assert out.count("object 'quotes'") == 1 and err.splitlines()[1] == f"pyvorl dump: {path}: {skipped}"


def test_dump_fails_in_one_line_when_memory_runs_out(tmp_path, capsys, monkeypatch):
    def no_memory(*args):
        raise MemoryError

    monkeypatch.setattr("pyvorl._dump.decode", no_memory)
    path = write(tmp_path, QUOTES)
    assert main(["dump", path]) == 1
    assert capsys.readouterr().err == f"pyvorl dump: {path}: frame at offset 0: out of memory\n"


def test_a_missing_file_fails_in_one_line_and_usage_errors_exit_2(tmp_path, capsys):
    assert main(["dump", str(tmp_path / "none")]) == 1
    assert capsys.readouterr().err.count("\n") == 1
    assert main(["demo", "--frames", "0"]) == 2
    assert "--frames: must be at least 1, got 0" in capsys.readouterr().err


def test_demo_runs_as_a_module_and_dump_reads_the_file_it_keeps(tmp_path, capsys):
    path = str(tmp_path / "trades.vorl")
    result = subprocess.run(
        [sys.executable, "-m", "pyvorl", "demo", "--rows", "3000", "--frames", "3", "--file", path],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert "3,000 rows of trades in 3 frames; every value read back exactly" in result.stdout
    assert main(["dump", path]) == 0
    out = capsys.readouterr().out
    assert out.count("object 'trades'") == 3 and out.endswith(" bytes\n") and "\n3 frames, " in out


def test_demo_fails_when_a_value_comes_back_wrong(monkeypatch, capsys):
    from pyvorl import _demo

    def tampered(stream):
        for table in pyvorl.read_frames(stream):
            table["qty"][0] += 1
            yield table

    monkeypatch.setattr(_demo, "read_frames", tampered)
    assert main(["demo", "--rows", "100", "--frames", "2"]) == 1
    quantities = make_market_data(100).quantities
    assert capsys.readouterr().err.splitlines() == [
        f"pyvorl demo: check failed: frame {i}: column 'qty': 1 of 50 values differ, "
        f"first at row 0: got {quantities[50 * i] + 1}, expected {quantities[50 * i]}"
        for i in range(2)
    ]
