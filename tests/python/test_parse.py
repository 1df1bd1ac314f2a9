import gc
import math
import os
import sys

import numpy as np
import pytest

import frames
from frames import BOOL, BYTES, DATETIME, DECIMAL, FLOAT32, FLOAT64, INT32, INT64, NULL, STRING, UINT32, UINT64
from pyvorl import pack_table_frame, parse_table_frame, set_local_zone

HOUR = 3_600_000_000


def parse_content(content):
    return parse_table_frame(frames.body(content))


def parse_columns(*series):
    """The arrays of a table with one field per series, named by position."""
    fields = [frames.field(str(i), one) for i, one in enumerate(series)]
    _, _, columns = parse_content(frames.payload(fields))
    assert [name for name, _ in columns] == [str(i) for i in range(len(series))]
    return [array for _, array in columns]


# ---- column types --------------------------------------------------------------------

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


def test_every_column_type_has_its_dtype_and_values(restore_offset):
    set_local_zone(0)
    arrays = parse_columns(*(series for series, _, _ in ALL_TYPES))
    for array, (_, dtype, values) in zip(arrays, ALL_TYPES):
        assert array.dtype == np.dtype(dtype)
        assert array.ndim == 1
        if array.dtype.kind == "M":
            array = array.view(np.int64)
        assert array.tolist() == values
        assert [type(item) for item in array.tolist()] == [type(item) for item in values]


@pytest.mark.parametrize(
    "series, lengths",
    [
        ([], []),
        ([frames.column(NULL)], [0]),
        ([frames.column(NULL), frames.column(INT64, [1, 2])], [0, 2]),
        ([frames.column(INT64, [1, 2, 3]), frames.column(NULL)], [3, 3]),
        ([frames.column(STRING, ["a", "b"]), frames.column(INT64, [1]), frames.column(NULL)], [2, 1, 2]),
        ([bytes([DECIMAL]) + frames.decimal_body([1] * 4, 0), frames.column(NULL)], [4, 4]),
    ],
)
def test_null_columns_take_the_length_of_the_first_field(series, lengths):
    arrays = parse_columns(*series)
    assert [len(array) for array in arrays] == lengths
    assert all(not array.any() for array in arrays if array.dtype == np.bool_)


def test_field_type_byte_and_field_metadata_are_not_consulted():
    every_variant = [
        ("n", frames.variant(NULL)), ("t", frames.variant(DATETIME, -5)), ("i", frames.variant(INT64, 7)),
        ("f", frames.variant(FLOAT64, 1.5)), ("d", frames.variant(DECIMAL, frames.d64(5, 1))),
        ("s", frames.variant(STRING, "x")), ("b", frames.variant(BOOL, 1)), ("i32", frames.variant(INT32, -1)),
        ("u32", frames.variant(UINT32, 2**32 - 1)), ("u64", frames.variant(UINT64, 2**64 - 1)),
        ("f32", frames.variant(FLOAT32, 0.5)), ("y", frames.variant(BYTES, b"\xff")),
    ]
    content = frames.payload(
        [frames.field("a", frames.column(FLOAT64, [2.5]), data_type=INT64, field_metadata=every_variant)],
        magic_version=0, trailer=1,
    )
    assert parse_content(content + b"trailing bytes")[2][0][1].tolist() == [2.5]


# ---- names from the table metadata -------------------------------------------------------


@pytest.mark.parametrize(
    "entries, names",
    [
        (None, ("", "")),
        ([], ("", "")),
        ([("obj", frames.variant(STRING, "o"))], ("", "o")),
        ([("table", frames.variant(STRING, "t")), ("obj", frames.variant(STRING, "ö🙂"))], ("t", "ö🙂")),
        ([("obj", frames.variant(INT64, 1)), ("table", frames.variant(BYTES, b"t"))], ("", "")),
        ([("obj", frames.variant(NULL)), ("Table", frames.variant(STRING, "t"))], ("", "")),
        ([("obj", frames.variant(STRING, "a")), ("obj", frames.variant(STRING, "b"))], ("", "b")),
        ([("obj", frames.variant(STRING, "a")), ("obj", frames.variant(INT64, 1))], ("", "")),
        ([("obj", frames.variant(INT64, 1)), ("obj", frames.variant(STRING, "c"))], ("", "c")),
    ],
)
def test_table_and_object_names(entries, names):
    table, obj, columns = parse_content(frames.payload(table_metadata=entries))
    assert (table, obj, columns) == (*names, [])


def test_packed_frame_has_no_table_name():
    assert parse_table_frame(pack_table_frame("x", [("a", [])])[8:])[:2] == ("", "x")


# ---- decimals and datetimes ---------------------------------------------------------------


