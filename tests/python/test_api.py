import sys
import threading
import time

import numpy as np
import pytest

from frames import STRING, column, field, frame, payload
from pyvorl import FrameError, Schema, Table, dumps, loads, pack_table_frame, parse_table_frame, set_local_zone

NAT = -(2**63)
I64 = np.iinfo(np.int64)


def ints(dtype):
    info = np.iinfo(dtype)
    return np.array([info.min, 0, 1, info.max], dtype)


def floats(dtype, payload):
    values = np.array([1.5, -0.0, np.inf, np.nan, np.nan], dtype)
    values.view(f"u{values.itemsize}")[4] |= payload  # a NaN with a payload
    return values


def times(kind, unit, values):
    return np.array(values, np.int64).view(f"{kind}8[{unit}]")


TEXTS = [f"text {i} " + "é" * (i % 9) for i in range(60_000)]  # inline and allocated in a StringDType array
# (column, decimal places, the array loads must give back)
ROUND_TRIPS = {
    **{t: (ints(t), None, ints(t)) for t in "int8 int16 int32 int64 uint8 uint16 uint32 uint64".split()},
    "float16": (floats(np.float16, 0), None, floats(np.float16, 0)),
    "float32": (floats(np.float32, 0x1234), None, floats(np.float32, 0x1234)),
    "float64": (floats(np.float64, 0xDEAD), None, floats(np.float64, 0xDEAD)),
    "bool": (np.array([True, False]), None, np.array([True, False])),
    **{f"{t} swapped": (ints(t).astype(f">{t[0]}{np.dtype(t).itemsize}"), None, ints(t)) for t in ("int16", "uint64")},
    "float64 swapped": (floats(">f8", 0), None, floats(np.float64, 0)),
    "datetime64[ns] swapped": (times("M", "ns", [NAT, 2000]).astype(">M8[ns]"), None, times("M", "ns", [NAT, 2000])),
    **{
        f"{kind}8[{unit}]": (times(kind, unit, values), None, times(kind, unit, values))
        for kind in "Mm"
        for unit, values in {
            "s": [NAT, -1, 10**13, I64.max],  # beyond microseconds
            "ms": [NAT, -1, 10**12],
            "us": [NAT, I64.min + 1, I64.max],
            "ns": [NAT, 2000, I64.max],  # not whole microseconds
            **{unit: [NAT, -1, 18262, 10**17] for unit in "mhDW"},  # dates, and beyond microseconds
        }.items()
    },
    "str list": (["", "é", "a\x00b"], None, np.array(["", "é", "a\x00b"], object)),
    "a megabyte of texts": (TEXTS, None, np.array(TEXTS, object)),  # the decoder drops the interpreter lock
    "no texts": (np.array([], np.dtypes.StringDType()), None, np.array([], object)),
    "<U array": (np.array(["x", "yz"]), None, np.array(["x", "yz"], object)),
    "StringDType": (np.array(["x", "yz"], np.dtypes.StringDType()), None, np.array(["x", "yz"], object)),
    "bytes list": ([b"", b"\xff\x00"], None, np.array([b"", b"\xff\x00"], object)),
    "float decimals": (np.array([1.25, -3.5, 1.239]), 2, np.array([1.25, -3.5, 1.23])),
    "longdouble decimals": (np.array([1.25, -3.5], np.longdouble), 2, np.array([1.25, -3.5])),
    "text decimals": (["1.5", "-2", "0.07"], 2, np.array([1.5, -2.0, 0.07])),
}


@pytest.mark.parametrize("strings", ["object", "stringdtype"])
@pytest.mark.parametrize("case", ROUND_TRIPS)
def test_round_trip_is_exact(restore_offset, case, strings):
    set_local_zone(8)  # no process-wide setting changes anything
    column, places, expected = ROUND_TRIPS[case]
    table = loads(dumps({"c": column}, decimals=None if places is None else {"c": places}), strings=strings)
    if strings == "stringdtype" and expected.dtype == object and all(isinstance(v, str) for v in expected):
        expected = expected.astype(np.dtypes.StringDType())
    assert table["c"].dtype == expected.dtype
    if expected.dtype.kind in "OT":
        assert table["c"].tolist() == list(expected)
    else:
        assert table["c"].tobytes() == expected.tobytes()
    assert table.field_metadata == {} and table.decimals == ({} if places is None else {"c": places})


