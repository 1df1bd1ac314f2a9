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
from frames import BYTES, FLOAT64, INT32, INT64, NULL, STRING, UINT64, body, column, field, variant, varint
from pyvorl import (
    FrameError,
    Table,
    check_table_frame,
    dumps,
    get_local_offset,
    loads,
    pack_table_frame,
    parse_table_frame,
    set_local_zone,
)

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


def decoded_then(tail, wrap=body, rows=50):
    """Decoded texts and numbers, then `tail`."""
    texts, numbers = field("s", column(STRING, ["x" * 40] * 3)), field("i", column(INT64, range(rows)))
    return lambda: wrap(varint(frames.MAGIC_VERSION) + varint(3) + texts + numbers + tail)


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


N = 64
DECIMALS = {"decimal": 3, "decimal texts": 2}


def every_kind():
    """A column of each kind that dumps takes; DECIMALS names two of them."""
    numbers, texts = np.arange(N), [f"text number {i}" for i in range(N)]
    return {
        **{dtype: numbers.astype(dtype) for dtype in ("i1", "u2", "f2", "i4", "u8", ">f8", "?")},
        **{dtype: (numbers << 40).astype(dtype) for dtype in ("M8[ns]", "M8[s]", "m8[ms]")},
        "strided": np.arange(2 * N)[::2],
        "texts": texts,
        "bytes": [text.encode() for text in texts],
        "U": np.array(texts),
        "T": np.array(texts, dtype=np.dtypes.StringDType()),
        "decimal": numbers / 8.0,
        "decimal texts": [f"{i}.25" for i in range(N)],
    }


def with_bad(column=None, **options):
    """dumps arguments: every kind with `column` among them, and `options` over the good ones."""

    def make():
        items = list(every_kind().items())
        if column is not None:
            items.insert(len(items) // 2, ("bad", column))
        return dict(items), {"obj": "x", "decimals": DECIMALS, **options}

    return make


BAD_DUMPS = [
    ("unsupported dtype", with_bad(np.zeros(N, np.complex64)), ValueError),
    ("2-D", with_bad(np.zeros((N, 2))), ValueError),
    ("rows differ", with_bad(np.zeros(N + 1)), ValueError),
    ("int in texts", with_bad(["a"] * (N - 1) + [3]), ValueError),
    ("bytes in texts", with_bad(["a"] * (N - 1) + [b"a"]), ValueError),
    ("unencodable text", with_bad(["x"] * (N - 1) + ["\udfff"]), ValueError),
    ("nan as a decimal", with_bad(np.full(N, np.nan), decimals={**DECIMALS, "bad": 2}), ValueError),
    ("decimal text beyond its places", with_bad(decimals={**DECIMALS, "decimal texts": 1}), ValueError),
    ("places out of range", with_bad(decimals={**DECIMALS, "decimal": 16}), ValueError),
    ("decimals not a mapping", with_bad(decimals=[("decimal", 2)]), TypeError),
    ("metadata value", with_bad(metadata={"a": 1, "b": object()}), ValueError),
    ("metadata integer beyond 64 bits", with_bad(metadata={"a": 1 << 70}), ValueError),
    ("reserved metadata key", with_bad(metadata={"pyvorl.dtype": "int8"}), ValueError),
    ("obj", with_bad(obj=1), TypeError),
]


def dumped():
    return dumps(every_kind(), obj="x", name="t", decimals=DECIMALS, metadata={"k": 1, "d": np.datetime64(0, "us")})


def foreign():
    """Column types that dumps never writes, Null columns among them, and an Int32 column restored to int8."""
    int8 = [("pyvorl.dtype", variant(STRING, "int8"))]
    fields = [
        field("u64", column(UINT64, [0, 1 << 63, 251])),
        field("raw", column(BYTES, [b"", b"\x00" * 40, b"\xff"])),
        field("none", column(NULL)),
        field("none too", column(NULL)),
        field("small", column(INT32, [1, -2, 3]), field_metadata=int8),
    ]
    return frames.frame(frames.payload(fields, [("obj", variant(STRING, "o")), ("u", variant(UINT64, 1 << 63))]))


def frame_then(tail):
    """decoded_then as a whole frame, every column of three rows."""
    return decoded_then(tail, frames.frame, rows=3)


def with_dtype(name, values):
    meta = [("pyvorl.dtype", variant(STRING, name))]
    return lambda: frames.frame(frames.payload([field("a", column(INT32, values), field_metadata=meta)]))


BAD_LOADS = [
    ("argument", lambda: "frame", TypeError),
    ("truncated", lambda: dumped()[:-1], FrameError),
    ("trailing bytes", lambda: dumped() + b"\0", FrameError),
    ("checksum", lambda: dumped().replace(b"text number 9", b"text number 8"), FrameError),
    ("not a frame", lambda: bytes(64), FrameError),
    ("bad UTF-8 after good texts", frame_then(field("a", column(STRING, ["x" * 40, b"\xff", "y"]))), FrameError),
    ("rows differ", frame_then(field("a", column(INT64, [1]))), FrameError),
    ("a column twice", frame_then(field("s", column(INT64, [1, 2, 3]))), FrameError),
    ("pyvorl.dtype that is no dtype", with_dtype("x\x1b", [1]), FrameError),
    ("pyvorl.dtype of another kind", with_dtype("datetime64[ns]", [1]), FrameError),
]
STRINGS = ["object", "stringdtype"]


@pytest.mark.parametrize("make_args, error", [c[1:] for c in BAD_DUMPS], ids=[c[0] for c in BAD_DUMPS])
def test_refused_dumps_leave_nothing(make_args, error):
    columns, options = make_args()
    texts = [text for data in columns.values() if isinstance(data, list) for text in data]
    assert_leaves_nothing(
        failing(lambda: dumps(columns, **options), (), error), [columns, options, *columns.values()] + texts
    )


@pytest.mark.parametrize("strings", STRINGS)
@pytest.mark.parametrize("make_frame, error", [c[1:] for c in BAD_LOADS], ids=[c[0] for c in BAD_LOADS])
def test_refused_loads_leave_nothing(make_frame, error, strings):
    frame = make_frame()
    assert_leaves_nothing(failing(lambda: loads(frame, strings=strings), (), error), [frame])


@pytest.mark.parametrize("strings", STRINGS)
def test_good_dumps_and_loads_leave_nothing(strings):
    columns = every_kind()
    sources = [dumped(), foreign()]
    sources += [bytearray(sources[0]), memoryview(sources[1])]  # read from a private copy

    def call():
        dumps(columns, obj="x", decimals=DECIMALS)
        dumps(Table(columns, decimals=DECIMALS, field_metadata={"texts": {"k": b"v"}}), metadata={"n": 1.5})
        for source in sources:
            loads(source, strings=strings)

    assert_leaves_nothing(call, [columns, *columns.values(), *sources])


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
    frame = pack_table_frame("x", columns, places)
    # A decimal text that fails after the large column is converted.
    failing_last = [*columns, ("z", ["1"] * (len(columns[0][1]) - 1) + ["x"])]
    for call in (
        lambda: pack_table_frame("x", columns, places),
        lambda: parse_table_frame(frame[8:]),
        failing(pack_table_frame, ("x", columns + [("z", None)], places), ValueError),
        lambda: dumps(columns, decimals=places),
        lambda: loads(frame),
        failing(lambda: dumps(failing_last, decimals={**(places or {}), "z": 0}), (), ValueError),
    ):
        call()
        assert growth(resident_bytes, call, 10) < 6 << 20
