"""Repeated calls, good and bad, leave no references and no memory behind.

Three meters, each blind where another sees: reference counts of the inputs,
tracemalloc (Python objects kept alive) and the C heap in use or the resident
set (column buffers and C++ containers, which tracemalloc cannot see). Each
distinct way out of a function is checked once.
"""

import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import frames
from pyvorl import check_table_frame, get_local_offset, pack_table_frame, parse_table_frame, set_local_zone

ITERATIONS = 300
GROWTH_LIMIT = 8 * 1024  # below one leaked small object per call
ROWS = 1_000_000


class MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                      "fsmblks", "uordblks", "fordblks", "keepcost")]


try:
    MALLINFO = ctypes.CDLL(None).mallinfo2
    MALLINFO.restype = MallocInfo
except (AttributeError, OSError):
    MALLINFO = None


def heap_in_use():
    info = MALLINFO()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def growth(measure, call, times):
    gc.collect()
    before = measure()
    for _ in range(times):
        call()
    gc.collect()
    return measure() - before


def assert_leaves_nothing(call, inputs):
    growth(int, call, 20)
    counts = [sys.getrefcount(item) for item in inputs]
    if MALLINFO is not None:
        assert growth(heap_in_use, call, ITERATIONS) < GROWTH_LIMIT
    assert [sys.getrefcount(item) for item in inputs] == counts
    tracemalloc.start()
    try:
        assert growth(lambda: tracemalloc.get_traced_memory()[0], call, ITERATIONS) < GROWTH_LIMIT
    finally:
        tracemalloc.stop()


def failing(function, args, error):
    def call():
        with pytest.raises(error):
            function(*args)

    return call


def converted_columns():
    """Columns that own converted buffers by the time a later column fails."""
    return [("t", np.arange(64).astype("datetime64[ns]")), ("s", ["a" * 20, "b" * 30]),
            ("d", np.array([1.25, 2.5])), ("i", np.arange(8))]


BAD_PACKS = [
    ("argument", lambda: (1, []), TypeError),
    ("decimal key", lambda: ("x", [], {1: 2}), TypeError),
    ("item not a tuple", lambda: ("x", [["a", np.arange(3)]]), TypeError),
    ("short tuple", lambda: ("x", [("a",)]), IndexError),
    ("name", lambda: ("x", [(b"a", np.arange(3))]), TypeError),
    ("unencodable name", lambda: ("x", [("\ud800", np.arange(3))]), UnicodeEncodeError),
    ("dtype", lambda: ("x", converted_columns() + [("z", np.zeros(4, np.uint8))], {"d": 2}), ValueError),
    ("2-D", lambda: ("x", converted_columns() + [("z", np.zeros((2, 2)))], {"d": 2}), TypeError),
    ("strided", lambda: ("x", converted_columns() + [("z", np.arange(8)[::2])]), TypeError),
    ("text", lambda: ("x", converted_columns() + [("z", ["a", 3])]), TypeError),
    ("unencodable text", lambda: ("x", converted_columns() + [("z", ["x", "\udfff"])]), UnicodeEncodeError),
    ("places", lambda: ("x", converted_columns() + [("z", ["1"])], {"z": 16}), ValueError),
    ("float beyond a decimal", lambda: ("x", converted_columns() + [("z", np.array([1.0, np.inf]))], {"z": 1}),
     ValueError),
]


def other_producers():
    """Column types that pack_table_frame never writes, and every metadata variant."""
    every_variant = [("table", frames.variant(frames.STRING, "t")), ("raw", frames.variant(frames.BYTES, b"\xff" * 40)),
                     ("n", frames.variant(frames.NULL)), ("u", frames.variant(frames.UINT64, 1 << 63))]
    return frames.body(frames.payload([
        frames.field("u32", frames.column(frames.UINT32, [0, 1 << 31, 250])),
        frames.field("u64", frames.column(frames.UINT64, [0, 1 << 63, 251]), field_metadata=every_variant),
        frames.field("raw", frames.column(frames.BYTES, [b"", b"\x00" * 40, b"\xff"])),
        frames.field("none", frames.column(frames.NULL)),
        frames.field("dec", bytes([frames.DECIMAL]) + frames.decimal_body([150, 25, -50], 2)),
    ], every_variant))