def test_table_attributes_come_back():
    meta = dict(k=1, big=2**64 - 1, f=0.5, b=True, t=np.datetime64("NaT", "us"), d=np.datetime64(7, "s"))
    columns, field_metadata = {"a": np.arange(2), "s": ["x", "y"]}, {"s": {"unit": "EUR"}}
    table = Table(columns, obj="o", name="n", metadata=meta, field_metadata=field_metadata)
    assert loads(dumps(table)).equals(table)
    assert loads(dumps(table), strings="stringdtype")["s"].dtype == np.dtypes.StringDType()


ERRORS = [
    ({"a": np.arange(2), "b": np.arange(3)}, {}, "column 'b' has 3 rows, column 'a' has 2"),
    ({"a": np.zeros((2, 2))}, {}, "column 'a': 2-D array, expected 1-D"),
    ({"a": np.array(["x", 1], object)}, {}, "column 'a' row 1: int object in a text column"),
    ({"a": ["x", 3]}, {}, "column 'a' row 1: int object in a text column"),
    ({"a": ["x", b"y"]}, {}, "column 'a' row 1: bytes object in a column of str"),
    ({"a": np.zeros(1, "M8[Y]")}, {}, "column 'a': unsupported dtype datetime64[Y]"),
    ({}, {"metadata": {1: "x"}}, "metadata: key 1 is not a str"),
    ({}, {"metadata": {"k": [1]}}, "metadata 'k': unsupported value type list"),
    (
        {},
        {"metadata": {"pyvorl.k": 1}},
        "metadata: key 'pyvorl.k' is reserved (keys starting with 'pyvorl.' are pyvorl's own)",
    ),
    (
        {},
        {"metadata": {"t": np.datetime64(10**13, "s")}},
        "metadata 't': datetime 318857-05-20T17:46:40 does not fit a datetime in microseconds",
    ),
    ({"p": np.array([1.0, np.nan])}, {"decimals": {"p": 2}}, "column 'p' row 1: nan cannot be stored as a decimal"),
    (
        {"p": np.array([1.0, 1e20])},
        {"decimals": {"p": 2}},
        "column 'p' row 1: 1e+20 does not fit a decimal with 2 places",
    ),
    # The first refused row is named, NaN or not, in whichever block of the column it lies.
    (
        {"p": np.where(np.arange(6000) == 5000, np.nan, np.where(np.arange(6000) == 4000, 1e20, 1.0))},
        {"decimals": {"p": 2}},
        "column 'p' row 4000: 1e+20 does not fit a decimal with 2 places",
    ),
    (
        {"p": np.where(np.arange(6000) == 3000, np.nan, np.where(np.arange(6000) == 4000, 1e20, 1.0)).astype("f4")},
        {"decimals": {"p": 2}},
        "column 'p' row 3000: nan cannot be stored as a decimal",
    ),
    ({"p": ["1.5", "abc"]}, {"decimals": {"p": 2}}, "column 'p' row 1: 'abc' is not a finite decimal"),
    ({"p": ["1.239"]}, {"decimals": {"p": 2}}, "column 'p' row 0: '1.239' has more than 2 decimal places"),
    ({"a": [2**70]}, {}, "column 'a' row 0: integer 1180591620717411303424 does not fit 64 bits"),
    (
        {"a": [-1, 2**64 - 1]},
        {},
        "column 'a' row 1: integer 18446744073709551615 would be rounded in the float64 array NumPy makes "
        "of this list; give the column as an array of the dtype meant",
    ),
    (
        {},
        {"metadata": {"d": np.timedelta64(5, "ns")}},
        "metadata 'd': unsupported value type timedelta64; store a count of a unit as an int",
    ),
    ({"a\udc80": [1]}, {}, r"column name: 'a\udc80' cannot be encoded as UTF-8 (surrogates not allowed)"),
    ({"a": ["x", "\udc80"]}, {}, r"column 'a' row 1: '\udc80' cannot be encoded as UTF-8 (surrogates not allowed)"),
    ({}, {"obj": "\udc80"}, r"obj: '\udc80' cannot be encoded as UTF-8 (surrogates not allowed)"),
    ({}, {"metadata": {"k": "\udc80"}}, r"metadata 'k': '\udc80' cannot be encoded as UTF-8 (surrogates not allowed)"),
]


