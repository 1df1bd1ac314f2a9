import gc
import sys

import numpy as np
import pytest

import frames
from frames import BOOL, BYTES, DATETIME, DECIMAL, FLOAT32, FLOAT64, INT32, INT64, NULL, STRING, UINT32, UINT64
from pyvorl import parse_table_frame, set_local_zone

DECODE = "Invalid table frame: Failed to decode table: "


def parse_content(content):
    return parse_table_frame(frames.body(content))


def parse_columns(*series):
    """The arrays of a table with one field per series, named by position."""
    _, _, columns = parse_content(frames.payload([frames.field(str(i), one) for i, one in enumerate(series)]))
    assert [name for name, _ in columns] == [str(i) for i in range(len(series))]
    return [array for _, array in columns]


ALL_TYPES = [
    (frames.column(INT64, [1, -(2**63), 2**63 - 1]), np.int64, [1, -(2**63), 2**63 - 1]),
    (frames.column(NULL), np.bool_, [False, False, False]),
    (bytes([DATETIME]) + frames.datetime_body([0, 60_000_000], 60_000_000), "M8[us]", [0, 60_000_000]),
    (frames.column(FLOAT64, [1.5, -0.0]), np.float64, [1.5, -0.0]),
    (bytes([DECIMAL]) + frames.decimal_body([-1234, 5], 2), np.float64, [-12.34, 0.05]),
    (frames.column(STRING, ["a", "é🙂", ""]), object, ["a", "é🙂", ""]),
    (frames.column(BOOL, [1, 0]), np.bool_, [True, False]),
    (frames.column(INT32, [-(2**31), 2**31 - 1]), np.int32, [-(2**31), 2**31 - 1]),
    (frames.column(UINT32, [0, 2**32 - 1]), np.uint32, [0, 2**32 - 1]),
    (frames.column(UINT64, [2**64 - 1, 1]), np.uint64, [2**64 - 1, 1]),
    (frames.column(FLOAT32, [0.5, -2.0]), np.float32, [0.5, -2.0]),
    (frames.column(BYTES, [b"\x00\xff", b""]), object, [b"\x00\xff", b""]),
]


def test_every_column_type_has_its_dtype_and_values(utc):
    for array, (_, dtype, values) in zip(parse_columns(*(series for series, _, _ in ALL_TYPES)), ALL_TYPES):
        assert array.dtype == np.dtype(dtype) and array.ndim == 1
        items = (array.view(np.int64) if array.dtype.kind == "M" else array).tolist()
        assert items == values and [type(item) for item in items] == [type(item) for item in values]


WITH_NULLS = [
    ([frames.column(NULL), frames.column(INT64, [1, 2])], [0, 2]),
    ([frames.column(STRING, ["a", "b"]), frames.column(INT64, [1]), frames.column(NULL)], [2, 1, 2]),
    ([bytes([DECIMAL]) + frames.decimal_body([1] * 4, 0), frames.column(NULL), frames.column(NULL)], [4, 4, 4]),
]


@pytest.mark.parametrize("series, lengths", WITH_NULLS)
def test_null_columns_are_read_only_false_as_long_as_the_first_field(series, lengths):
    arrays = parse_columns(*series)
    assert [len(array) for array in arrays] == lengths
    nulls = [array for one, array in zip(series, arrays) if one[0] == NULL]
    for array in nulls:
        assert array.dtype == np.bool_ and not array.any() and not array.flags.writeable
        with pytest.raises(ValueError, match="read-only"):
            array[:] = True
    # One table's Null columns share their zeros.
    assert len({id(array.base) for array in nulls}) <= 1


def test_field_type_byte_field_metadata_and_trailing_bytes_are_not_consulted():
    # One value of every variant tag; the decimal is 0.5 (magnitude 5, scale 1).
    values = [None, -5, 7, 1.5, bytes(6) + b"\x05\x10", "x", 1, -1, 2**32 - 1, 2**64 - 1, 0.5, b"\xff"]
    every_variant = [(str(tag), frames.variant(tag, value)) for tag, value in enumerate(values)]
    field = frames.field("a", frames.column(FLOAT64, [2.5]), data_type=INT64, field_metadata=every_variant)
    content = frames.payload([field], magic_version=0, trailer=1)
    assert parse_content(content + b"trailing bytes")[2][0][1].tolist() == [2.5]


