"""The three shapes of `pyvorl dump` output: text blocks, JSON lines and CSV."""

from __future__ import annotations

import csv
import json
import math
from typing import TYPE_CHECKING, Any, Protocol, TextIO

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from pyvorl import Table


def column_type(table: Table, name: str) -> str:
    """The dtype, with the zone of datetimes (always UTC) and the places of decimals."""
    array = table[name]
    if name in table.decimals:
        return f"decimal({table.decimals[name]})"
    if array.dtype.kind == "M":
        return f"{array.dtype} UTC"
    return str(array.dtype)


def table_metadata(table: Table) -> dict[str, Any]:
    """The user's metadata and pyvorl's own keys (a DataFrame's index), shown together."""
    return {**table.metadata, **table._reserved_metadata}


def field_metadata(table: Table, name: str) -> dict[str, Any]:
    """The column's metadata and pyvorl's own keys (zones, categories), shown together."""
    return {**table.field_metadata.get(name, {}), **table._reserved_fields.get(name, {})}


def plain_values(array: NDArray[Any]) -> list[Any]:
    """Values JSON and CSV can hold: ISO datetimes with Z, counts for
    durations in the dtype's unit, hex for bytes, text for NaN and infinities."""
    if array.dtype.kind == "M":
        return [str(text) for text in np.datetime_as_string(array, timezone="UTC")]
    if array.dtype.kind == "m":
        counts: list[int] = array.view(np.int64).tolist()
        return counts
    values: list[Any] = array.tolist()
    if array.dtype.kind == "f":
        return [value if math.isfinite(value) else str(value) for value in values]
    if array.dtype == object:
        return [value.hex() if isinstance(value, bytes) else value for value in values]
    return values


class TextWriter:
    """One block per frame: a line about the frame, then one per column."""

    def __init__(self, out: TextIO, head: int | None) -> None:
        self._out, self._head = out, 5 if head is None else head

    def frame(self, index: int, offset: int, size: int, table: Table) -> None:
        line = f"frame {index} at offset {offset}, {size} bytes: table {table.name!r}, object {table.obj!r}"
        line += f", {table.num_rows} rows"
        if metadata := table_metadata(table):
            line += f", metadata {metadata!r}"
        lines = [line]
        # Names are the sender's text: quoted and escaped, so that none can move
        # the cursor, retitle the terminal or pass for another line of the listing.
        names = {name: repr(name) for name in table.column_names}
        types = {name: column_type(table, name) for name in names}
        name_width = max(map(len, names.values()), default=0)
        type_width = max(map(len, types.values()), default=0)
        for name, shown in names.items():
            array = table[name]
            line = f"  {shown:<{name_width}}  {types[name]:<{type_width}}  {len(array):>{len(str(table.num_rows))}}"
            line += f"  {self._first_values(array)}"
            if keys := field_metadata(table, name):
                line += f"  {keys!r}"
            lines.append(line)
        print("\n".join(lines), file=self._out)

    def finish(self, frames: int, size: int) -> None:
        print(f"{frames} frames, {size} bytes", file=self._out)

    def _first_values(self, array: NDArray[Any]) -> str:
        # Texts are quoted so that empty and padded ones stay visible.
        show = repr if array.dtype == object else str
        values = [show(value) for value in array[: self._head]]
        if len(array) > self._head:
            values.append("...")
        return "[" + ", ".join(values) + "]"


class JsonWriter:
    """One JSON object per frame and line; every value unless --head limits them."""

    def __init__(self, out: TextIO, head: int | None) -> None:
        self._out, self._head = out, head

    def frame(self, index: int, offset: int, size: int, table: Table) -> None:
        columns = [
            {
                "name": name,
                "type": column_type(table, name),
                "metadata": field_metadata(table, name),
                "values": plain_values(array[: self._head]),
            }
            for name, array in table.items()
        ]
        record = {"frame": index, "offset": offset, "size": size, "table": table.name, "object": table.obj}
        record |= {"rows": table.num_rows, "metadata": table_metadata(table), "columns": columns}
        print(json.dumps(record, ensure_ascii=False, default=str), file=self._out)

    def finish(self, frames: int, size: int) -> None:
        pass


class CsvWriter:
    """Rows with their frame and row number; a header row whenever the columns change."""

    def __init__(self, out: TextIO, head: int | None) -> None:
        self._writer = csv.writer(out, lineterminator="\n")
        self._head = head
        self._names: list[str] | None = None

    def frame(self, index: int, offset: int, size: int, table: Table) -> None:
        names = list(table.column_names)
        if names != self._names:
            self._writer.writerow(["frame", "row", *names])
            self._names = names
        columns = [plain_values(array[: self._head]) for array in table.values()]
        self._writer.writerows([index, row, *values] for row, values in enumerate(zip(*columns)))

    def finish(self, frames: int, size: int) -> None:
        pass


class FrameWriter(Protocol):
    def __init__(self, out: TextIO, head: int | None) -> None: ...
    def frame(self, index: int, offset: int, size: int, table: Table) -> None: ...
    def finish(self, frames: int, size: int) -> None: ...


FORMATS: dict[str, type[FrameWriter]] = {"text": TextWriter, "json": JsonWriter, "csv": CsvWriter}
