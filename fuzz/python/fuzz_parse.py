"""Fuzzes parse_table_frame and check_table_frame with arbitrary bodies.

Inputs whose first byte is odd describe a payload through PayloadBuilder;
the others are taken as raw bytes, once as they are and once under a valid
checksum so that mutations reach the decoder. Only ValueError and TypeError
may come out; any other exception, a crash, or a decoded table that does not
survive being packed again is a finding.
"""

import atheris

with atheris.instrument_imports():
    from payload_builder import PayloadBuilder

import numpy as np

from atheris_main import fuzz
from frames import body as with_valid_footer  # on the path through payload_builder
from pyvorl import check_table_frame, pack_table_frame, parse_table_frame

PARSE_ERRORS = (
    "Table frame CRC32 check failed",
    "Invalid table frame: Content and footer too short",
    "Invalid table frame: Failed to decode table: ",
)
CHECK_ERRORS = ("buffer is too short", "buffer is not a table frame")
# Columns that pack_table_frame takes back as they come out of a parse.
REPACKABLE = {np.dtype(t) for t in ("int64", "float64", "int32", "float32", "bool", "datetime64[us]")}


def repack_columns(columns):
    repackable = []
    for name, array in columns:
        if array.dtype in REPACKABLE:
            repackable.append((name, array))
        elif array.dtype == object and all(type(item) is str for item in array):
            repackable.append((name, array.tolist()))
    return repackable


def same_column(parsed, packed):
    if isinstance(packed, list):
        return parsed.dtype == object and parsed.tolist() == packed
    return parsed.dtype == packed.dtype and parsed.tobytes() == packed.tobytes()


def check_table(result):
    table_name, obj, columns = result
    assert type(table_name) is str and type(obj) is str and type(columns) is list
    for name, array in columns:
        assert type(name) is str
        assert type(array) is np.ndarray and array.ndim == 1
        array.tolist()  # reads every element
    # With a zero offset, what parse returns packs into a frame that parses to the same columns.
    repackable = repack_columns(columns)
    again = parse_table_frame(pack_table_frame(obj, repackable)[8:])
    assert again[1] == obj
    assert [name for name, _ in again[2]] == [name for name, _ in repackable]
    for (_, parsed), (_, packed) in zip(again[2], repackable):
        assert same_column(parsed, packed), (parsed, packed)


def parse_one(body):
    try:
        result = parse_table_frame(body)
    except ValueError as error:
        assert str(error).startswith(PARSE_ERRORS), str(error)
        return
    check_table(result)


def TestOneInput(data):
    if data and data[0] % 2:
        parse_one(with_valid_footer(PayloadBuilder(data[1:]).content()))
        return
    parse_one(data)
    parse_one(with_valid_footer(data))
    try:
        check_table_frame(data)
    except ValueError as error:
        assert str(error) in CHECK_ERRORS, str(error)


if __name__ == "__main__":
    fuzz(TestOneInput)