@pytest.mark.parametrize("columns, options, message", ERRORS)
def test_dumps_errors_name_the_column_and_row(columns, options, message):
    with pytest.raises(ValueError) as raised:
        dumps(columns, **options)
    assert str(raised.value) == message


RANGE = "tz must be whole hours from -25 to 25"
MISUSES = {
    "decimals list": (lambda: dumps({"p": [1.5]}, decimals=["p"]), TypeError, "decimals must be a mapping, not list"),
    "decimals list with a Table": (
        lambda: dumps(Table({"p": [1.5]}), decimals=[]),
        TypeError,
        "decimals must be a mapping, not list",
    ),
    "field_metadata list": (
        lambda: Table({}, field_metadata=[]),
        TypeError,
        "field_metadata must be a mapping, not list",
    ),
    **{
        f"zone {tz}": (lambda tz=tz: set_local_zone(tz), ValueError, f"invalid timezone: {RANGE}, got {tz}")
        for tz in (26, -200, 2**70)
    },
}


@pytest.mark.parametrize("case", MISUSES)
def test_wrong_arguments_raise_type_or_value_errors_naming_them(case):
    call, error, message = MISUSES[case]
    with pytest.raises(Exception) as raised:
        call()
    assert (type(raised.value), str(raised.value)) == (error, message)


def test_pack_table_frame_refuses_datetimes_beyond_microseconds():
    with pytest.raises(ValueError, match=r"^column 't': value 10000000000000 does not fit a datetime in microseconds$"):
        pack_table_frame("x", [("t", np.array([10**13], "M8[s]"))])


FRAME = dumps({"a": np.arange(3)})
DAMAGED = [
    (FRAME[:-1], f"truncated frame: the header announces {len(FRAME)} bytes, the buffer holds {len(FRAME) - 1}"),
    (FRAME[:5], "truncated frame: 5 of the 8 header bytes"),
    (FRAME + b"\0", f"trailing bytes: 1 bytes after a frame of {len(FRAME)}"),
    (FRAME[:10] + bytes([FRAME[10] ^ 1]) + FRAME[11:], "damaged frame: Table frame CRC32 check failed"),
    (b"not a frame at all", "not a table frame: the first bytes are not a frame header"),
    (
        frame(payload([field("s", column(STRING, ["é", b"a\xff"]))])),
        "damaged frame: Invalid table frame: Failed to decode table: "
        "Utf8 { inner: Utf8Error { valid_up_to: 1, error_len: Some(1) } }",
    ),
]


@pytest.mark.parametrize("strings", ["object", "stringdtype"])
@pytest.mark.parametrize("bad, reason", DAMAGED)
def test_loads_refuses_bad_frames(bad, reason, strings):
    with pytest.raises(FrameError) as raised:
        loads(bad, strings=strings)
    assert str(raised.value) == f"frame at offset 0: {reason}"


@pytest.mark.parametrize("offset", [0, 8, -5])
@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_vorl_keeps_nat_in_every_unit(restore_offset, offset, unit):
    set_local_zone(offset)
    column = np.array([NAT, 0], f"M8[{unit}]")
    [(_, parsed)] = parse_table_frame(pack_table_frame("x", [("t", column)])[8:])[2]
    assert parsed.view(np.int64).tolist() == [NAT, offset * 3_600_000_000]


def test_frames_cross_between_the_two_modules(restore_offset):
    set_local_zone(8)
    column = np.array([NAT, 1, 2], "M8[us]")
    table = loads(pack_table_frame("x", [("t", column), ("i", np.arange(3))]))
    assert (table.obj, table.name, table["t"].tobytes()) == ("x", "", column.tobytes())
    set_local_zone(0)
    name, obj, parsed = parse_table_frame(dumps({"t": column.astype("M8[ms]")}, obj="o", name="n")[8:])
    assert (name, obj, parsed[0][1].tolist()) == ("n", "o", column.astype("M8[ms]").astype("M8[us]").tolist())


@pytest.mark.parametrize("call", ["dumps", "loads"])
def test_another_thread_runs_during_a_large_call(call):
    table = {"i": np.arange(2_000_000)}
    frame, counted, stop = dumps(table), [0], threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1
            time.sleep(0)  # gives the lock back, so the main thread can take it after the call

    interval, thread = sys.getswitchinterval(), threading.Thread(target=count)
    sys.setswitchinterval(100)  # the counter runs only while the main thread has let the lock go
    try:
        thread.start()
        time.sleep(0.01)
        before = counted[0]
        dumps(table) if call == "dumps" else loads(frame)
        assert counted[0] > before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)


