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
from numpy.typing import NDArray

from pyvorl import _codec
from pyvorl._dataframes import table_from_dataframe
from pyvorl._framing import FrameError
from pyvorl._table import RESERVED_PREFIX, Columns, Scalar, Table, as_mapping

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
    column) pairs, a pyvorl.Table or a DataFrame. Columns are 1-D arrays or
    lists of str or bytes. `decimals` maps float or text columns to the
    decimal places they are stored with; `metadata` adds table metadata.
    """
    table = as_table(table, obj, name, decimals, metadata)
    return encode_table(table, table._reserved_fields, table._reserved_metadata)


def as_table(
    table: object,
    obj: str,
    name: str,
    decimals: Mapping[str, int] | None,
    metadata: Mapping[str, Scalar] | None,
) -> Table:
    """`table` as a Table; arguments given here add to (or replace) a Table's own."""
    if not isinstance(table, (Table, Mapping)) and (not isinstance(table, Sequence) or isinstance(table, (str, bytes))):
        converted = table_from_dataframe(table)
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
        )._with_reserved(table._reserved_fields, table._reserved_metadata)
    return Table(table, obj=obj, name=name, decimals=decimals, metadata=metadata)


def encode_table(
    table: Table,
    reserved_field_metadata: Mapping[str, Mapping[str, Scalar]] | None = None,
    reserved_metadata: Mapping[str, Scalar] | None = None,
) -> bytes:
    """The frame of `table`, with extra "pyvorl."-prefixed keys for the columns and the table."""
    reserved_field_metadata = reserved_field_metadata or {}
    decimals = table.decimals
    field_metadata = table.field_metadata
    columns = []
    for column_name, array in table.items():
        values = {**field_metadata.get(column_name, {}), **reserved_field_metadata.get(column_name, {})}
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
    table_values.update(reserved_metadata or {})
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


def loads(frame: Any, *, strings: Literal["object", "stringdtype"] = "object") -> Table:
    """The Table in `frame`: any C-contiguous buffer holding exactly one whole frame.

    Columns come back with the dtypes they were written with; datetimes in
    UTC. Text columns are object arrays of str, or NumPy StringDType arrays
    with strings="stringdtype". A damaged, truncated or padded frame raises
    pyvorl.FrameError.
    """
    if strings not in ("object", "stringdtype"):
        raise ValueError(f"strings must be 'object' or 'stringdtype', not {strings!r}")
    try:
        table_entries, decoded = _codec.decode(frame, strings == "stringdtype")
    except ValueError as error:
        raise FrameError(0, str(error)) from None
    table_values = python_metadata(table_entries)
    obj = table_values.pop("obj", "")
    name = table_values.pop("table", "")
    reserved = split_reserved(table_values)
    columns: dict[str, NDArray[Any]] = {}
    field_metadata: dict[str, dict[str, Any]] = {}
    reserved_fields: dict[str, dict[str, Any]] = {}
    decimals: dict[str, int] = {}
    # Taken from the end, so that each column's decoded entries are freed as its dicts are made.
    decoded.reverse()
    while decoded:
        column_name, _tag, array, entries, scale = decoded.pop()
        values = python_metadata(entries)
        own = split_reserved(values)
        if columns and len(array) != len(first := next(iter(columns.values()))):
            first_name = next(iter(columns))
            raise FrameError(0, f"column {column_name!r} has {len(array)} rows, column {first_name!r} has {len(first)}")
        columns[column_name] = array
        if values:
            field_metadata[column_name] = values
        if own:
            reserved_fields[column_name] = own
        if scale is not None:
            decimals[column_name] = scale
    table = Table._decoded(
        columns,
        len(next(iter(columns.values()))) if columns else 0,
        obj=obj if isinstance(obj, str) else "",
        name=name if isinstance(name, str) else "",
        metadata=table_values,
        field_metadata=field_metadata,
        decimals=decimals,
    )
    return table._with_reserved(reserved_fields, reserved)


def python_metadata(entries: list[tuple[str, int, Any]] | None) -> dict[str, Any]:
    return {key: np.datetime64(value, "us") if tag == DATETIME else value for key, tag, value in entries or ()}


def split_reserved(values: dict[str, Any]) -> dict[str, Any]:
    """Takes the "pyvorl."-prefixed keys out of `values` and returns them."""
    reserved = {key: values.pop(key) for key in [key for key in values if key.startswith(RESERVED_PREFIX)]}
    return reserved
