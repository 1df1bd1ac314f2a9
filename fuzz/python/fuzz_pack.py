"""Fuzzes pack_table_frame with arguments built from the fuzzer's bytes.

Arrays of many dtypes and layouts (0-d, 2-D, strided, reversed, misaligned,
byte-swapped, read-only), lists of mixed objects, dicts with odd keys and
values, and objects whose conversions raise. Only the documented exception
types may come out, and every frame that is returned must parse back to the
columns that went in.
"""

import math

import atheris

with atheris.instrument_imports():
    from argument_builder import ArgumentBuilder, Unexpected, exact_text, expected_column

import numpy as np

from atheris_main import fuzz
from pyvorl import pack_table_frame, parse_table_frame

DOCUMENTED = (TypeError, ValueError, IndexError, OverflowError)  # UnicodeEncodeError is a ValueError


def same_values(parsed, expected):
    if expected is None:
        return True
    if isinstance(expected, list):
        return (
            parsed.tolist() == expected
            if parsed.dtype == object
            else all(
                e is None or (math.isnan(e) and math.isnan(p)) or p == e for p, e in zip(parsed.tolist(), expected)
            )
        )
    return parsed.dtype == expected.dtype and parsed.tobytes() == expected.tobytes()


def length_of(data):
    return data.shape[0] if isinstance(data, np.ndarray) else list.__len__(data)


def TestOneInput(data):
    obj, columns, decimal_fields = ArgumentBuilder(data).arguments()
    Unexpected.armed = True
    try:
        if decimal_fields is ...:
            frame = pack_table_frame(obj, columns)
        else:
            frame = pack_table_frame(obj, columns, decimal_fields)
    except DOCUMENTED:
        return
    finally:
        Unexpected.armed = False
    _, parsed_obj, parsed = parse_table_frame(frame[8:])
    assert parsed_obj == exact_text(obj)
    # The packer compares names as plain text; so does this lookup.
    no_places = decimal_fields is None or decimal_fields is ...
    places = {} if no_places else {exact_text(key): value for key, value in decimal_fields.items()}
    items = [(exact_text(tuple.__getitem__(item, 0)), tuple.__getitem__(item, 1)) for item in columns]
    assert [name for name, _ in parsed] == [name for name, _ in items]
    for (_, array), (name, column) in zip(parsed, items):
        expected = expected_column(column, places.get(name))
        assert len(array) == length_of(column), (array, column)
        assert same_values(array, expected), (array, expected, column)


if __name__ == "__main__":
    fuzz(TestOneInput)
