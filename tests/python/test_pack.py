import copy
import struct
import sys
import zlib

import numpy as np
import pytest

import frames
from pyvorl import check_table_frame, pack_table_frame, parse_table_frame, set_local_zone

NAT = -(2**63)


def frame_of(column, places=None):
    return pack_table_frame("x", [("a", column)], None if places is None else {"a": places})


# ---- exact bytes -----------------------------------------------------------------

FRAME_X_A = bytes.fromhex(
    "7c4d0100 1f000000"
    "fc01007c4d 01 0161 02 00 02 03 02 01 fb5802 01 01 036f626a 05 0178 00"
    "d94602af"
)


def test_object_x_with_one_int64_column_is_the_reference_frame():
    packed = pack_table_frame("x", [("a", np.array([1, -1, 300], dtype=np.int64))])
    assert packed == FRAME_X_A
    assert check_table_frame(packed[:8]) == 31
    table, obj, [(name, values)] = parse_table_frame(packed[8:])
    assert (table, obj, name, values.dtype, values.tolist()) == ("", "x", "a", np.int64, [1, -1, 300])


def test_empty_object_name_and_no_columns():
    content = bytes.fromhex("fc01007c4d 00 01 01 036f626a 05 00 00")
    assert pack_table_frame("", []) == bytes.fromhex("7c4d0100 13000000") + content + struct.pack("<I", zlib.crc32(content))
    assert parse_table_frame(pack_table_frame("", [])[8:]) == ("", "", [])


class StrKind(str):
    pass


class ListKind(list):
    pass


class TupleKind(tuple):
    pass


def test_items_after_the_second_and_subclasses_of_str_list_tuple_are_accepted():
    array = np.array([1, -1, 300])
    assert pack_table_frame("x", [("a", array, "extra", None)]) == FRAME_X_A
    assert pack_table_frame(StrKind("x"), ListKind([TupleKind((StrKind("a"), array))])) == FRAME_X_A


@pytest.mark.parametrize(
    "column, places, body",
    [
        (np.array([], np.int64), None, "02 00"),
        (np.array([], np.float64), None, "03 00"),
        (np.array([], np.int32), None, "07 00"),
        (np.array([], np.float32), None, "0a 00"),
        (np.array([], np.bool_), None, "06 00"),
        (np.array([], "M8[ms]"), None, "01 00"),
        (np.array([], np.float64), 2, "04 00"),
        ([], None, "05 00"),
        ([], 3, "04 00"),
        (np.array([0, 1, 2], np.uint8).view(np.bool_), None, "06 03 00 01 01"),
        (np.array([1.5, -2.0], np.float32), None, "0a 02 0000c03f 000000c0"),
        (np.array([-2**31, 2**31 - 1], np.int32), None, "07 02 fcffffffff fcfeffffff"),
        (np.array([0, 60_000_000, 120_000_000], "M8[us]"), None, "01 04 fc000e2707 00 02 02"),
        (np.array([5], "M8[us]"), None, "01 02 0a 02"),
        (np.array([1.25, -1.25, 2.675, np.nan]), 1, "04 05 02 18 2f 4c 33"),
        (["1.50", "1.75", "1.25"], 2, "04 04 04 fb2c01 32 63"),
        (["é", ""], None, "05 02 02c3a9 00"),
    ],
)
def test_column_bodies(column, places, body):
    content = frame_of(column, places)[8:-4]
    prefix = bytes.fromhex("fc01007c4d 01 0161")
    suffix = bytes.fromhex("01 01 036f626a 05 0178 00")
    expected = bytes.fromhex(body)
    assert content == prefix + expected[:1] + b"\x00" + expected + suffix


def test_same_array_twice_gives_two_fields_with_the_same_data():
    array = np.array([7, 8, 9])
    _, fields = frames.read_frame(pack_table_frame("x", [("a", array), ("b", array), ("a", array)]))
    assert fields == [(name, frames.INT64, frames.INT64, [7, 8, 9]) for name in "aba"]


