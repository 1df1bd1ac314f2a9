"""Fuzzes pyvorl.dumps with calls built from the fuzzer's bytes.

Columns as a mapping, as pairs or as a Table; arrays of every dtype (those
without a column type too) in every layout, object arrays and lists of mixed
items, decimals and metadata good and bad, names of odd types and texts with
lone surrogates. A refused call raises TypeError or ValueError (never
OverflowError) and only when something in it is wrong; a call that succeeds
gives a frame that loads back to the same table, in both strings modes.
"""

import atheris

with atheris.instrument_imports():
    from table_arguments import REFUSALS, DumpsCall

import numpy as np

from atheris_main import fuzz
from pyvorl import dumps, loads, parse_table_frame


def check_string_mode(frame, loaded):
    """With strings="stringdtype", text columns come back as StringDType, the rest as before."""
    strings = loads(memoryview(frame), strings="stringdtype")
    assert strings.column_names == loaded.column_names
    for name, array in loaded.items():
        other = strings[name]
        if array.dtype == object and len(array) and all(type(item) is str for item in array):
            assert other.dtype.kind == "T" and other.tolist() == array.tolist(), (name, array, other)
        elif array.dtype == object:
            assert other.dtype in (object, np.dtypes.StringDType()) and other.tolist() == array.tolist()
        else:
            assert other.dtype == array.dtype and other.tobytes() == array.tobytes(), (name, array, other)


def TestOneInput(data):
    call = DumpsCall(data)
    try:
        frame = call.run(dumps)
    except REFUSALS as error:
        assert not call.certain, f"refused a call with nothing wrong in it: {error!r}"
        return
    assert not call.refusals, f"took a call it must refuse: {call.refusals}"
    assert type(frame) is bytes
    parse_table_frame(frame[8:])  # the specified reader takes every frame dumps writes
    loaded = loads(frame)
    expected = call.expected_table(loaded)
    differences = [(what, getattr(loaded, what), getattr(expected, what)) for what in ("metadata", "field_metadata")]
    assert loaded.equals(expected), (loaded, expected, *differences, loaded.decimals, expected.decimals)
    check_string_mode(frame, loaded)


if __name__ == "__main__":
    fuzz(TestOneInput)
