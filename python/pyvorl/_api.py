"""pyvorl.dumps and pyvorl.loads: whole frames from and to pyvorl.Table, exact
both ways. This side checks the table and its metadata; pyvorl._codec stores
every dtype (the one table of how each travels is in the binding, with the
dtype recorded under "pyvorl.dtype" where the column type does not say it),
and gives it back.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Literal

import numpy as np

from pyvorl import _codec
from pyvorl._arrow_intake import is_arrow_producer, table_from_arrow
from pyvorl._dataframes import table_from_dataframe
from pyvorl._framing import FrameError
from pyvorl._table import PLACES, Columns, Scalar, Table, as_mapping, check_names

NAT = np.iinfo(np.int64).min
INT64_MAX = np.iinfo(np.int64).max
MICROS_IN = {"W": 7 * 86_400_000_000, "D": 86_400_000_000, "h": 3_600_000_000, "m": 60_000_000}
MICROS_IN |= {"s": 1_000_000, "ms": 1_000, "us": 1}
TICKS_PER_MICRO = {"ns": 1_000, "ps": 1_000_000, "fs": 1_000_000_000, "as": 1_000_000_000_000}
# Tags of the metadata values written from Python (the Variant numbering).
DATETIME, INT64, FLOAT64, STRING, BOOL, UINT64, BYTES = 1, 2, 3, 5, 6, 9, 11


# ---- dumps -------------------------------------------------------------------------------


def dumps(
    table: Columns | Table | Any,
    *,
    obj: str = "",
    name: str = "",
    decimals: Mapping[str, int] | None = None,
    metadata: Mapping[str, Scalar] | None = None,
) -> bytes:
    """One whole frame (header included) holding `table`.

    `table` is a mapping of column name to column, a sequence of (name,
    column) pairs, a pyvorl.Table, a DataFrame or any object that exports
    Arrow data (`__arrow_c_stream__`, `__arrow_c_array__`). Columns are 1-D arrays or
    lists of str or bytes. `decimals` maps float or text columns to the
    decimal places they are stored with; `metadata` adds table metadata.
    """
    check_names(obj, name)
    if decimals is None and metadata is None:
        # The common case in one call: a dict of arrays, or a Table with nothing but its columns.
        if type(table) is dict:
            try:
                frame = _codec.encode_arrays(table, obj, name)
            except ValueError:
                frame = None  # a gap in a text column, which the Table takes as a null, or a real fault it names
        elif type(table) is Table and (plain := table._plain_columns()) is not None:
            frame = _codec.encode_arrays(plain, obj or table.obj, name or table.name)
        else:
            frame = None
        if frame is not None:
            return frame
    return encode_table(as_table(table, obj, name, decimals, metadata))


def as_table(
    table: object,
    obj: str,
    name: str,
    decimals: Mapping[str, int] | None,
    metadata: Mapping[str, Scalar] | None,
) -> Table:
    """`table` as a Table; arguments given here add to (or replace) a Table's own."""
    if not isinstance(table, (Table, Mapping)) and (not isinstance(table, Sequence) or isinstance(table, (str, bytes))):
        converted = table_from_arrow(table) if is_arrow_producer(table) else table_from_dataframe(table)
        if converted is None:
            raise TypeError(
                "dumps() takes a mapping of name to column, a sequence of (name, column) pairs, "
                f"a pyvorl.Table or a DataFrame, not {type(table).__name__}"
            )
        table = converted
    if isinstance(table, Table):
        decimals, metadata = as_mapping(decimals, "decimals"), as_mapping(metadata, "metadata")
        if not (obj or name or decimals or metadata):
            return table
        return Table(
            table,
            obj=obj or table.obj,
            name=name or table.name,
            metadata={**table.metadata, **metadata},
            field_metadata=table.field_metadata,
            decimals={**table.decimals, **decimals},
            schema=table.schema,
        )
    return Table(table, obj=obj, name=name, decimals=decimals, metadata=metadata)


