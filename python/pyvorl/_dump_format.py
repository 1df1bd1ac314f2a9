"""The three shapes of `pyvorl dump` output: text blocks, JSON lines and CSV."""

from __future__ import annotations

import csv
import json
import math
from typing import TYPE_CHECKING, Any, Protocol, TextIO

import numpy as np
from numpy.typing import NDArray

from pyvorl._dataframes import ZONE

if TYPE_CHECKING:
    from pyvorl import Table


def printable(text: str) -> str:
    """`text` with every character that is not printable escaped as in a
    Python literal (ESC, CR, C1 controls, U+202E and the like), so that text
    from a frame can neither drive a terminal nor pass for another line."""
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else char.encode("unicode_escape").decode() for char in text)


def json_line(record: dict[str, Any]) -> str:
    """One JSON line, with the characters `printable` escapes written as \\u escapes."""
    line = json.dumps(record, ensure_ascii=False, default=str)
    if line.isprintable():
        return line
    # Outside strings JSON writes printable ASCII only, so whatever is left is inside one.
    return "".join(char if char.isprintable() else _json_escape(char) for char in line)


def _json_escape(char: str) -> str:
    code = ord(char)
    if code < 0x10000:
        return f"\\u{code:04x}"
    code -= 0x10000
    return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"


def zone(table: Table, name: str) -> str | None:
    """The zone of a column of zoned datetimes (stored as UTC), None for naive ones."""
    value = table.schema.fields.get(name, {}).get(ZONE)
    return value if isinstance(value, str) and table[name].dtype.kind == "M" else None


def column_type(table: Table, name: str) -> str:
    """The dtype, with the zone of zoned datetimes and the places of decimals."""
    array = table[name]
    if name in table.decimals:
        return f"decimal({table.decimals[name]})"
    if (zone_name := zone(table, name)) is not None:
        return printable(f"{array.dtype} {zone_name}")
    return printable(str(array.dtype))


def table_metadata(table: Table) -> dict[str, Any]:
    """The user's metadata and pyvorl's own keys (a DataFrame's index), shown together."""
    return {**table.metadata, **table.schema.table}


def field_metadata(table: Table, name: str) -> dict[str, Any]:
    """The column's metadata and pyvorl's own keys (zones, categories), shown together."""
    return {**table.field_metadata.get(name, {}), **table.schema.fields.get(name, {})}


def datetime_texts(array: NDArray[Any], zoned: bool) -> list[str]:
    """ISO datetimes: instants of a zoned column with a Z, naive ones as they are."""
    return [str(text) for text in np.datetime_as_string(array, timezone="UTC" if zoned else "naive")]


def plain_values(array: NDArray[Any], zoned: bool) -> list[Any]:
    """Values JSON and CSV can hold: ISO datetimes (with Z when zoned), counts
    for durations in the dtype's unit, hex for bytes, text for NaN and infinities."""
    if array.dtype.kind == "M":
        return datetime_texts(array, zoned)
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
            line += f"  {self._first_values(array, zone(table, name) is not None)}"
            if keys := field_metadata(table, name):
                line += f"  {keys!r}"
            lines.append(line)
        print("\n".join(lines), file=self._out)

    def finish(self, frames: int, end: int, size: int) -> None:
        shown = f"{size} bytes" if end == size else f"the first {end} of {size} bytes"
        print(f"{frames} frames, {shown}", file=self._out)

    def _first_values(self, array: NDArray[Any], zoned: bool) -> str:
        first = array[: self._head]
        values: list[str]
        if array.dtype.kind == "M":
            values = datetime_texts(first, zoned)
        else:
            # Texts are quoted so that empty and padded ones stay visible.
            values = [repr(value) if array.dtype == object else printable(str(value)) for value in first]
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
                "values": plain_values(array[: self._head], zone(table, name) is not None),
            }
            for name, array in table.items()
        ]
        record = {"frame": index, "offset": offset, "size": size, "table": table.name, "object": table.obj}
        record |= {"rows": table.num_rows, "metadata": table_metadata(table), "columns": columns}
        print(json_line(record), file=self._out)

    def finish(self, frames: int, end: int, size: int) -> None:
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
        columns = [plain_values(array[: self._head], zone(table, name) is not None) for name, array in table.items()]
        self._writer.writerows([index, row, *values] for row, values in enumerate(zip(*columns)))

    def finish(self, frames: int, end: int, size: int) -> None:
        pass


class FrameWriter(Protocol):
    def __init__(self, out: TextIO, head: int | None) -> None: ...
    def frame(self, index: int, offset: int, size: int, table: Table) -> None: ...
    def finish(self, frames: int, end: int, size: int) -> None: ...


FORMATS: dict[str, type[FrameWriter]] = {"text": TextWriter, "json": JsonWriter, "csv": CsvWriter}
