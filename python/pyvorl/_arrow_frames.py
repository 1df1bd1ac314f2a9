"""pyarrow Tables to a `Table` and back (imported only when pyarrow is used)."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

from pyvorl._dataframes import (
    CATEGORICAL,
    CATEGORIES,
    ZONE,
    ConvertedColumn,
    make_table,
    refuse_nulls,
    text_array,
    unsupported,
)

if TYPE_CHECKING:
    from pyvorl._table import Table

_TEXTS = (pa.types.is_string, pa.types.is_large_string, pa.types.is_binary, pa.types.is_large_binary)


def to_table(frame: pa.Table) -> Table:
    columns = zip(frame.column_names, frame.columns)
    return make_table((_column(name, column) for name, column in columns), {}, frame.num_rows)


def _column(name: str, column: pa.ChunkedArray) -> ConvertedColumn:
    kind = column.type
    if column.null_count:
        refuse_nulls(name, column.is_null().to_numpy(zero_copy_only=False))
    keys: dict[str, Any] = {}
    types = pa.types
    if types.is_integer(kind) or types.is_floating(kind) or types.is_boolean(kind) or types.is_duration(kind):
        values = column.to_numpy()
    elif types.is_timestamp(kind):
        values = column.to_numpy()  # UTC values, zone or not
        if kind.tz is not None:
            keys[ZONE] = kind.tz
    elif any(test(kind) for test in _TEXTS):
        values = text_array(column.to_pylist())
    elif types.is_dictionary(kind) and (types.is_string(kind.value_type) or types.is_large_string(kind.value_type)):
        values = text_array(column.cast(kind.value_type).to_pylist())
        dictionary = column.unify_dictionaries().chunk(0).dictionary if column.num_chunks else pa.array([])
        keys[CATEGORICAL] = "ordered" if kind.ordered else "unordered"
        keys[CATEGORIES] = json.dumps(dictionary.to_pylist())
    else:
        raise unsupported(name, "pyarrow", kind)
    return name, values, keys


def from_table(table: Table) -> pa.Table:
    return pa.table(table)
