import copy

import numpy as np
import pytest

import frames
from pyvorl import check_table_frame, dumps, pack_table_frame, parse_table_frame

FRAME_X_A = bytes.fromhex(
    "7c4d0100 1f000000 fc01007c4d 01 0161 02 00 02 03 02 01 fb5802 01 01 036f626a 05 0178 00 d94602af"
)


def frame_of(column, places=None):
    return pack_table_frame("x", [("a", column)], None if places is None else {"a": places})


def test_reference_frames():
    assert pack_table_frame("x", [("a", np.array([1, -1, 300], dtype=np.int64))]) == FRAME_X_A
    assert check_table_frame(FRAME_X_A[:8]) == 31
    table, obj, [(name, values)] = parse_table_frame(FRAME_X_A[8:])
    assert (table, obj, name, values.dtype, values.tolist()) == ("", "x", "a", np.int64, [1, -1, 300])
    assert pack_table_frame("", []) == frames.frame(bytes.fromhex("fc01007c4d 00 01 01 036f626a 05 00 00"))


def test_items_after_the_second_and_subclasses_of_str_list_tuple_are_accepted():
    array = np.array([1, -1, 300])
    assert pack_table_frame("x", [("a", array, "extra", None)]) == FRAME_X_A
    kind = lambda base: type("Kind", (base,), {})  # noqa: E731
    assert pack_table_frame(kind(str)("x"), kind(list)([kind(tuple)((kind(str)("a"), array))])) == FRAME_X_A


COLUMN_BODIES = [
    (np.array([], np.int64), None, "02 00"),
    (np.array([], np.float64), None, "03 00"),
    (np.array([], np.float32), None, "0a 00"),
    (np.array([], np.bool_), None, "06 00"),
    (np.array([], "M8[ms]"), None, "01 00"),
    ([], None, "05 00"),
    ([], 3, "04 00"),
    (np.array([0, 1, 2], np.uint8).view(np.bool_), None, "06 03 00 01 01"),
    (np.array([1.5, -0.0]), None, "03 02 000000000000f83f 0000000000000080"),
    (np.array([-(2**31), 2**31 - 1], np.int32), None, "07 02 fcffffffff fcfeffffff"),
    (np.array([1.25, -1.25, 2.675, np.nan]), 1, "04 05 02 18 2f 4c 33"),
    (["é", ""], None, "05 02 02c3a9 00"),
]


@pytest.mark.parametrize("column, places, body", COLUMN_BODIES)
def test_column_bodies(column, places, body):
    expected = bytes.fromhex(body)
    assert frame_of(column, places) == frames.packed("a", expected)


def test_same_array_twice_gives_two_fields_with_the_same_data():
    array = np.array([7, 8, 9])
    _, _, fields = parse_table_frame(pack_table_frame("x", [("a", array), ("b", array), ("a", array)])[8:])
    assert [(name, values.tolist()) for name, values in fields] == [(name, [7, 8, 9]) for name in "aba"]


class Foreign:  # classes that only share the names the intake dispatches on
    ndarray = type("ndarray", (), {"__qualname__": "Foreign.ndarray"})
    list = type("list", (), {"__qualname__": "Foreign.list"})


MyArray, MyList = type("MyArray", (np.ndarray,), {}), type("MyList", (list,), {})
INT64S = np.arange(4, dtype=np.int64)
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
NOT_1D = "'ndarray' object is not an instance of 'ndarray'"
UNSUPPORTED = "unsupported data type: "
PLACES = "decimal places for column 'a' must be at most 15, got {}"
FIT = "column 'a': value {} does not fit a decimal with {} places"


ITEM_ERRORS = [
    ([5], TypeError, "'int' object is not an instance of 'tuple'"),
    ([None], TypeError, "'None' is not an instance of 'tuple'"),
    ([["a", INT64S]], TypeError, "'list' object is not an instance of 'tuple'"),
    ([("a",)], IndexError, "tuple index out of range"),
    ([(b"a", INT64S)], TypeError, "'bytes' object is not an instance of 'str'"),
    # The first failing column decides; later columns are not looked at.
    ([("a", INT64S), ("b", None), 5], ValueError, UNSUPPORTED + "NoneType"),
]