@pytest.mark.parametrize(
    "values, scale, expected",
    [
        ([-1234], 2, [-12.34]),
        ([1, -1], 15, [1e-15, -1e-15]),
        ([123456789012345], 12, [123456789012345 / 10.0**12]),
        ([2**56 - 1, -(2**56 - 1)], 0, [float(2**56 - 1), -float(2**56 - 1)]),
        ([7, 2**56 + 5], 11, [7 / 1e11, 5 / 1e11]),  # magnitudes keep their low 56 bits
        ([-(2**63)], 3, [-0.0]),
    ],
)
def test_decimals_become_floats(values, scale, expected):
    [array] = parse_columns(bytes([DECIMAL]) + frames.decimal_body(values, scale))
    assert array.dtype == np.float64
    assert [(value, math.copysign(1, value)) for value in array.tolist()] == [
        (value, math.copysign(1, value)) for value in expected
    ]


def test_nan_and_infinite_decimals_come_back_as_zero():
    packed = pack_table_frame("x", [("a", ["nan", "inf", "x", "2.5"])], {"a": 1})
    assert parse_table_frame(packed[8:])[2][0][1].tolist() == [0.0, 0.0, 0.0, 2.5]


@pytest.mark.parametrize(
    "zone, shown",
    [
        (8, "1970-01-01T08:00:00.000000"),
        (0, "1970-01-01T00:00:00.000000"),
        (-3, "1969-12-31T21:00:00.000000"),
        (25, "1970-01-02T01:00:00.000000"),
    ],
)
def test_datetimes_show_local_wall_clock_time(restore_offset, zone, shown):
    set_local_zone(zone)
    [array] = parse_columns(bytes([DATETIME]) + frames.datetime_body([0], 1))
    assert array[0] == np.datetime64(shown)


def test_default_offset_is_eight_hours_in_a_fresh_process():
    import subprocess

    code = (
        "import numpy as np, pyvorl; "
        "f = pyvorl.pack_table_frame('x', [('a', np.zeros(1, 'M8[us]'))]); "
        "print(pyvorl.parse_table_frame(f[8:])[2][0][1][0])"
    )
    output = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert output.strip() == "1970-01-01T08:00:00.000000"


@pytest.mark.parametrize(
    "body, micros",
    [
        (frames.datetime_body([2**63 - 1], 1), [frames.wrap64(2**63 - 1 + HOUR)]),
        (frames.datetime_body([-(2**63)], 1), [-(2**63)]),  # NaT stays NaT
        (frames.varint(2) + frames.signed(2**62) + frames.signed(4), [HOUR]),  # step x base wraps to 0
        (frames.varint(3) + frames.signed(0) + frames.signed(9) + frames.signed(9), [HOUR, HOUR]),
        (frames.varint(1) + frames.signed(5), []),
    ],
)
def test_datetime_arithmetic_wraps(restore_offset, body, micros):
    set_local_zone(1)
    [array] = parse_columns(bytes([DATETIME]) + body)
    assert array.view(np.int64).tolist() == micros


# ---- array ownership -----------------------------------------------------------------------

CONTAINER_BACKED = [
    (frames.column(INT64, [1, 2]), 5),
    (frames.column(FLOAT64, [1.0, 2.0]), 5.0),
    (frames.column(INT32, [1, 2]), 5),
    (frames.column(FLOAT32, [1.0, 2.0]), 5.0),
    (frames.column(BOOL, [0, 0]), True),
    (bytes([DATETIME]) + frames.datetime_body([10, 20], 10), np.datetime64(5, "us")),
    (bytes([DECIMAL]) + frames.decimal_body([10, 20], 1), 5.0),
    (frames.column(STRING, ["a", "b"]), "z"),
    (frames.column(BYTES, [b"a", b"b"]), b"z"),
]


@pytest.mark.parametrize("series, new_value", CONTAINER_BACKED)
def test_decoded_buffers_back_writeable_arrays_through_a_container(series, new_value):
    first, second = parse_columns(series, series)
    for array in (first, second):
        assert array.flags.writeable and array.flags.c_contiguous and not array.flags.owndata
        assert type(array.base).__name__ == "PySliceContainer"
        base = array.base
        assert sys.getrefcount(base) == 3  # this name, the call, and the array: nothing else
        del base
    assert first.base is not second.base
    with pytest.raises(TypeError):
        type(first.base)()
    before = second.tolist()
    first[0] = new_value
    assert first[0] == new_value
    assert second.tolist() == before


@pytest.mark.parametrize("series", [frames.column(UINT32, [1]), frames.column(UINT64, [1]), frames.column(NULL)])
def test_copied_columns_are_owned_by_numpy(series):
    [array] = parse_columns(frames.column(INT64, [1]), series)[1:]
    assert array.flags.writeable and array.flags.c_contiguous and array.flags.owndata
    assert array.base is None


