"""Repeated calls, good and bad, leave no references and no memory behind.

Three meters, each blind where another sees: reference counts of the inputs
(a reference kept or dropped too often), tracemalloc (Python objects kept
alive) and the C heap in use or the resident set (column buffers and C++
containers, which tracemalloc cannot see).
"""

import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from pyvorl import check_table_frame, get_local_offset, pack_table_frame, parse_table_frame, set_local_zone
from test_hostile_frames import (
    BOOL, BYTES, DATETIME, DECIMAL, FLOAT64, HUGE, INT64, STRING, UINT32, UINT64, VARIANT_BYTES, VARIANT_STRING,
    body, content, field, metadata, one_column, text, varint, zigzag,
)

WARMUP = 50
ITERATIONS = 2000
TRACED_ITERATIONS = 1000  # tracemalloc slows each call several times over
# Below one leaked small object (16 bytes and more) per call.
PYTHON_GROWTH_LIMIT = 8 * 1024
HEAP_GROWTH_LIMIT = 16 * 1024
LARGE_ROWS = 1_000_000
RESIDENT_GROWTH_LIMIT = 6 * 1024 * 1024


class MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _malloc_info():
    try:
        function = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    function.restype = MallocInfo
    return function


MALLINFO = _malloc_info()


def heap_in_use():
    info = MALLINFO()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def inputs_of(args):
    """Every object reachable from the arguments through lists, tuples and dicts."""
    found, pending = {}, list(args)
    while pending:
        item = pending.pop()
        if id(item) in found:
            continue
        found[id(item)] = item
        if isinstance(item, (list, tuple)):
            pending.extend(item)
        elif isinstance(item, dict):
            pending.extend(item.keys())
            pending.extend(item.values())
    return list(found.values())


def refcounts(objects):
    return [sys.getrefcount(item) for item in objects]


def repeat(call, times):
    for _ in range(times):
        call()


def growth(measure, call, times):
    gc.collect()
    before = measure()
    repeat(call, times)
    gc.collect()
    return measure() - before


def assert_leaves_nothing(call, inputs):
    repeat(call, WARMUP)
    counts = refcounts(inputs)
    if MALLINFO is not None:
        assert growth(heap_in_use, call, ITERATIONS) < HEAP_GROWTH_LIMIT
    else:
        repeat(call, ITERATIONS)
    assert refcounts(inputs) == counts
    tracemalloc.start()
    try:
        python_growth = growth(lambda: tracemalloc.get_traced_memory()[0], call, TRACED_ITERATIONS)
    finally:
        tracemalloc.stop()
    assert python_growth < PYTHON_GROWTH_LIMIT


def failing(function, args, error):
    def call():
        try:
            function(*args)
        except error:
            return
        raise AssertionError(f"{function.__name__}{args!r} did not raise {error.__name__}")

    return call


class ForeignNdarray:
    pass


ForeignNdarray.__name__ = "ndarray"


class ForeignList:
    pass


ForeignList.__name__ = "list"


class ArraySubclass(np.ndarray):
    pass


def ints(count=8):
    return np.arange(count, dtype=np.int64)


def floats(*values):
    return np.array(values, dtype=np.float64)


def misaligned_int64():
    return np.frombuffer(bytes(8 * 5), dtype=np.int64, count=4, offset=1)


def converted_columns():
    """Columns that own converted buffers by the time a later column fails."""
    return [("t", np.arange(64).astype("datetime64[ns]")), ("s", ["a" * 20, "b" * 30]),
            ("d", floats(1.25, 2.5)), ("i", ints())]


