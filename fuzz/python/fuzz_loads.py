"""Fuzzes pyvorl.loads with whole frames, and reads every Table it returns.

The first byte chooses the input: 1 (mod 4) describes a payload through
TablePayloadBuilder, with the library's "pyvorl." keys holding values right
and hostile; 3 (mod 4) builds a table, dumps it and changes the frame in a
few places; an even byte takes the input as a frame, once as it is and once
under a valid header and checksum, so that mutations of the seeds (frames
dumps wrote) reach the decoder. Only FrameError, ValueError and TypeError
may come out, from both strings modes alike. A Table that comes back must
read whole (to_dict, equals, repr), agree with parse_table_frame on every
value the two readers share, and dump to a frame that loads back equal.
"""

import atheris

with atheris.instrument_imports():
    from table_arguments import REFUSALS, DumpsCall
    from table_payload_builder import TablePayloadBuilder

import numpy as np

from atheris_main import fuzz
from frames import frame as framed  # on the path through payload_builder
from pyvorl import FrameError, Table, dumps, loads, parse_table_frame

EXPECTED = (FrameError, ValueError, TypeError)
RESERVED_PREFIX = "pyvorl."


def mutated_dumps(data):
    """A frame that dumps wrote for a table built from `data`, and the same changed where the rest of `data` says."""
    call = DumpsCall(data)
    try:
        frame = call.run(dumps)
    except REFUSALS:
        return []
    fdp = call.fdp
    content = bytearray(frame[8:-4])
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        if not content:
            break
        at = fdp.ConsumeIntInRange(0, len(content) - 1)
        choice = fdp.ConsumeIntInRange(0, 3)
        if choice == 0:
            content[at] = fdp.ConsumeIntInRange(0, 255)
        elif choice == 1:
            content[at] ^= 1 << fdp.ConsumeIntInRange(0, 7)
        elif choice == 2:
            del content[at : at + fdp.ConsumeIntInRange(1, 8)]
        else:
            content[at:at] = fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 8))
    return [frame, framed(bytes(content))]


def check_table(table):
    assert type(table) is Table and type(table.obj) is str and type(table.name) is str
    names = table.column_names
    assert names == list(table) and all(type(name) is str for name in names) and len(set(names)) == len(names)
    for values in [table.metadata, *table.field_metadata.values()]:
        assert all(type(key) is str and not key.startswith(RESERVED_PREFIX) for key in values), values
    assert set(table.field_metadata) <= set(names) and set(table.decimals) <= set(names)
    assert all(type(places) is int for places in table.decimals.values())
    columns = table.to_dict()
    assert list(columns) == names
    for array in columns.values():
        assert type(array) is np.ndarray and array.ndim == 1 and len(array) == table.num_rows
        array.tolist()  # reads every element
    assert table.equals(table)
    repr(table)


def same_values(first, second):
    if first.dtype.kind in "OTU" or second.dtype.kind in "OTU":
        return first.tolist() == second.tolist()
    if first.dtype == second.dtype:
        return first.tobytes() == second.tobytes() if first.dtype != np.bool_ else np.array_equal(first, second)
    return None  # not comparable value for value


def check_strings_mode(table, strings):
    """strings="stringdtype" changes text columns only, and nothing else."""
    assert strings.column_names == table.column_names
    for name, array in table.items():
        other = strings[name]
        assert other.dtype == array.dtype or other.dtype.kind == "T" and array.dtype == object, (name, array, other)
        assert same_values(array, other), (name, array, other)
    assert (strings.obj, strings.name, strings.decimals) == (table.obj, table.name, table.decimals)


def check_against_parse(frame, table):
    """Where loads and parse_table_frame give one dtype, or loads a narrower integer, the values agree."""
    try:
        _, _, parsed = parse_table_frame(frame[8:])
    except ValueError:
        return  # loads may take what the specified reader refuses, never the other way round
    assert [name for name, _ in parsed] == table.column_names
    for name, array in parsed:
        mine = table[name]
        if len(array) != len(mine):
            assert array.dtype == np.bool_ and not len(array) and not mine.any(), (name, mine, array)
            continue  # a Null column, which loads gives as False in every row
        if mine.dtype.kind in "iu" and array.dtype.kind in "iu" and mine.dtype.itemsize < array.dtype.itemsize:
            assert mine.astype(array.dtype).tolist() == array.tolist(), (name, mine, array)  # widened back exactly
        elif mine.dtype.kind == array.dtype.kind or mine.dtype.kind in "OT":
            assert same_values(mine, array) in (True, None), (name, mine, array)


def check_projection(frame, table):
    """Every other column, decoded alone, is what the whole frame gave: dtype, values and nulls."""
    names = table.column_names[::2]
    projected = loads(frame, columns=names)
    assert projected.column_names == names and projected.num_rows == table.num_rows
    for name in names:
        mine, whole = projected[name], table[name]
        assert mine.dtype == whole.dtype and same_values(mine, whole) is not False, (name, mine, whole)
        mask, whole_mask = projected.mask(name), table.mask(name)
        assert (mask is None) == (whole_mask is None) and (mask is None or np.array_equal(mask, whole_mask))


def without_negative_zeros(table):
    """The table with -0.0 in decimal columns as 0.0: a decimal has no sign of its own for zero."""
    columns = {name: array + 0.0 if name in table.decimals else array for name, array in table.items()}
    options = {key: getattr(table, key) for key in ("obj", "name", "metadata", "field_metadata", "decimals")}
    return Table(columns, **options)


def check_round_trip(table):
    try:
        frame = dumps(table)
    except (TypeError, ValueError):
        return  # another producer's frame may hold what dumps refuses
    again = loads(frame)
    assert without_negative_zeros(again).equals(without_negative_zeros(table)), (again, table)


def load(frame):
    try:
        table = loads(frame)
    except EXPECTED as error:
        try:
            loads(bytearray(frame), strings="stringdtype")
        except EXPECTED:
            return
        raise AssertionError(f"only strings='object' refused the frame: {error!r}") from None
    strings = loads(bytearray(frame), strings="stringdtype")  # a private copy, and StringDType texts
    check_table(table)
    check_table(strings)
    check_strings_mode(table, strings)
    check_against_parse(frame, table)
    check_projection(frame, table)
    check_round_trip(table)


def TestOneInput(data):
    selector = data[0] % 4 if data else 0
    if selector == 1:
        frames = [framed(TablePayloadBuilder(data[1:]).content())]
    elif selector == 3:
        frames = mutated_dumps(data[1:])
    else:
        frames = [data] + ([framed(data[8:-4])] if len(data) >= 12 else [])
    for frame in frames:
        load(frame)


if __name__ == "__main__":
    fuzz(TestOneInput)
