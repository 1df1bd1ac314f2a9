"""Any Arrow producer to a `Table`, through the Arrow C stream and C data interfaces
(`__arrow_c_stream__`, `__arrow_c_array__`): pyarrow, polars, duckdb, nanoarrow and any other.
No Arrow library is imported; `_codec.arrow_columns` reads the buffers. What the stored array
alone does not say about the Arrow type (zone, date and time types, decimals, dictionaries,
large and view layouts) goes under the "pyvorl." keys of `_dataframes`, the nulls under
"pyvorl.validity".

Field metadata of the Arrow schema comes along as the column's field metadata, but for polars'
"_PL_" keys, which say how polars encoded its own types in Arrow; "pyvorl." keys in it (written by
pyvorl's own export) go back into the schema. Of the schema's own metadata
only the "pyvorl." keys are kept: the rest is the bookkeeping of the library that wrote it.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

from pyvorl import _codec
from pyvorl._dataframes import ARROW_INDEX, ARROW_TYPE, CATEGORICAL, CATEGORIES, ZONE
from pyvorl._validity import VALIDITY

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from pyvorl._table import Table

ARROW_FLAG_DICTIONARY_ORDERED = 1
# Formats whose stored array would go out as another Arrow type without ARROW_TYPE.
_LIBRARY_KEYS = ("_PL_",)
_RECORDED_FORMATS = frozenset(("tdD", "tdm", "tts", "ttm", "ttu", "ttn", "U", "Z", "vu", "vz"))


def is_arrow_producer(obj: object) -> bool:
    """Whether `obj` exports Arrow data; pandas DataFrames go through their own converter, which
    keeps their index and dtypes."""
    kind = type(obj)
    if any(base.__module__.partition(".")[0] == "pandas" for base in kind.__mro__):
        return False
    return hasattr(kind, "__arrow_c_stream__") or hasattr(kind, "__arrow_c_array__")


def table_from_arrow(obj: Any) -> Table:
    """The Table of an object with `__arrow_c_stream__` (all its batches, one after another) or
    `__arrow_c_array__` (one struct array: a record batch)."""
    if hasattr(type(obj), "__arrow_c_stream__"):
        parts = _codec.arrow_columns(obj.__arrow_c_stream__())
    else:
        schema, array = obj.__arrow_c_array__()
        parts = _codec.arrow_columns(schema, array)
    return _table(*parts)


def _table(rows: int, columns: list[_codec.ArrowColumn], schema_metadata: dict[bytes, bytes] | None) -> Table:
    from pyvorl._table import ROWS, Schema, Table

    arrays: dict[str, NDArray[Any]] = {}
    fields: dict[str, dict[str, Any]] = {}
    user_fields: dict[str, dict[str, Any]] = {}
    decimals: dict[str, int] = {}
    for name, format, metadata, flags, values, validity, dictionary in columns:
        reserved, user = _split(metadata)
        reserved.pop(VALIDITY, None)  # the bitmap of this data, not of the data it was exported from
        keys = reserved | _type_keys(format, flags, dictionary)
        if format.startswith("d:"):
            decimals[name] = int(format[2:].split(",")[1])
        if validity is not None:
            keys[VALIDITY] = validity
        arrays[name] = values
        if keys:
            fields[name] = keys
        if user:
            user_fields[name] = user
    table_keys, _ = _split(schema_metadata)
    if not columns and rows:
        table_keys[ROWS] = rows
    return Table(arrays, field_metadata=user_fields, decimals=decimals, schema=Schema(fields, table_keys))


def _type_keys(format: str, flags: int, dictionary: tuple[str, list[str]] | None) -> dict[str, Any]:
    if dictionary is not None:
        value_format, categories = dictionary
        return {
            CATEGORICAL: "ordered" if flags & ARROW_FLAG_DICTIONARY_ORDERED else "unordered",
            CATEGORIES: json.dumps(categories),
            ARROW_TYPE: value_format,
            ARROW_INDEX: format,
        }
    if format.startswith("ts") and format[4:]:
        return {ZONE: format[4:]}  # IANA names and fixed offsets ("+01:00") as the producer wrote them
    if format.startswith("d:"):
        precision, scale, *bits = format[2:].split(",")
        return {ARROW_TYPE: f"d:{precision},{scale}" + ("" if bits in ([], ["128"]) else f",{bits[0]}")}
    return {ARROW_TYPE: format} if format in _RECORDED_FORMATS else {}


def _split(metadata: dict[bytes, bytes] | None) -> tuple[dict[str, Any], dict[str, Any]]:
    """Arrow metadata as ("pyvorl." keys, the others): keys that are not UTF-8 are dropped, values
    that are not UTF-8 stay bytes."""
    reserved: dict[str, Any] = {}
    user: dict[str, Any] = {}
    for raw_key, raw_value in (metadata or {}).items():
        try:
            key = raw_key.decode()
        except UnicodeDecodeError:
            continue
        try:
            value: str | bytes = raw_value.decode()
        except UnicodeDecodeError:
            value = raw_value
        if not key.startswith(_LIBRARY_KEYS):
            (reserved if key.startswith("pyvorl.") else user)[key] = value
    return reserved, user