# (id, arguments factory, exception): every way pack_table_frame refuses its input.
BAD_PACKS = [
    ("obj int", lambda: (1, []), TypeError),
    ("obj None", lambda: (None, []), TypeError),
    ("obj surrogate", lambda: ("\udc00", []), UnicodeEncodeError),
    ("columns tuple", lambda: ("x", ()), TypeError),
    ("columns dict", lambda: ("x", {"a": ints()}), TypeError),
    ("decimal_fields list", lambda: ("x", [], [("a", 2)]), TypeError),
    ("decimal key int", lambda: ("x", [("a", floats(1.0))], {1: 2}), TypeError),
    ("decimal key surrogate", lambda: ("x", [], {"\udc00": 2}), UnicodeEncodeError),
    ("decimal value str", lambda: ("x", [("a", floats(1.0))], {"a": "2"}), TypeError),
    ("decimal value float", lambda: ("x", [], {"a": 2.0}), TypeError),
    ("negative places", lambda: ("x", [("a", floats(1.0))], {"a": -1}), OverflowError),
    ("places beyond 64 bits", lambda: ("x", [], {"a": 1 << 64}), OverflowError),
    ("item list", lambda: ("x", [["a", ints()]]), TypeError),
    ("item str", lambda: ("x", ["a"]), TypeError),
    ("empty tuple", lambda: ("x", [()]), IndexError),
    ("one-item tuple", lambda: ("x", [("a",)]), IndexError),
    ("name int", lambda: ("x", [(1, ints())]), TypeError),
    ("name None", lambda: ("x", [(None, ints())]), TypeError),
    ("name bytes", lambda: ("x", [(b"a", ints())]), TypeError),
    ("name surrogate", lambda: ("x", [("\ud800", ints())]), UnicodeEncodeError),
    ("data tuple", lambda: ("x", [("a", (1, 2))]), ValueError),
    ("data None", lambda: ("x", [("a", None)]), ValueError),
    ("data dict", lambda: ("x", [("a", {"b": 1})]), ValueError),
    ("ndarray subclass", lambda: ("x", [("a", ints().view(ArraySubclass))]), ValueError),
    ("foreign ndarray", lambda: ("x", [("a", ForeignNdarray())]), TypeError),
    ("foreign list", lambda: ("x", [("a", ForeignList())]), TypeError),
    ("dtype uint8", lambda: ("x", [("a", np.zeros(4, dtype=np.uint8))]), ValueError),
    ("dtype uint64", lambda: ("x", [("a", np.zeros(4, dtype=np.uint64))]), ValueError),
    ("dtype complex", lambda: ("x", [("a", np.zeros(4, dtype=np.complex128))]), ValueError),
    ("dtype object", lambda: ("x", [("a", np.array(["a", 1], dtype=object))]), ValueError),
    ("dtype unicode", lambda: ("x", [("a", np.array(["abc"]))]), ValueError),
    ("dtype datetime64[D]", lambda: ("x", [("a", np.zeros(4, dtype="datetime64[D]"))]), ValueError),
    ("dtype byte-swapped int64", lambda: ("x", [("a", ints().astype(">i8"))]), ValueError),
    ("0-d array", lambda: ("x", [("a", np.array(5, dtype=np.int64))]), TypeError),
    ("2-D array", lambda: ("x", [("a", np.zeros((2, 2), dtype=np.int64))]), TypeError),
    ("2-D datetime", lambda: ("x", [("a", np.zeros((2, 2), dtype="datetime64[us]"))]), TypeError),
    ("strided array", lambda: ("x", [("a", ints()[::2])]), TypeError),
    ("strided float with places", lambda: ("x", [("a", floats(1.0, 2.0, 3.0)[::2])], {"a": 2}), TypeError),
    ("misaligned array", lambda: ("x", [("a", misaligned_int64())]), TypeError),
    ("list with int", lambda: ("x", [("a", ["x", 1])]), TypeError),
    ("list with None", lambda: ("x", [("a", ["x", "y", None])]), TypeError),
    ("list with bytes", lambda: ("x", [("a", [b"x"])]), TypeError),
    ("list with lone surrogate", lambda: ("x", [("a", ["x", "\udfff"])]), UnicodeEncodeError),
    ("places 16 on floats", lambda: ("x", [("a", floats(1.0))], {"a": 16}), ValueError),
    ("places 2^63 on texts", lambda: ("x", [("a", ["1.5"])], {"a": 1 << 63}), ValueError),
    ("float beyond a decimal", lambda: ("x", [("a", floats(1.0, 1e30))], {"a": 2}), ValueError),
    ("float32 infinity", lambda: ("x", [("a", np.array([1.0, np.inf], dtype=np.float32))], {"a": 0}), ValueError),
    ("float -1e300", lambda: ("x", [("a", floats(-1e300))], {"a": 15}), ValueError),
    ("bad column after converted ones", lambda: ("x", converted_columns() + [("z", None)], {"d": 2}), ValueError),
    ("bad text after converted ones", lambda: ("x", converted_columns() + [("z", ["a", 3])]), TypeError),
    ("bad floats after converted ones", lambda: ("x", converted_columns() + [("z", floats(np.inf))], {"z": 1}),
     ValueError),
]


