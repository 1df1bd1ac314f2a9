"""polars DataFrames to a `Table` and back (imported only when polars is used)."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

import numpy as np
import polars as pl
from numpy.typing import NDArray

from pyvorl._arrow_intake import table_from_arrow
from pyvorl._dataframes import CATEGORICAL, CATEGORIES, ZONE, reserved_fields

if TYPE_CHECKING:
    from pyvorl._table import Table


def to_table(frame: pl.DataFrame) -> Table:
    return table_from_arrow(frame)


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