# ---- errors, in the order the checks run --------------------------------------------


class Foreign:
    class ndarray:  # noqa: N801 - the name is what the intake dispatches on
        pass

    class list:  # noqa: N801
        pass


# Subclasses that keep the base type's name pass the name dispatch.
NamedNdarray = type("ndarray", (np.ndarray,), {})
NamedList = type("list", (list,), {})


class MyArray(np.ndarray):
    pass


class MyList(list):
    pass


INT64S = np.arange(4, dtype=np.int64)
MISALIGNED = np.frombuffer(bytes(17), dtype=np.int64, offset=1)
PLACES_ERROR = "decimal places for column 'a' must be at most 15, got 16"


@pytest.mark.parametrize(
    "columns, places, error, message",
    [
        ([5], None, TypeError, "'int' object is not an instance of 'tuple'"),
        ([None], None, TypeError, "'None' is not an instance of 'tuple'"),
        ([["a", INT64S]], None, TypeError, "'list' object is not an instance of 'tuple'"),
        ([()], None, IndexError, "tuple index out of range"),
        ([("a",)], None, IndexError, "tuple index out of range"),
        ([(1,)], None, TypeError, "'int' object is not an instance of 'str'"),
        ([(None, INT64S)], None, TypeError, "'None' is not an instance of 'str'"),
        ([(b"a", INT64S)], None, TypeError, "'bytes' object is not an instance of 'str'"),
        ([("a", (1, 2))], None, ValueError, "unsupported data type: tuple"),
        ([("a", None)], None, ValueError, "unsupported data type: NoneType"),
        ([("a", 3)], None, ValueError, "unsupported data type: int"),
        ([("a", "text")], None, ValueError, "unsupported data type: str"),
        ([("a", INT64S.view(MyArray))], None, ValueError, "unsupported data type: MyArray"),
        ([("a", MyList(["x"]))], None, ValueError, "unsupported data type: MyList"),
        ([("a", Foreign.ndarray())], None, TypeError, "'Foreign.ndarray' object is not an instance of 'ndarray'"),
        ([("a", Foreign.list())], None, TypeError, "'Foreign.list' object is not an instance of 'list'"),
        ([("a", type("ndarray", (), {})())], None, TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ([("a", type("list", (), {})())], None, TypeError, "'list' object is not an instance of 'list'"),
        ([("a", np.array([1, 2], np.uint8))], None, ValueError, "unsupported data type: uint8"),
        ([("a", np.array([1], np.uint64))], None, ValueError, "unsupported data type: uint64"),
        ([("a", np.array([1], np.int16))], None, ValueError, "unsupported data type: int16"),
        ([("a", np.array([1], np.float16))], None, ValueError, "unsupported data type: float16"),
        ([("a", np.array([1j]))], None, ValueError, "unsupported data type: complex128"),
        ([("a", np.array(["2020"], "M8[D]"))], None, ValueError, "unsupported data type: datetime64[D]"),
        ([("a", np.array([1], "m8[us]"))], None, ValueError, "unsupported data type: timedelta64[us]"),
        ([("a", np.array([1], ">i8"))], None, ValueError, "unsupported data type: >i8"),
        ([("a", np.array([1], ">M8[us]"))], None, ValueError, "unsupported data type: >M8[us]"),
        ([("a", np.array([None]))], None, ValueError, "unsupported data type: object"),
        ([("a", np.array(["abc"]))], None, ValueError, "unsupported data type: <U3"),
        ([("a", np.array([b"abc"]))], None, ValueError, "unsupported data type: |S3"),
        ([("a", np.zeros(1, "M8[2us]"))], None, ValueError, "unsupported data type: datetime64[2us]"),
        ([("a", np.zeros(1, "M8"))], None, ValueError, "unsupported data type: datetime64"),
        ([("a", np.zeros(1, [("f", "<i8")]))], None, ValueError, "unsupported data type: [('f', '<i8')]"),
        # The element type is judged before the shape.
        ([("a", np.zeros((2, 2), np.uint8))], None, ValueError, "unsupported data type: uint8"),
        ([("a", np.zeros((2, 2), np.int64))], None, TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ([("a", np.zeros((2, 2), np.int64)[:, ::2])], None, TypeError,
         "'ndarray' object is not an instance of 'ndarray'"),
        ([("a", np.array(5))], None, TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ([("a", np.zeros((0, 3), np.float64))], 2, TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ([("a", INT64S[::2])], None, TypeError, "The given array is not contiguous or is misaligned."),
        ([("a", INT64S[::-1])], None, TypeError, "The given array is not contiguous or is misaligned."),
        ([("a", np.zeros(4, "M8[s]")[::2])], None, TypeError, "The given array is not contiguous or is misaligned."),
        ([("a", np.zeros(4)[::2])], 20, TypeError, "The given array is not contiguous or is misaligned."),
        ([("a", MISALIGNED)], None, TypeError, "The given array is not contiguous or is misaligned."),
        ([("a", np.broadcast_to(np.int64(5), (3,)))], None, TypeError,
         "The given array is not contiguous or is misaligned."),
        ([("a", ["x", 1])], None, TypeError, "'int' object is not an instance of 'str'"),
        ([("a", ["x", None])], None, TypeError, "'None' is not an instance of 'str'"),
        ([("a", [b"x"])], None, TypeError, "'bytes' object is not an instance of 'str'"),
        ([("a", ["1.5", "x", 3, None])], None, TypeError, "'int' object is not an instance of 'str'"),
        ([("a", np.zeros(2))], 16, ValueError, PLACES_ERROR),
        ([("a", np.zeros(2, np.float32))], 16, ValueError, PLACES_ERROR),
        ([("a", ["1"])], 16, ValueError, PLACES_ERROR),
        ([("a", [])], 2**64 - 1, ValueError, "decimal places for column 'a' must be at most 15, got 18446744073709551615"),
        ([("a", np.array([1.0, np.inf]))], 0, ValueError, "column 'a': value inf does not fit a decimal with 0 places"),
        ([("a", np.array([-np.inf], np.float32))], 3, ValueError,
         "column 'a': value -inf does not fit a decimal with 3 places"),
        ([("a", np.array([1e15]))], 2, ValueError, "column 'a': value 1000000000000000.0 does not fit a decimal with 2 places"),
        ([("a", np.array([-1e300]))], 15, ValueError, "column 'a': value -1e+300 does not fit a decimal with 15 places"),
        ([("a", np.array([0.5, 7.5e16]))], 0, ValueError, "column 'a': value 7.5e+16 does not fit a decimal with 0 places"),
        ([("a", np.array([2.0**56]))], 0, ValueError,
         "column 'a': value 7.205759403792794e+16 does not fit a decimal with 0 places"),
        ([("a", np.array([-(2.0**56) / 10]))], 1, ValueError,
         "column 'a': value -7205759403792794.0 does not fit a decimal with 1 places"),
        ([("a", np.array([1e30], np.float32))], 0, ValueError,
         "column 'a': value 1.0000000150474662e+30 does not fit a decimal with 0 places"),
        # The first failing column decides; later columns are not looked at.
        ([("a", INT64S), ("b", None), 5], None, ValueError, "unsupported data type: NoneType"),
        ([5, ("b", None)], None, TypeError, "'int' object is not an instance of 'tuple'"),
    ],
)
def test_column_errors(columns, places, error, message):
    with pytest.raises(error) as info:
        pack_table_frame("x", columns, None if places is None else {"a": places})
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["a\x00b", "é🙂"])
def test_decimal_messages_show_the_whole_column_name(name):
    with pytest.raises(ValueError) as info:
        pack_table_frame("x", [(name, [])], {name: 16})
    assert str(info.value) == f"decimal places for column '{name}' must be at most 15, got 16"
    with pytest.raises(ValueError) as info:
        pack_table_frame("x", [(name, np.array([np.inf]))], {name: 2})
    assert str(info.value) == f"column '{name}': value inf does not fit a decimal with 2 places"


def test_unencodable_texts_raise_without_places_and_become_nan_with_places():
    with pytest.raises(UnicodeEncodeError):
        frame_of(["ok", "\ud800"])
    with pytest.raises(UnicodeEncodeError):
        pack_table_frame("x", [("\udfff", INT64S)])
    assert frames.read_column(frame_of(["1", "\ud800"], 0))[2] == (0, [(False, 1), (False, 0)])


@pytest.mark.parametrize(
    "column",
    [
        INT64S.view(NamedNdarray),
        NamedList(["a", "b"]),
        np.asfortranarray(np.ones((3, 2)))[:, 0],
        np.arange(10, dtype=np.int64)[::5][:1],
        np.zeros((3, 1), np.int32)[:, 0],
        np.frombuffer(bytes(16), dtype=np.int64),  # read-only
        np.array([1, 2], dtype=np.longlong),
        np.array([1, 2], dtype=np.intc),
    ],
)
def test_accepted_array_and_list_shapes(column):
    _, _, [(_, values)] = parse_table_frame(frame_of(column)[8:])
    assert values.tolist() == [*column]


@pytest.mark.parametrize("places", [0, 99, 2**64 - 1])
@pytest.mark.parametrize(
    "column", [np.array([1, 2]), np.array([1, 2], np.int32), np.array([True, False]), np.zeros(2, "M8[s]")]
)
def test_places_are_ignored_by_int_bool_datetime_columns(column, places):
    assert frame_of(column, places) == frame_of(column)


@pytest.mark.parametrize("column", [np.array([1.5]), np.array([1.5], np.float32), ["1.5"]])
def test_places_apply_only_to_the_column_of_that_exact_name(column):
    assert pack_table_frame("x", [("a", column)], {"b": 99, "A": 99, "a ": 2}) == frame_of(column)
    assert pack_table_frame("x", [("a", column)], {}) == frame_of(column)


# ---- decimals ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "column, places, scale, values",
    [
        (np.array([1.25, -1.25, 2.675, np.nan]), 1, 1, [12, -12, 26, 0]),
        (np.array([1.005]), 2, 2, [100]),
        (np.array([0.1], np.float32), 1, 1, [1]),
        (np.array([-1.239, 0.29, 8.2, 100.29]), 2, 2, [-123, 29, 820, 10029]),
        (np.array([8.2, 0.29], np.float32), 2, 2, [820, 29]),
        (np.array([-0.001, -0.0, np.nan]), 2, 2, [0, 0, 0]),
        (np.array([2.0**56 - 8, -(2.0**56 - 8)]), 0, 0, [2**56 - 8, -(2**56 - 8)]),
        (np.array([1e-15, 0.123456789012345]), 15, 15, [1, 123456789012345]),
        (np.array([3.0e9]), 0, 0, [3_000_000_000]),
        (["1.5", "x", 3, None], 2, 2, [150, 0, 0, 0]),
        ([" 12.50 ", "-0.5", ".5", "7.", "1.2.3", "1-2", "-", ".", "1.239"], 2, 2,
         [1250, -50, 50, 700, 1230, -1200, 0, 0, 123]),
        # Specials, parse failures, overflow on rescaling: all NaN, written as 0.
        (["1", "NaN", "inf", "-inf", "1e5", "", " ", "+1", "72057594037927936", "0.1234567890123456"], 0, 0,
         [1] + [0] * 9),
        (["7205759403792793.5", "72057594037927935"], 1, 1, [72057594037927935, 0]),
        # The column scale comes from the first element that is a number.
        (["x", "nan", "5"], 3, 3, [0, 0, 5000]),
        (["x", None], 3, 0, [0, 0]),
    ],
)
def test_decimal_columns_keep_meant_or_truncated_magnitudes(column, places, scale, values):
    data_type, tag, (column_scale, decoded) = frames.read_column(frame_of(column, places))
    assert (data_type, tag, column_scale) == (frames.DECIMAL, frames.DECIMAL, scale)
    assert [-magnitude if negative else magnitude for negative, magnitude in decoded] == values
    _, _, [(_, parsed)] = parse_table_frame(frame_of(column, places)[8:])
    assert parsed.dtype == np.float64
    assert parsed.tolist() == [value / 10.0**scale for value in values]


# ---- datetimes -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "unit, values, micros",
    [
        ("us", [NAT, 0, 2**63 - 1, -1], [NAT, 0, 2**63 - 1, -1]),
        ("ms", [NAT, 1, -1, 2**62], [0, 1000, -1000, frames.wrap64(2**62 * 1000)]),
        ("s", [NAT, 1, -1, 2**62], [0, 1_000_000, -1_000_000, frames.wrap64(2**62 * 1_000_000)]),
        ("ns", [NAT, -1, -1500, 1999, 2**63 - 1], [-9223372036854775, 0, -1, 1, 9223372036854775]),
    ],
)
def test_datetime_units_become_microseconds(utc, unit, values, micros):
    column = np.array(values, dtype=np.int64).view(f"M8[{unit}]")
    data_type, tag, (_, decoded) = frames.read_column(frame_of(column))
    assert (data_type, tag, decoded) == (frames.DATETIME, frames.DATETIME, micros)
    _, _, [(_, parsed)] = parse_table_frame(frame_of(column)[8:])
    assert parsed.dtype == np.dtype("M8[us]")
    assert parsed.view(np.int64).tolist() == micros


def test_intake_applies_no_local_offset(restore_offset):
    set_local_zone(5)
    assert frames.read_column(frame_of(np.array([0], "M8[us]")))[2][1] == [0]


# ---- the caller's objects --------------------------------------------------------------


def caller_objects():
    bools = np.array([0, 1, 2], np.uint8).view(np.bool_)
    floats = np.array([1.25, np.nan, -3.5])
    texts = ["1.5", "x", "é"]
    return [
        ("i", np.array([1, 2, 3])),
        ("f", floats),
        ("d", floats),
        ("b", bools),
        ("m", np.array([1, 2], "M8[ms]")),
        ("n", np.array([1, 2], "M8[ns]")),
        ("s", texts),
        ("t", texts),
    ]


@pytest.mark.parametrize(
    "tail, places",
    [
        ([], {"d": 2, "t": 2}),
        ([("bad", None)], {"d": 2, "t": 2}),
        ([("bad", ["x", 1])], {"d": 2}),
        ([("bad", np.array([np.inf]))], {"bad": 1}),
        ([("bad", np.zeros(2))], {"bad": 16}),
        ([("bad", np.zeros((2, 2)))], None),
    ],
)
def test_inputs_are_unchanged_and_hold_no_extra_references(tail, places):
    columns = caller_objects() + tail
    objects = [data for _, data in columns] + [item for _, data in columns if isinstance(data, list) for item in data]
    snapshots = [copy.deepcopy(data) for _, data in columns]
    counts = [sys.getrefcount(item) for item in objects]
    for _ in range(3):
        try:
            pack_table_frame("x", columns, places)
        except (TypeError, ValueError):
            assert tail
    assert [sys.getrefcount(item) for item in objects] == counts
    for (_, data), snapshot in zip(columns, snapshots):
        if isinstance(data, np.ndarray):
            assert data.tobytes() == snapshot.tobytes()
        else:
            assert data == snapshot
    assert columns[3][1].view(np.uint8).tolist() == [0, 1, 2]