@pytest.mark.parametrize("tag", [INT64, FLOAT64, STRING, BYTES, BOOL, DATETIME, DECIMAL, INT32, UINT32, UINT64, FLOAT32])
def test_empty_columns_give_empty_arrays(tag):
    series = bytes([tag]) + b"\x00"
    [array] = parse_columns(series)
    assert array.shape == (0,) and array.flags.writeable


def test_parsing_leaves_the_buffer_unchanged():
    body = frames.body(frames.payload([frames.field("a", frames.column(INT64, [1, 2]))]))
    copy = bytes(bytearray(body))
    _, _, [(_, array)] = parse_table_frame(body)
    array[:] = 9
    assert body == copy


def test_views_keep_the_buffer_alive():
    [array] = parse_columns(frames.column(STRING, ["a" * 40, "b" * 40, "c" * 40]))
    view = array[1:]
    element = array[2]
    count = sys.getrefcount(element)
    del array
    gc.collect()
    assert view.tolist() == ["b" * 40, "c" * 40]
    del view
    gc.collect()
    assert sys.getrefcount(element) == count - 1  # the container dropped its reference


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Columns are built inside the test: made at collection they would stay
# resident for the whole session.
@pytest.mark.parametrize(
    "make_column, places, rounds",
    [
        (lambda: np.arange(1_000_000, dtype=np.int64) % 100, None, 200),
        (lambda: np.arange(1_000_000, dtype=np.int64).view("M8[us]"), None, 50),
        (lambda: np.linspace(0, 1, 1_000_000), None, 50),
        (lambda: np.arange(1_000_000) % 100 / 10, {"a": 1}, 15),
        (lambda: ["text %d" % (i % 100) for i in range(100_000)], None, 15),
    ],
    ids=["int64", "datetime", "float64", "decimal", "string"],
)
def test_dropped_arrays_release_their_memory(make_column, places, rounds):
    body = pack_table_frame("x", [("a", make_column())], places)[8:]
    for _ in range(3):
        parse_table_frame(body)
    before = resident_bytes()
    for _ in range(rounds):
        _, _, [(_, array)] = parse_table_frame(body)
        del array
    assert resident_bytes() - before < 64 * 2**20


# ---- errors ------------------------------------------------------------------------------

DECODE = "Invalid table frame: Failed to decode table: "


def field_content(name, series):
    """A payload that ends right after one field's column body."""
    return frames.varint(frames.MAGIC_VERSION) + b"\x01" + frames.text(name) + series[:1] + b"\x00" + series


@pytest.mark.parametrize(
    "body, message",
    [
        (b"", "Invalid table frame: Content and footer too short"),
        (b"\x00", "Invalid table frame: Content and footer too short"),
        (b"\x00\x00\x00", "Invalid table frame: Content and footer too short"),
        (b"\x00\x00\x00\x00", DECODE + "UnexpectedEnd { additional: 1 }"),
        (frames.frame(frames.payload()), "Table frame CRC32 check failed"),
        (frames.body(frames.payload())[:-1] + b"\x00", "Table frame CRC32 check failed"),
    ],
)
def test_frame_errors(body, message):
    with pytest.raises(ValueError) as info:
        parse_table_frame(body)
    assert type(info.value) is ValueError
    assert str(info.value) == message


