"""Tables by rows: one table of several that share a schema, and a run of rows out of one."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
from numpy.typing import NDArray

from pyvorl._table import ROWS, Schema, Table, same_scalars
from pyvorl._validity import VALIDITY, validity_of


def concat(tables: Iterable[Table]) -> Table:
    """One Table of the rows of `tables`, in order. The tables must agree on everything but their rows:
    obj and name, column names and order, dtypes, decimals, metadata, field metadata and the "pyvorl."
    keys (zones, categories, dtypes); the first one's are kept. Nulls stay where they were."""
    tables = list(tables)
    if not tables:
        raise ValueError("concat() needs at least one table")
    for index, table in enumerate(tables):
        if not isinstance(table, Table):
            raise TypeError(f"concat(): table {index} is a {type(table).__name__}, not a pyvorl.Table")
    first = tables[0]
    for index, table in enumerate(tables[1:], 1):
        if (fault := difference(first, table)) is not None:
            where, mine, theirs = fault
            raise ValueError(f"concat(): table {index} {where} is {theirs!r:.200}, table 0's is {mine!r:.200}")
    if len(tables) == 1:
        return first
    columns: dict[str, NDArray[Any]] = {}
    fields = {column: without_validity(keys) for column, keys in first.schema.fields.items()}
    for column in first:
        columns[column] = np.concatenate([table[column] for table in tables])
        masks = [table.mask(column) for table in tables]
        if any(mask is not None for mask in masks):
            whole = np.concatenate([np.zeros(t.num_rows, np.bool_) if m is None else m for t, m in zip(tables, masks)])
            if (validity := validity_of(whole)) is not None:
                fields.setdefault(column, {})[VALIDITY] = validity
    return rebuilt(first, columns, fields, sum(table.num_rows for table in tables))


def slice_rows(table: Table, start: int, stop: int) -> Table:
    """Rows `start` to `stop` of `table` as a table of its own, with the bitmap of the nulls among them;
    the arrays are views of the table's."""
    columns = {column: array[start:stop] for column, array in table.items()}
    fields = {column: without_validity(keys) for column, keys in table.schema.fields.items()}
    for column in table:
        mask = table.mask(column)
        if mask is not None and (validity := validity_of(mask[start:stop])) is not None:
            fields.setdefault(column, {})[VALIDITY] = validity
    rows = len(range(start, min(stop, table.num_rows)))
    return rebuilt(table, columns, fields, rows)


def rebuilt(model: Table, columns: dict[str, NDArray[Any]], fields: dict[str, dict[str, Any]], rows: int) -> Table:
    """A table of `columns` with everything else of `model`'s; a table without columns keeps `rows`."""
    table_keys = dict(model.schema.table)
    if not columns and ROWS in table_keys:
        table_keys[ROWS] = rows
    return Table(
        columns,
        obj=model.obj,
        name=model.name,
        metadata=model.metadata,
        field_metadata=model.field_metadata,
        decimals=model.decimals,
        schema=Schema({column: keys for column, keys in fields.items() if keys}, table_keys),
    )


def without_validity(keys: Mapping[str, Any]) -> dict[str, Any]:
    return {key: value for key, value in keys.items() if key != VALIDITY}


def difference(first: Table, other: Table) -> tuple[str, object, object] | None:
    """Where `other` differs from `first` in what its rows alone cannot change, with what each has there;
    None when nothing does."""
    pairs: list[tuple[str, object, object]] = [
        ("obj", first.obj, other.obj),
        ("name", first.name, other.name),
        ("columns", first.column_names, other.column_names),
    ]
    for where, mine, theirs in pairs:
        if mine != theirs:
            return where, mine, theirs
    # Each property copies what it gives, so each is read once here.
    my_fields, their_fields = first.schema.fields, other.schema.fields
    my_decimals, their_decimals = first.decimals, other.decimals
    my_metadata, their_metadata = first.field_metadata, other.field_metadata
    for column, array in other.items():
        pairs = [
            (f"column {column!r} dtype", str(first[column].dtype), str(array.dtype)),
            (f"column {column!r} decimals", my_decimals.get(column), their_decimals.get(column)),
            (
                f"column {column!r} pyvorl keys",
                without_validity(my_fields.get(column, {})),
                without_validity(their_fields.get(column, {})),
            ),
        ]
        for where, mine, theirs in pairs:
            if mine != theirs:
                return where, mine, theirs
        if not same_scalars(values := my_metadata.get(column, {}), others := their_metadata.get(column, {})):
            return f"column {column!r} field metadata", values, others
    if not same_scalars(first.metadata, other.metadata):
        return "metadata", first.metadata, other.metadata
    mine, theirs = (without_rows(table.schema.table) for table in (first, other))
    if mine != theirs:
        return "table pyvorl keys", mine, theirs
    return None


def without_rows(keys: Mapping[str, Any]) -> dict[str, Any]:
    return {key: value for key, value in keys.items() if key != ROWS}
