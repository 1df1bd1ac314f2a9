"""pyarrow Tables to a `Table` and back (imported only when pyarrow is used)."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]
from numpy.typing import NDArray

from pyvorl._arrow_intake import table_from_arrow
from pyvorl._dataframes import CATEGORICAL, CATEGORIES, ZONE, reserved_fields

if TYPE_CHECKING:
    from pyvorl._table import Table


def to_table(frame: pa.Table) -> Table:
    return table_from_arrow(frame)


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