def rich_body():
    columns = converted_columns() + [("f", np.array([0.5, np.nan], np.float32)), ("b", np.array([True, False]))]
    return pack_table_frame("x", columns, {"d": 2, "s": 3})[8:]


def cut_after_decoded_columns():
    """Decoded texts and numbers, then a field whose name runs out."""
    columns = [frames.field("s", frames.column(frames.STRING, ["x" * 40] * 3)),
               frames.field("i", frames.column(frames.INT64, range(50)))]
    return frames.body(frames.varint(frames.MAGIC_VERSION) + frames.varint(3) + b"".join(columns) + frames.varint(9))


BAD_PARSES = [
    ("argument", lambda: bytearray(rich_body()), TypeError),
    ("checksum", lambda: pack_table_frame("x", []), ValueError),
    ("too short", lambda: b"\x00\x01", ValueError),
    ("cut after decoded columns", cut_after_decoded_columns, ValueError),
    ("bad UTF-8 after good texts", lambda: frames.body(frames.payload(
        [frames.field("a", frames.column(frames.STRING, ["x" * 40, "y" * 40, b"\xff"]))])), ValueError),
    ("2^60 Float64 values", lambda: frames.body(frames.payload(
        [frames.field("a", bytes([frames.FLOAT64]) + frames.varint(1 << 60) + bytes(20))])), ValueError),
]


@pytest.mark.parametrize("make_args, error", [c[1:] for c in BAD_PACKS], ids=[c[0] for c in BAD_PACKS])
def test_refused_packs_leave_nothing(make_args, error):
    args = make_args()
    inputs = [*args, *args[1]] + [item for column in args[1] for item in column if isinstance(item, (list, np.ndarray))]
    assert_leaves_nothing(failing(pack_table_frame, args, error), inputs)


@pytest.mark.parametrize("make_buffer, error", [c[1:] for c in BAD_PARSES], ids=[c[0] for c in BAD_PARSES])
def test_refused_parses_leave_nothing(make_buffer, error):
    buffer = make_buffer()
    assert_leaves_nothing(failing(parse_table_frame, (buffer,), error), [buffer])


def test_good_calls_leave_nothing(restore_offset):
    columns, places, bodies = converted_columns(), {"d": 2}, [rich_body(), other_producers()]

    def call():
        pack_table_frame("x", columns, places)
        for body in bodies:
            parse_table_frame(body)
        check_table_frame(b"\x7c\x4d\x01\x00\x0c\x00\x00\x00")
        failing(check_table_frame, (b"\x7c\x4d",), ValueError)()
        set_local_zone(tz=-4)
        get_local_offset()
        failing(set_local_zone, (26,), ValueError)()
        failing(set_local_zone, ("3",), TypeError)()

    assert_leaves_nothing(call, [*columns, places, *bodies])


LARGE = {
    "int64": lambda: ([("c", np.arange(ROWS) * 7919)], None),
    "datetime64[ns]": lambda: ([("c", (np.arange(ROWS) * 1_000_000_123).astype("datetime64[ns]"))], None),
    "decimal": lambda: ([("c", np.arange(ROWS) / 8.0)], {"c": 3}),
    "string": lambda: ([("c", [f"text number {i}" for i in range(ROWS // 5)])], None),
}


# A leak of one byte per row would add 10 MB over these rounds.
@pytest.mark.parametrize("kind", list(LARGE))
def test_large_columns_release_their_buffers(kind):
    columns, places = LARGE[kind]()
    body = pack_table_frame("x", columns, places)[8:]
    for call in (lambda: pack_table_frame("x", columns, places), lambda: parse_table_frame(body),
                 failing(pack_table_frame, ("x", columns + [("z", None)], places), ValueError)):
        call()
        assert growth(resident_bytes, call, 10) < 6 << 20
