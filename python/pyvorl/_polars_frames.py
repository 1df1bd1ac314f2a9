"""polars DataFrames to a `Table` and back (imported only when polars is used)."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING

import polars as pl

from pyvorl._arrow_intake import table_from_arrow
from pyvorl._dataframes import CATEGORICAL, CATEGORIES

if TYPE_CHECKING:
    from pyvorl._table import Table


def to_table(frame: pl.DataFrame) -> Table:
    return table_from_arrow(frame)


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