def rich_columns():
    return [
        ("int64", np.array([1, -1, 300, -(1 << 63)], dtype=np.int64)),
        ("float64", floats(0.5, -0.0, np.nan, np.inf)),
        ("int32", np.array([7, -7, 1 << 30, 0], dtype=np.int32)),
        ("float32", np.array([0.25, 1e30, -1.0, 0.0], dtype=np.float32)),
        ("bool", np.array([True, False, True, True])),
        ("us", np.array([0, 60_000_000, 120_000_000, 5], dtype="datetime64[us]")),
        ("ms", np.array([1, 2, 3, 4], dtype="datetime64[ms]")),
        ("s", np.array([1, 2, 3, 4], dtype="datetime64[s]")),
        ("ns", np.array([-1, -1500, 1999, 0], dtype="datetime64[ns]")),
        ("texts", ["", "ab" * 20, "\u00e9\u4e2d\U0001f600", "1.5"]),
        ("price", floats(1.25, -1.25, 2.675, np.nan)),
        ("quote", ["1.5", "x", "-0.25", "nan"]),
    ]


RICH_PLACES = {"price": 2, "quote": 3, "int64": 4, "unused": 1}


def frame_of_other_producers():
    """Column types that pack_table_frame never writes, and every metadata variant."""
    every_variant = metadata(
        ("table", bytes([VARIANT_STRING]) + text("trades")),
        ("obj", bytes([VARIANT_STRING]) + text("abc")),
        ("null", b"\x00"), ("when", bytes([DATETIME]) + varint(zigzag(-5))),
        ("i64", bytes([INT64]) + varint(zigzag(1 << 40))), ("f64", bytes([FLOAT64]) + bytes(8)),
        ("dec", bytes([DECIMAL]) + bytes(7) + b"\x21"), ("flag", bytes([BOOL]) + b"\x01"),
        ("u32", bytes([UINT32]) + varint(1 << 31)), ("u64", bytes([UINT64]) + varint(1 << 63)),
        ("raw", bytes([VARIANT_BYTES]) + text(b"\x00\xff" * 40)),
    )
    fields = [
        field("u32", UINT32, varint(3) + varint(0) + varint(1 << 31) + varint(250)),
        field("u64", UINT64, varint(3) + varint(0) + varint(1 << 63) + varint(251), metadata()),
        field("raw", BYTES, varint(3) + text(b"") + text(b"\x00" * 40) + text(b"\xff\xfe"), every_variant),
        field("none", 0, b""),
        field("dec", DECIMAL, varint(4) + varint(zigzag(2)) + b"".join(varint(zigzag(d)) for d in (150, 25, -50))),
        field("dt", DATETIME, varint(3) + varint(zigzag(1000)) + varint(zigzag(1)) + varint(zigzag(3))),
        field("text", STRING, varint(2) + text("x" * 50) + text("\u00e9" * 30)),
    ]
    return body(content(fields, every_variant))


def rich_body():
    return pack_table_frame("object", rich_columns(), RICH_PLACES)[8:]


def truncated(frame_body, keep):
    """The first `keep` content bytes of a body, under a fresh, valid checksum."""
    return body(frame_body[:-4][:keep])


def with_flipped_bit(data, index):
    damaged = bytearray(data)
    damaged[index] ^= 0x10
    return bytes(damaged)


