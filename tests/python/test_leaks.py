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
from frames import BYTES, FLOAT64, INT64, NULL, STRING, UINT64, body, column, field, variant, varint
from pyvorl import check_table_frame, get_local_offset, pack_table_frame, parse_table_frame, set_local_zone

ITERATIONS = 300
GROWTH_LIMIT = 8 * 1024  # below one leaked small object per call
ROWS = 1_000_000


class MallocInfo(ctypes.Structure):
    names = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost"
    _fields_ = [(name, ctypes.c_size_t) for name in names.split()]


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


def growth(measure, call, times=ITERATIONS):
    gc.collect()
    before = measure()
    for _ in range(times):
        call()
    gc.collect()
    return measure() - before


def least_growth(measure, call):
    """A leak grows in every round; a cache filled or an arena taken once does not."""
    for _ in range(3):
        grown = growth(measure, call)
        if grown < GROWTH_LIMIT:
            break
    return grown


def assert_leaves_nothing(call, inputs):
    growth(int, call, 20)
    counts = [sys.getrefcount(item) for item in inputs]
    if MALLINFO is not None:
        assert least_growth(heap_in_use, call) < GROWTH_LIMIT
    assert [sys.getrefcount(item) for item in inputs] == counts
    tracemalloc.start()
    try:
        assert least_growth(lambda: tracemalloc.get_traced_memory()[0], call) < GROWTH_LIMIT
    finally:
        tracemalloc.stop()


def failing(function, args, error):
    def call():
        with pytest.raises(error):
            function(*args)

    return call


def after_converted(column, places=None):
    """Arguments whose last column fails after earlier ones own converted buffers."""
    texts = ["a" * 20, "b" * 30]
    columns = [("t", np.arange(64).astype("M8[ns]")), ("s", texts), ("d", np.array([1.25, 2.5])), ("z", column)]
    return lambda: ("x", columns, {"d": 2, **(places or {})})


BAD_PACKS = [
    ("argument", lambda: (1, []), TypeError),
    ("short tuple", lambda: ("x", [("a",)]), IndexError),
    ("unencodable name", lambda: ("x", [("\ud800", np.arange(3))]), UnicodeEncodeError),
    ("dtype", after_converted(np.zeros(4, np.uint8)), ValueError),
    ("2-D", after_converted(np.zeros((2, 2))), TypeError),
    ("text", after_converted(["a", 3]), TypeError),
    ("unencodable text", after_converted(["x", "\udfff"]), UnicodeEncodeError),
    ("places", after_converted(["1"], {"z": 16}), ValueError),
    ("float beyond a decimal", after_converted(np.array([1.0, np.inf]), {"z": 1}), ValueError),
]


def other_producers():
    """Column types that pack_table_frame never writes, and metadata of other variants."""
    meta = [("table", variant(STRING, "t")), ("raw", variant(BYTES, b"\xff" * 40)), ("u", variant(UINT64, 1 << 63))]
    fields = [
        field("u64", column(UINT64, [0, 1 << 31, 250])),
        field("u64", column(UINT64, [0, 1 << 63, 251]), field_metadata=meta),
        field("raw", column(BYTES, [b"", b"\x00" * 40, b"\xff"])),
        field("none", column(NULL)),
    ]
    return body(frames.payload(fields, meta))


def rich_body():
    return pack_table_frame(*after_converted(np.array([0.5, np.nan], np.float32), {"s": 3})())[8:]


def decoded_then(tail):
    """Decoded texts and numbers, then `tail`."""
    texts, numbers = field("s", column(STRING, ["x" * 40] * 3)), field("i", column(INT64, range(50)))
    return lambda: body(varint(frames.MAGIC_VERSION) + varint(3) + texts + numbers + tail)


BAD_PARSES = [
    ("argument", lambda: bytearray(rich_body()), TypeError),
    ("checksum", lambda: pack_table_frame("x", []), ValueError),
    ("a name cut short", decoded_then(varint(9)), ValueError),
    ("bad UTF-8 after good texts", decoded_then(field("a", column(STRING, ["x" * 40, b"\xff"]))), ValueError),
    ("2^60 Float64 values", decoded_then(field("a", bytes([FLOAT64]) + varint(1 << 60) + bytes(20))), ValueError),
]


@pytest.mark.parametrize("make_args, error", [c[1:] for c in BAD_PACKS], ids=[c[0] for c in BAD_PACKS])
def test_refused_packs_leave_nothing(make_args, error):
    args = make_args()
    data = [item for column in args[1] for item in column if isinstance(item, (list, np.ndarray))]
    inputs = [*args, *args[1], *data] + [text for item in data if isinstance(item, list) for text in item]
    assert_leaves_nothing(failing(pack_table_frame, args, error), inputs)


@pytest.mark.parametrize("make_buffer, error", [c[1:] for c in BAD_PARSES], ids=[c[0] for c in BAD_PARSES])
def test_refused_parses_leave_nothing(make_buffer, error):
    buffer = make_buffer()
    assert_leaves_nothing(failing(parse_table_frame, (buffer,), error), [buffer])


def test_good_calls_leave_nothing(restore_offset):
    _, columns, places = after_converted(np.array([0.5, np.nan]))()
    bodies = [rich_body(), other_producers()]

    def call():
        pack_table_frame("x", columns, places)
        for frame_body in bodies:
            parse_table_frame(frame_body)
        check_table_frame(b"\x7c\x4d\x01\x00\x0c\x00\x00\x00")
        failing(check_table_frame, (b"\x7c\x4d",), ValueError)()
        set_local_zone(tz=-4)
        get_local_offset()
        failing(set_local_zone, (26,), ValueError)()
        failing(set_local_zone, ("3",), TypeError)()

    texts = [text for _, data in columns if isinstance(data, list) for text in data]
    assert_leaves_nothing(call, [*columns, places, *bodies, *texts])


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
    frame_body = pack_table_frame("x", columns, places)[8:]
    for call in (
        lambda: pack_table_frame("x", columns, places),
        lambda: parse_table_frame(frame_body),
        failing(pack_table_frame, ("x", columns + [("z", None)], places), ValueError),
    ):
        call()
        assert growth(resident_bytes, call, 10) < 6 << 20