def encode_table(table: Table) -> bytes:
    """The frame of `table`, its "pyvorl."-prefixed keys beside the user's metadata."""
    reserved_field_metadata, reserved_metadata = table.schema
    decimals = table.decimals
    field_metadata = table.field_metadata
    columns = []
    for column_name, array in table.items():
        values = {**field_metadata.get(column_name, {}), **reserved_field_metadata.get(column_name, {})}
        if column_name in decimals and not len(array):
            values[PLACES] = decimals[column_name]
        where = f"field metadata of column {column_name!r}"
        entries = metadata_entries(values, where) if values else None
        columns.append((column_name, array, decimals.get(column_name), entries))
    table_values: dict[str, Any] = {"obj": table.obj}
    if table.name:
        table_values["table"] = table.name
    for key, value in table.metadata.items():
        if key in ("obj", "table"):
            raise ValueError(f"metadata: key {key!r} is reserved for the {'object' if key == 'obj' else 'table'} name")
        table_values[key] = value
    table_values.update(reserved_metadata)
    return _codec.encode(columns, metadata_entries(table_values, "metadata"))


def metadata_entries(values: Mapping[str, Any], where: str) -> list[tuple[str, int, Any]]:
    return [(key, *metadata_value(value, f"{where} {key!r}")) for key, value in values.items()]


def metadata_value(value: object, where: str) -> tuple[int, Any]:
    """(Variant tag, value) of one metadata value."""
    if isinstance(value, (bool, np.bool_)):
        return BOOL, bool(value)
    if isinstance(value, np.timedelta64):  # an np.integer, but int() of one gives a timedelta or a bare count
        raise ValueError(f"{where}: unsupported value type timedelta64; store a count of a unit as an int")
    if isinstance(value, (int, np.integer)):
        number = int(value)
        if -(2**63) <= number < 2**63:
            return INT64, number
        if 0 <= number < 2**64:
            return UINT64, number
        raise ValueError(f"{where}: integer {number} does not fit 64 bits")
    if isinstance(value, (float, np.floating)):
        return FLOAT64, float(value)
    if isinstance(value, str):
        return STRING, value
    if isinstance(value, bytes):
        return BYTES, value
    if isinstance(value, np.datetime64):
        return DATETIME, datetime_micros(value, where)
    raise ValueError(f"{where}: unsupported value type {type(value).__name__}")


def datetime_micros(value: np.datetime64, where: str) -> int:
    if np.isnat(value):
        return int(NAT)
    unit, count = np.datetime_data(value.dtype)
    ticks = int(value.astype(np.int64)) * count
    if unit in MICROS_IN:
        micros = ticks * MICROS_IN[unit]
    elif unit in TICKS_PER_MICRO:
        micros, rest = divmod(ticks, TICKS_PER_MICRO[unit])
        if rest:
            raise ValueError(f"{where}: datetime {value} is not a whole number of microseconds")
    else:
        raise ValueError(f"{where}: datetime64 in years or months has no fixed length in microseconds")
    if not NAT < micros <= INT64_MAX:
        raise ValueError(f"{where}: datetime {value} does not fit a datetime in microseconds")
    return micros


# ---- loads -------------------------------------------------------------------------------


def loads(
    frame: Any, *, strings: Literal["object", "stringdtype"] = "object", columns: Sequence[str] | None = None
) -> Table:
    """The Table in `frame`: any C-contiguous buffer holding exactly one whole frame.

    Columns come back with the dtypes they were written with; datetimes in
    UTC. Text columns are object arrays of str, or NumPy StringDType arrays
    with strings="stringdtype". With `columns`, only those columns are decoded,
    in that order (the others are stepped over; the checksum still covers the
    whole frame), and a name the frame does not hold raises KeyError. A
    damaged, truncated or padded frame raises pyvorl.FrameError.
    """
    if strings not in ("object", "stringdtype"):
        raise ValueError(f"strings must be 'object' or 'stringdtype', not {strings!r}")
    wanted = None if columns is None else selected_names(columns)
    try:
        parts = _codec.decode(frame, strings == "stringdtype", wanted, True)
    except ValueError as error:
        raise FrameError(0, str(error)) from None
    if wanted is not None and list(parts[0]) != wanted:
        parts = ({name: parts[0][name] for name in wanted}, *parts[1:])
    return Table._decoded(*parts)


def selected_names(columns: object) -> list[str]:
    if isinstance(columns, (str, bytes)) or not isinstance(columns, Sequence):
        raise TypeError(f"columns must be a sequence of str, not {type(columns).__name__}")
    names = list(columns)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"columns must be a sequence of str, not of {type(name).__name__}")
    if len(set(names)) != len(names):
        raise ValueError(f"columns names {next(n for n in names if names.count(n) > 1)!r} twice")
    return names