@pytest.mark.parametrize("columns, error, message", ITEM_ERRORS)
def test_item_errors(columns, error, message):
    with pytest.raises(error) as info:
        pack_table_frame("x", columns)
    assert type(info.value) is error and str(info.value) == message


COLUMN_ERRORS = [
    ((1, 2), None, ValueError, UNSUPPORTED + "tuple"),
    (INT64S.view(MyArray), None, ValueError, UNSUPPORTED + "MyArray"),
    (MyList(["x"]), None, ValueError, UNSUPPORTED + "MyList"),
    (Foreign.ndarray(), None, TypeError, "'Foreign.ndarray' object is not an instance of 'ndarray'"),
    (Foreign.list(), None, TypeError, "'Foreign.list' object is not an instance of 'list'"),
    (np.array([1, 2], np.uint8), None, ValueError, UNSUPPORTED + "uint8"),
    (np.array([1], ">i8"), None, ValueError, UNSUPPORTED + ">i8"),
    (np.zeros((2, 2), np.uint8), None, ValueError, UNSUPPORTED + "uint8"),  # the type is judged first
    (np.zeros((2, 2), np.int64), None, TypeError, NOT_1D),
    (INT64S[::2], None, TypeError, NOT_CONTIGUOUS),
    (np.zeros(4)[::2], 20, TypeError, NOT_CONTIGUOUS),
    (np.frombuffer(bytes(17), dtype=np.int64, offset=1), None, TypeError, NOT_CONTIGUOUS),
    (["x", None], None, TypeError, "'None' is not an instance of 'str'"),
    (["1.5", "x", 3, None], None, TypeError, "'int' object is not an instance of 'str'"),
    (np.zeros(2, np.float32), 16, ValueError, PLACES.format(16)),
    (np.array([1.0, np.inf]), 0, ValueError, FIT.format("inf", 0)),
    (np.array([2.0**56]), 0, ValueError, FIT.format("7.205759403792794e+16", 0)),
    (np.array([1e30], np.float32), 0, ValueError, FIT.format("1.0000000150474662e+30", 0)),
]


@pytest.mark.parametrize("column, places, error, message", COLUMN_ERRORS)
def test_column_errors(column, places, error, message):
    with pytest.raises(error) as info:
        frame_of(column, places)
    assert type(info.value) is error and str(info.value) == message


@pytest.mark.parametrize("name", ["a\x00b", "é🙂"])
def test_decimal_messages_show_the_whole_column_name(name):
    with pytest.raises(ValueError, match=f"^column '{name}': value inf does not fit a decimal with 2 places$"):
        pack_table_frame("x", [(name, np.array([np.inf]))], {name: 2})


def test_unencodable_texts_raise_without_places_and_become_nan_with_places():
    for args in [("x", [("a", ["ok", "\ud800"])]), ("x", [("\udfff", INT64S)]), ("\ud800", [])]:
        with pytest.raises(UnicodeEncodeError):
            pack_table_frame(*args)
    assert frame_of(["1", "\ud800"], 0) == frames.packed("a", bytes([frames.DECIMAL]) + frames.decimal_body([1, 0], 0))


ACCEPTED_SHAPES = [
    INT64S.view(type("ndarray", (np.ndarray,), {})),  # subclasses that keep the base name pass
    type("list", (list,), {})(["a", "b"]),
    np.asfortranarray(np.ones((3, 2)))[:, 0],
    np.arange(10, dtype=np.int64)[::5][:1],
    np.frombuffer(bytes(16), dtype=np.int64),  # read-only
]


@pytest.mark.parametrize("column", ACCEPTED_SHAPES)
def test_accepted_array_and_list_shapes(column):
    _, _, [(_, values)] = parse_table_frame(frame_of(column)[8:])
    assert values.tolist() == [*column]