# (id, argument factory, exception): every way parse_table_frame refuses its input.
BAD_PARSES = [
    ("str", lambda: "abc", TypeError),
    ("bytearray", lambda: bytearray(rich_body()), TypeError),
    ("memoryview", lambda: memoryview(rich_body()), TypeError),
    ("None", lambda: None, TypeError),
    ("empty", lambda: b"", ValueError),
    ("three bytes", lambda: b"\x00\x01\x02", ValueError),
    ("whole frame", lambda: pack_table_frame("x", rich_columns()), ValueError),
    ("flipped content bit", lambda: with_flipped_bit(rich_body(), 40), ValueError),
    ("flipped footer bit", lambda: with_flipped_bit(rich_body(), -1), ValueError),
    ("empty content", lambda: body(b""), ValueError),
    *[(f"cut at {keep}", lambda keep=keep: truncated(rich_body(), keep), ValueError)
      for keep in (3, 6, 9, 40, 120, 200, 260, 300, -3, -1)],
    *[(f"other producers cut at {keep}", lambda keep=keep: truncated(frame_of_other_producers(), keep), ValueError)
      for keep in (20, 60, 150, 400, -10)],
    ("data type 12", lambda: body(content([field("a", 12, b"")])), ValueError),
    ("series tag 12", lambda: body(content([text("a") + b"\x02\x00\x0c"])), ValueError),
    ("option tag 2", lambda: body(content([field("a", INT64, varint(0), b"\x02")])), ValueError),
    ("variant tag 12", lambda: body(content([], metadata(("k", b"\x0c")))), ValueError),
    ("bool byte 2", lambda: body(content([field("a", BOOL, varint(3) + b"\x01\x00\x02")])), ValueError),
    ("bad trailer", lambda: body(content([], trailer=b"\x07")), ValueError),
    ("marker FE", lambda: body(content([field("a", INT64, varint(2) + b"\x02\xfe")])), ValueError),
    ("marker FD in Int32", lambda: body(content([field("a", 7, varint(1) + varint(1 << 40))])), ValueError),
    ("bad UTF-8 after good texts",
     lambda: body(content([field("a", STRING, varint(3) + text("x" * 40) + text("y" * 40) + text(b"\xff"))])),
     ValueError),
    ("bad UTF-8 after good columns",
     lambda: body(content([field("a", INT64, varint(2) + b"\x02\x04"), field(b"\xc3(", INT64, varint(0))])),
     ValueError),
    ("2^60 fields", lambda: body(varint(0x4D7C0001) + varint(HUGE)), ValueError),
    ("2^60 string bytes", lambda: body(one_column(STRING, varint(1) + varint(HUGE) + b"abc")), ValueError),
    ("2^60 Float64 values", lambda: body(one_column(FLOAT64, varint(HUGE) + bytes(20))), ValueError),
]


@pytest.mark.parametrize("make_args, error", [c[1:] for c in BAD_PACKS], ids=[c[0] for c in BAD_PACKS])
def test_refused_packs_leave_nothing(make_args, error):
    args = make_args()
    assert_leaves_nothing(failing(pack_table_frame, args, error), inputs_of(args))


@pytest.mark.parametrize("make_buffer, error", [c[1:] for c in BAD_PARSES], ids=[c[0] for c in BAD_PARSES])
def test_refused_parses_leave_nothing(make_buffer, error):
    buffer = make_buffer()
    assert_leaves_nothing(failing(parse_table_frame, (buffer,), error), [buffer])


def test_packing_leaves_nothing():
    columns, places = rich_columns(), dict(RICH_PLACES)
    assert_leaves_nothing(lambda: pack_table_frame("object", columns, places), inputs_of((columns, places)))


@pytest.mark.parametrize("make_body", [rich_body, frame_of_other_producers])
def test_parsing_leaves_nothing(make_body):
    frame_body = make_body()
    assert_leaves_nothing(lambda: parse_table_frame(frame_body), [frame_body])


def test_header_check_leaves_nothing():
    header, short, foreign = b"\x7c\x4d\x01\x00\x0c\x00\x00\x00", b"\x7c\x4d", b"\x00" * 8

    def call():
        check_table_frame(header)
        for refused in (short, foreign):
            try:
                check_table_frame(refused)
            except ValueError:
                pass
        try:
            check_table_frame(bytearray(header))
        except TypeError:
            pass

    assert_leaves_nothing(call, [header, short, foreign])


def test_time_zone_calls_leave_nothing(restore_offset):
    refused = [("3", TypeError), (None, TypeError), (26, ValueError), (-128, ValueError), (200, OverflowError),
               (1 << 70, OverflowError)]

    def call():
        set_local_zone(3)
        set_local_zone(tz=-4)
        get_local_offset()
        for zone, error in refused:
            try:
                set_local_zone(zone)
            except error:
                pass

    assert_leaves_nothing(call, [zone for zone, _ in refused])


