"""pyarrow Tables to a `Table` and back (imported only when pyarrow is used)."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]
from numpy.typing import NDArray

from pyvorl._dataframes import (
    CATEGORICAL,
    CATEGORIES,
    ZONE,
    ConvertedColumn,
    make_table,
    refuse_nulls,
    reserved_fields,
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
    field_metadata = reserved_fields(table)
    arrays = [_array(array, field_metadata.get(name, {})) for name, array in table.items()]
    if not arrays and table.num_rows:
        # Rows without columns: a column of one run gives the count in a few bytes, then goes.
        count = pa.RunEndEncodedArray.from_arrays(pa.array([table.num_rows], pa.int64()), pa.nulls(1))
        return pa.table([count], names=[""]).select([])
    return pa.table(arrays, names=list(table.column_names))


def _array(array: NDArray[Any], keys: dict[str, Any]) -> pa.Array:
    if ZONE in keys:
        return pa.array(array, type=pa.timestamp(np.datetime_data(array.dtype)[0], keys[ZONE]))
    if CATEGORICAL in keys:
        values = pa.array(array, type=pa.string())
        categories = pa.array(json.loads(keys[CATEGORIES]) if CATEGORIES in keys else [], type=pa.string())
        if CATEGORIES not in keys:
            categories = pc.unique(values)
        indices = pc.index_in(values, value_set=categories).cast(pa.int32())
        return pa.DictionaryArray.from_arrays(indices, categories, ordered=keys[CATEGORICAL] == "ordered")
    if array.dtype == object and len(array) == 0:
        return pa.array([], type=pa.string())
    return pa.array(array)
