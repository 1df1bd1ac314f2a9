"""polars DataFrames to a `Table` and back (imported only when polars is used)."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

import numpy as np
import polars as pl
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

_NUMBERS = (pl.Boolean, pl.Int8, pl.Int16, pl.Int32, pl.Int64, pl.UInt8, pl.UInt16, pl.UInt32, pl.UInt64)


def to_table(frame: pl.DataFrame) -> Table:
    return make_table((_column(series) for series in frame.iter_columns()), {}, frame.height)


def _column(series: pl.Series) -> ConvertedColumn:
    name, dtype = series.name, series.dtype
    if series.null_count():
        refuse_nulls(name, series.is_null().to_numpy())
    keys: dict[str, Any] = {}
    if isinstance(dtype, _NUMBERS) or dtype.is_float():
        values = series.to_numpy()
    elif isinstance(dtype, (pl.Datetime, pl.Duration)):
        # The physical values of a zoned column are UTC already.
        kind = "datetime64" if isinstance(dtype, pl.Datetime) else "timedelta64"
        values = series.to_physical().to_numpy().view(f"{kind}[{dtype.time_unit}]")
        if isinstance(dtype, pl.Datetime) and dtype.time_zone is not None:
            keys[ZONE] = dtype.time_zone
    elif isinstance(dtype, (pl.String, pl.Binary)):
        values = text_array(series.to_list())
    elif isinstance(dtype, pl.Enum):
        values = text_array(series.cast(pl.String).to_list())
        keys[CATEGORICAL] = "ordered"
        keys[CATEGORIES] = json.dumps(dtype.categories.to_list())
    elif isinstance(dtype, pl.Categorical):
        values = text_array(series.cast(pl.String).to_list())
        keys[CATEGORICAL] = "unordered"
    else:
        raise unsupported(name, "polars", dtype)
    return name, values, keys


def from_table(table: Table) -> pl.DataFrame:
    field_metadata = reserved_fields(table)
    series = [_series(name, array, field_metadata.get(name, {})) for name, array in table.items()]
    return pl.DataFrame(series) if series else pl.DataFrame(height=table.num_rows)


def _series(name: str, array: NDArray[Any], keys: dict[str, Any]) -> pl.Series:
    if array.dtype.kind in "mM" and np.datetime_data(array.dtype)[0] == "s":
        array = array.astype(array.dtype.str.replace("[s]", "[ms]"))  # polars has no seconds unit
    if array.dtype == object and len(array) == 0:
        series = pl.Series(name, [], dtype=pl.String)
    else:
        series = pl.Series(name, array)
    if ZONE in keys:
        return series.dt.replace_time_zone("UTC").dt.convert_time_zone(keys[ZONE])
    if keys.get(CATEGORICAL) == "ordered" and CATEGORIES in keys:
        return series.cast(pl.Enum(json.loads(keys[CATEGORIES])))
    if CATEGORICAL in keys:
        return series.cast(pl.Categorical)
    return series