def test_a_column_changed_by_another_thread_during_dumps_gives_a_whole_frame():
    # Arrays are read in place with the lock released; values flipping between
    # one- and nine-byte varints make the counting and writing passes disagree.
    column, stop = np.zeros(1_000_000, dtype=np.int64), threading.Event()
    small, large = np.zeros_like(column), np.full_like(column, 2**62)

    def flip():
        while not stop.is_set():
            np.copyto(column, large)
            np.copyto(column, small)

    thread = threading.Thread(target=flip)
    thread.start()
    try:
        for _ in range(20):
            values = loads(dumps({"i": column}))["i"]
            assert np.isin(values, [0, 2**62]).all()
    finally:
        stop.set()
        thread.join()


def with_dtype_record(column, record):
    """A frame whose column carries `record` as the dtype it was dumped from, as a hostile producer writes it."""
    return dumps(Table({"c": column}, schema=Schema({"c": {"pyvorl.dtype": record}})))


@pytest.mark.parametrize(
    "column, record, reason",
    [
        (np.arange(2), "\x1b[2J\nframe 9", r"'\x1b[2J\nframe 9', which is not a NumPy dtype"),
        (np.arange(2), "i4,(2,)i1", "'i4,(2,)i1', which is not a NumPy dtype"),
        (np.arange(2), "x" * 99, "'" + "x" * 56 + "..., which is not a NumPy dtype"),
        (np.arange(2), 7, "7, which is not a NumPy dtype"),
        (np.arange(2), "int8", "'int8', which does not fit its int64 values"),
        (np.arange(2, dtype=np.int32), "datetime64[D]", "'datetime64[D]', which does not fit its int32 values"),
        (["x"], "uint8", "'uint8', which does not fit its object values"),
        (np.array([300], np.int32), "int8", "'int8', which does not fit its int32 values"),
        (
            np.array([1_000_001], "M8[us]"),
            "datetime64[s]",
            "'datetime64[s]', which does not fit its datetime64[us] values",
        ),
    ],
    ids=[
        "control characters",
        "structured",
        "long",
        "not a str",
        "narrower",
        "calendar unit",
        "texts",
        "wraps",
        "cuts",
    ],
)
def test_loads_refuses_a_dtype_record_it_cannot_restore(column, record, reason):
    with pytest.raises(FrameError) as raised:
        loads(with_dtype_record(column, record))
    assert str(raised.value) == f"frame at offset 0: column 'c': 'pyvorl.dtype' is {reason}"


# Found by fuzzing dumps and loads: what comes back is what went in, and what is no number is refused.
@pytest.mark.parametrize(
    "table",
    [
        Table({"a": [1]}, metadata={"k": np.str_("x"), "b": np.bytes_(b"y")}),
        Table({"a": [1]}, field_metadata={"a": {}}),
        Table({"a": np.array([])}, decimals={"a": 3}),
        Table({"a": np.array([-0.1, -20.1, 0.3], np.float16)}, decimals={"a": 1}),
        Table({"c": ["x"]}, schema=Schema({"c": {"pyvorl.dtype": "object"}})),
    ],
    ids=["str subclasses", "empty field metadata", "empty decimals", "float16 decimals", "text record"],
)
@pytest.mark.parametrize("strings", ["object", "stringdtype"])
def test_round_trips_found_by_fuzzing(table, strings):
    back = loads(dumps(table), strings=strings)
    if table.decimals:
        assert back.decimals == table.decimals and back["a"].tobytes() == table["a"].tobytes()
    else:
        assert back.equals(table) or strings == "stringdtype"


@pytest.mark.parametrize("text", ["1.2.3", "--1", "1-", "-", ".", "1e3", " 1"])
def test_decimal_texts_that_are_no_numbers_are_refused(text):
    with pytest.raises(ValueError, match="is not a finite decimal"):
        dumps({"a": [text]}, decimals={"a": 2})


@pytest.mark.parametrize("options", [{"obj": None}, {"name": 0}])
def test_obj_and_name_must_be_str_for_a_table_too(options):
    with pytest.raises(TypeError, match="obj and name must be str"):
        dumps(Table({"a": [1]}), **options)