def test_every_flipped_bit_fails_the_checksum():
    body = pack_table_frame("x", [("a", np.array([1, -1, 300]))])[8:]
    for position in range(len(body) * 8):
        damaged = bytearray(body)
        damaged[position // 8] ^= 1 << (position % 8)
        with pytest.raises(ValueError, match="^Table frame CRC32 check failed$"):
            parse_table_frame(bytes(damaged))


HUGE = 2**60


@pytest.mark.parametrize(
    "content, error",
    [
        (frames.payload([frames.field("a", bytes([12]), data_type=NULL)]),
         'UnexpectedVariant { type_name: "Series", allowed: Range { min: 0, max: 11 }, found: 12 }'),
        (frames.payload([frames.field("a", frames.column(NULL), data_type=12)]),
         'UnexpectedVariant { type_name: "DataType", allowed: Range { min: 0, max: 11 }, found: 12 }'),
        (frames.payload(table_metadata=[("obj", b"\x0c")]),
         'UnexpectedVariant { type_name: "Variant", allowed: Range { min: 0, max: 11 }, found: 12 }'),
        (frames.payload([frames.field("a", frames.column(BOOL, [0, 2]))]), "InvalidBooleanValue(2)"),
        (frames.payload(trailer=2), "InvalidBooleanValue(2)"),
        (frames.payload()[:-1], "UnexpectedEnd { additional: 1 }"),
        (frames.payload([frames.field(b"\xff", frames.column(NULL))]),
         "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"),
        (frames.payload([frames.field("a", frames.column(STRING, [b"ok\xc3"]))]),
         "Utf8 { inner: Utf8Error { valid_up_to: 2, error_len: None } }"),
        (field_content("a", bytes([STRING]) + b"\x01\x0aabcd"), "UnexpectedEnd { additional: 6 }"),
        (field_content("a", bytes([FLOAT64]) + b"\x02" + bytes(12)), "UnexpectedEnd { additional: 4 }"),
        (field_content("a", bytes([FLOAT32]) + b"\x01"), "UnexpectedEnd { additional: 4 }"),
        (field_content("a", bytes([INT32]) + b"\x01\xfd" + bytes(8)), "InvalidIntegerType { expected: I32, found: I64 }"),
        (field_content("a", bytes([UINT32]) + b"\x01\xfd" + bytes(8)), "InvalidIntegerType { expected: U32, found: U64 }"),
        (field_content("a", bytes([INT64]) + b"\x01\xfe"), "InvalidIntegerType { expected: I64, found: I128 }"),
        (field_content("a", bytes([UINT64]) + b"\x01\xff"), "InvalidIntegerType { expected: U64, found: Reserved }"),
        (field_content("a", bytes([DECIMAL]) + b"\xfe"), "InvalidIntegerType { expected: U64, found: U128 }"),
        (field_content("a", bytes([DATETIME]) + b"\x02\xff"), "InvalidIntegerType { expected: I64, found: Reserved }"),
        (field_content("a", bytes([DATETIME]) + b"\x03\x02\x02"), "UnexpectedEnd { additional: 1 }"),
        # Counts and lengths that the remaining bytes cannot hold.
        (frames.varint(frames.MAGIC_VERSION) + frames.varint(HUGE), "UnexpectedEnd { additional: 1 }"),
        (field_content("a", bytes([INT64]) + frames.varint(HUGE) + b"\x02"), "UnexpectedEnd { additional: 1 }"),
        (field_content("a", bytes([BOOL]) + frames.varint(HUGE) + b"\x01"), "UnexpectedEnd { additional: 1 }"),
        (field_content("a", bytes([STRING]) + frames.varint(HUGE) + b"\x00"), "UnexpectedEnd { additional: 1 }"),
        (field_content("a", bytes([BYTES]) + b"\x01" + frames.varint(HUGE) + b"ab"),
         f"UnexpectedEnd {{ additional: {HUGE - 2} }}"),
        (field_content("a", bytes([FLOAT64]) + frames.varint(HUGE)), "UnexpectedEnd { additional: 8 }"),
        (field_content("a", bytes([DECIMAL]) + frames.varint(HUGE) + b"\x04\x02"), "UnexpectedEnd { additional: 1 }"),
        (field_content("a", bytes([DATETIME]) + frames.varint(HUGE) + b"\x02\x02"), "UnexpectedEnd { additional: 1 }"),
        (frames.varint(frames.MAGIC_VERSION) + b"\x00\x01" + frames.varint(HUGE), "UnexpectedEnd { additional: 1 }"),
    ],
)
def test_decode_errors(content, error):
    with pytest.raises(ValueError) as info:
        parse_content(content)
    assert str(info.value) == DECODE + error


@pytest.mark.parametrize("tag_byte", [b"\x02", b"\xff"])
def test_bad_metadata_option_tag(tag_byte):
    content = frames.varint(frames.MAGIC_VERSION) + b"\x00" + tag_byte
    with pytest.raises(ValueError) as info:
        parse_content(content)
    message = str(info.value)
    assert message.startswith(DECODE + 'UnexpectedVariant { type_name: "')
    assert message.endswith(f'", allowed: Range {{ min: 0, max: 1 }}, found: {tag_byte[0]} }}')


@pytest.mark.parametrize("scale", [-1, 16, 2**40])
def test_decimal_scale_outside_the_flags_is_refused(scale):
    content = field_content("a", bytes([DECIMAL]) + frames.decimal_body([5], scale))
    with pytest.raises(ValueError, match="^" + DECODE):
        parse_content(content)


class BytesKind(bytes):
    pass


def test_bytes_subclass_is_accepted_other_buffers_are_not():
    body = frames.body(frames.payload())
    assert parse_table_frame(BytesKind(body)) == ("", "", [])
    for buffer in (bytearray(body), memoryview(body), np.frombuffer(body, np.uint8)):
        with pytest.raises(TypeError) as info:
            parse_table_frame(buffer)
        assert str(info.value) == f"argument 'buffer': '{type(buffer).__qualname__}' object is not an instance of 'bytes'"