@pytest.mark.parametrize(
    "column, places",
    [(np.array([1, 2]), {"a": 2**64 - 1}), (np.array([True]), {"a": 3}), (np.zeros(2, "M8[s]"), {"a": 3})]
    + [(column, {"b": 99, "A": 99, "a ": 2}) for column in (np.array([1.5]), np.array([1.5], np.float32), ["1.5"])],
)
def test_places_apply_only_to_float_and_text_columns_of_that_exact_name(column, places):
    assert pack_table_frame("x", [("a", column)], places) == frame_of(column)


DECIMAL_COLUMNS = [
    (np.array([1.25, -1.25, 2.675, np.nan]), 1, 1, [12, -12, 26, 0]),
    (np.array([8.2, 0.29], np.float32), 2, 2, [820, 29]),
    (np.array([2.0**56 - 8, -(2.0**56 - 8)]), 0, 0, [2**56 - 8, -(2**56 - 8)]),
    (["1.5", "x", 3, None], 2, 2, [150, 0, 0, 0]),
    # Specials, parse failures, overflow on rescaling: all NaN, written as 0.
    (["1", "NaN", "inf", "1e5", "", "+1", "72057594037927936", "0.1234567890123456"], 0, 0, [1] + [0] * 7),
    # The column scale comes from the first element that is a number.
    (["x", "nan", "5"], 3, 3, [0, 0, 5000]),
    (["x", None], 3, 0, [0, 0]),
]


@pytest.mark.parametrize("column, places, scale, values", DECIMAL_COLUMNS)
def test_decimal_columns_keep_meant_or_truncated_magnitudes(column, places, scale, values):
    assert frame_of(column, places) == frames.packed("a", bytes([frames.DECIMAL]) + frames.decimal_body(values, scale))
    _, _, [(_, parsed)] = parse_table_frame(frame_of(column, places)[8:])
    assert parsed.dtype == np.float64 and parsed.tolist() == [value / 10.0**scale for value in values]


def test_inputs_are_unchanged():
    floats, texts = np.array([1.25, np.nan, -3.5]), ["1.5", "x", "é"]
    bools, times = np.array([0, 1, 2], np.uint8).view(bool), np.array([1, 2], "M8[ns]")
    columns = [("i", np.array([1, 2, 3])), ("f", floats), ("d", floats), ("b", bools), ("n", times), ("t", texts)]
    snapshots = [copy.deepcopy(data) for _, data in columns]
    pack_table_frame("x", columns, {"d": 2, "t": 2})
    for (_, data), snapshot in zip(columns, snapshots):
        assert data.tobytes() == snapshot.tobytes() if isinstance(data, np.ndarray) else data == snapshot


# Peers read frames from either module, and may check the payload's first
# word: dumps must write exactly the bytes pack_table_frame writes for every
# column both take the same way.
@pytest.mark.parametrize(
    ("column", "places"),
    [
        (np.array([1, -1, 300, 2**62], np.int64), None),
        (np.array([1, -1, 2**31 - 1], np.int32), None),
        (np.array([0.5, -np.inf, np.nan], np.float64), None),
        (np.array([0.5, -2.25], np.float32), None),
        (np.array([True, False]), None),
        (np.array([0, 1_700_000_000_123_456], "M8[us]"), None),
        (np.array([101.25, -0.5, 3.0]), 2),
        (np.array([], np.int64), None),
    ],
    ids=lambda value: getattr(value, "dtype", value),
)
def test_dumps_writes_the_bytes_pack_table_frame_writes(utc, column, places):
    decimals = None if places is None else {"a": places}
    packed = pack_table_frame("x", [("a", column)], decimals)
    assert packed[8:13] == bytes.fromhex("fc01007c4d")
    assert dumps({"a": column}, obj="x", decimals=decimals) == packed
    # Both paths of dumps write an empty obj, and no empty name, as pack_table_frame does.
    assert dumps({"a": column}, decimals=decimals) == pack_table_frame("", [("a", column)], decimals)