def large_columns():
    rows = np.arange(LARGE_ROWS)
    return {
        "int64": ([("c", rows.astype(np.int64) * 7919)], None),
        "float64": ([("c", rows / 3.0)], None),
        "int32": ([("c", rows.astype(np.int32))], None),
        "float32": ([("c", rows.astype(np.float32))], None),
        "bool": ([("c", rows % 3 == 0)], None),
        "datetime64[ns]": ([("c", (rows * 1_000_000_123).astype("datetime64[ns]"))], None),
        "decimal from float64": ([("c", rows / 8.0)], {"c": 3}),
        "string": ([("c", [f"text number {i}" for i in range(LARGE_ROWS // 5)])], None),
    }


LARGE_KINDS = list(large_columns())


@pytest.fixture(scope="module")
def large():
    columns = large_columns()
    return {kind: (cols, places, pack_table_frame("x", cols, places)[8:]) for kind, (cols, places) in columns.items()}


def assert_resident_memory_flat(call, iterations):
    repeat(call, 3)
    assert growth(resident_bytes, call, iterations) < RESIDENT_GROWTH_LIMIT


# A leak of a single byte per row would add 20 MB over these iterations.
def iterations_for(kind):
    return 10 if kind == "string" else 20


@pytest.mark.parametrize("kind", LARGE_KINDS)
def test_packing_large_columns_keeps_resident_memory_flat(large, kind):
    columns, places, _ = large[kind]
    assert_resident_memory_flat(lambda: pack_table_frame("x", columns, places), iterations_for(kind))


@pytest.mark.parametrize("kind", LARGE_KINDS)
def test_parsed_arrays_release_their_buffers(large, kind):
    *_, frame_body = large[kind]
    assert_resident_memory_flat(lambda: parse_table_frame(frame_body), iterations_for(kind))


def test_refused_large_packs_release_converted_buffers(large):
    converted = [large["datetime64[ns]"][0][0], ("d", large["decimal from float64"][0][0][1]),
                 large["string"][0][0]]
    bad_floats = np.ones(LARGE_ROWS)
    bad_floats[-1] = np.inf
    bad_texts = [f"t{i}" for i in range(LARGE_ROWS // 5)] + [5]
    for args, error in [(("x", converted + [("z", None)], {"d": 2}), ValueError),
                        (("x", [("z", bad_floats)], {"z": 2}), ValueError),
                        (("x", converted + [("z", bad_texts)]), TypeError)]:
        assert_resident_memory_flat(failing(pack_table_frame, args, error), 10)


def test_refused_large_parses_release_what_was_decoded(large):
    decoded_then_cut = []
    for kind in ("int64", "string", "decimal from float64", "datetime64[ns]"):
        frame_content = large[kind][2][:-4]
        # The frame's only column, then a second field whose name runs out.
        columns_then_end = frame_content[:5] + varint(2) + frame_content[6:-10] + text("zz")[:-1]
        decoded_then_cut.append(body(columns_then_end))
    for frame_body in decoded_then_cut:
        assert_resident_memory_flat(failing(parse_table_frame, (frame_body,), ValueError), 20)


def test_views_keep_the_buffer_until_the_last_one_goes(large):
    *_, frame_body = large["int64"]
    expected = np.arange(LARGE_ROWS, dtype=np.int64)[500_000:] * 7919

    def view_outliving_its_array():
        (_, _, [(_, array)]) = parse_table_frame(frame_body)
        view = array[500_000:]
        del array
        assert np.array_equal(view, expected)

    assert_resident_memory_flat(view_outliving_its_array, 20)


def test_parsed_strings_are_held_once_by_their_array():
    texts = [f"{'long text ' * 3}{i}" for i in range(3)]
    (_, _, [(_, array)]) = parse_table_frame(pack_table_frame("x", [("s", texts)])[8:])
    element = array[1]
    assert element == texts[1] and element is not texts[1]
    assert sys.getrefcount(element) == 3  # the array's buffer, `element`, the argument
    del array
    assert sys.getrefcount(element) == 2


def test_parsed_strings_are_freed_with_their_array():
    frame_body = pack_table_frame("x", [("s", [f"string {i:08}" for i in range(100_000)])])[8:]
    parse_table_frame(frame_body)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = parse_table_frame(frame_body)
        held = tracemalloc.get_traced_memory()[0] - before
        del result
        gc.collect()
        left = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert held > 100_000 * 50  # one str object per element, traced while the array lives
    assert left < PYTHON_GROWTH_LIMIT
