"""The hook through which pyvorl.dumps accepts DataFrames."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from pyvorl._table import Table


def table_from_dataframe(obj: object) -> Table | None:
    """The Table for a DataFrame-like `obj`, or None when `obj` is not one."""
    return None
