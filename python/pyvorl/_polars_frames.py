"""polars DataFrames to a `Table` and back (imported only when polars is used)."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

import polars as pl

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
    frame = pl.DataFrame(_ArrowStream(table))
    # An Arrow dictionary reads as a Categorical; fixed categories in order are an Enum.
    enums = {
        name: pl.Enum(json.loads(keys[CATEGORIES]))
        for name, keys in table.schema.fields.items()
        if keys.get(CATEGORICAL) == "ordered" and CATEGORIES in keys
    }
    return frame.with_columns(pl.col(name).cast(enum) for name, enum in enums.items()) if enums else frame


class _ArrowStream:
    """The table as nothing but an Arrow stream: polars reads a Mapping as a dict of NumPy columns."""

    def __init__(self, table: Table) -> None:
        self._table = table

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._table.__arrow_c_stream__(requested_schema)
