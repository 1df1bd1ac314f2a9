"""pyarrow Tables to a `Table` and back (imported only when pyarrow is used)."""

from __future__ import annotations

from typing import TYPE_CHECKING

import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

from pyvorl._arrow_intake import table_from_arrow

if TYPE_CHECKING:
    from pyvorl._table import Table


def to_table(frame: pa.Table) -> Table:
    return table_from_arrow(frame)


def from_table(table: Table) -> pa.Table:
    return pa.table(table)