NAME_ENTRIES = [
    (None, ("", "")),
    ([("table", frames.variant(STRING, "t")), ("obj", frames.variant(STRING, "ö🙂"))], ("t", "ö🙂")),
    ([("obj", frames.variant(INT64, 1)), ("table", frames.variant(BYTES, b"t"))], ("", "")),
    ([("obj", frames.variant(STRING, "a")), ("obj", frames.variant(STRING, "b"))], ("", "b")),
    ([("obj", frames.variant(STRING, "a")), ("obj", frames.variant(INT64, 1))], ("", "")),
]


@pytest.mark.parametrize("entries, names", NAME_ENTRIES)
def test_table_and_object_names(entries, names):
    assert parse_content(frames.payload(table_metadata=entries)) == (*names, [])


@pytest.mark.parametrize(
    "zone, shown",
    [(8, "1970-01-01T08:00:00"), (-3, "1969-12-31T21:00:00")],
)
def test_datetimes_show_local_wall_clock_time(restore_offset, zone, shown):
    set_local_zone(zone)
    [array] = parse_columns(bytes([DATETIME]) + frames.datetime_body([0], 1))
    assert array[0] == np.datetime64(shown)


@pytest.mark.parametrize("series", [series for series, _, _ in ALL_TYPES if series[0] != NULL])
def test_arrays_own_their_memory_through_a_container_also_when_empty(series):
    first, second = parse_columns(series, series)
    [empty] = parse_columns(bytes([series[0], 0]))
    copied = series[0] in (UINT32, UINT64)  # no matching buffer layout: NumPy owns a copy
    for array in (first, second, empty):
        assert array.flags.writeable and array.flags.c_contiguous and array.flags.owndata == copied
        base = array.base
        assert copied or (type(base).__name__, sys.getrefcount(base)) == ("PySliceContainer", 3)  # array, name, call
    assert (empty.shape, empty.dtype, type(empty.base)) == ((0,), first.dtype, type(first.base))
    if not copied:
        with pytest.raises(TypeError):
            type(first.base)()
    before = second.tolist()
    first[0] = first[-1]
    assert first[0] == first[-1] and second.tolist() == before


def test_parsing_leaves_the_buffer_unchanged():
    body = frames.body(frames.payload([frames.field("a", frames.column(INT64, [1, 2]))]))
    copy = bytes(bytearray(body))
    _, _, [(_, array)] = parse_table_frame(body)
    array[:] = 9
    assert body == copy


def test_views_keep_the_buffer_alive():
    [array] = parse_columns(frames.column(STRING, ["a" * 40, "b" * 40, "c" * 40]))
    view, element = array[1:], array[2]
    count = sys.getrefcount(element)
    del array
    gc.collect()
    assert view.tolist() == ["b" * 40, "c" * 40]
    del view
    gc.collect()
    assert sys.getrefcount(element) == count - 1  # the container dropped its reference


def field_content(series):
    """A payload that ends right after one field's column body."""
    return frames.varint(frames.MAGIC_VERSION) + b"\x01" + frames.text("a") + series[:1] + b"\x00" + series


# Frame errors and decoder errors reach Python unchanged (the engine's own
# tests hold one of each kind).
PARSE_ERRORS = [
    (b"\x00\x00\x00", "Invalid table frame: Content and footer too short"),
    (frames.frame(frames.payload()), "Table frame CRC32 check failed"),
    (frames.body(b""), DECODE + "UnexpectedEnd { additional: 1 }"),
    (
        frames.body(frames.payload(table_metadata=[("obj", b"\x0c")])),
        DECODE + 'UnexpectedVariant { type_name: "Variant", allowed: Range { min: 0, max: 11 }, found: 12 }',
    ),
    (
        frames.body(field_content(bytes([INT32]) + b"\x01\xfd" + bytes(8))),
        DECODE + "InvalidIntegerType { expected: I32, found: I64 }",
    ),
]


@pytest.mark.parametrize("buffer, error", PARSE_ERRORS)
def test_errors_reach_python_unchanged(buffer, error):
    with pytest.raises(ValueError) as info:
        parse_table_frame(buffer)
    assert type(info.value) is ValueError and str(info.value) == error


def test_bytes_subclass_is_accepted_other_buffers_are_not():
    body = frames.body(frames.payload())
    assert parse_table_frame(type("BytesKind", (bytes,), {})(body)) == ("", "", [])
    with pytest.raises(TypeError, match="^argument 'buffer': 'ndarray' object is not an instance of 'bytes'$"):
        parse_table_frame(np.frombuffer(body, np.uint8))
