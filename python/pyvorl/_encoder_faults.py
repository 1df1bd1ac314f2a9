"""Where a refusal of the encoder comes from. The encoder stops at the first element it cannot
take, with a bare TypeError or UnicodeEncodeError; these find that element again, in Python and
only after a failure, so that dumps can name its column and row."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

# (column name, kind, data, decimal places, field metadata entries), as dumps hands them to the encoder
EncoderColumn = tuple[str, str, Any, int | None, list[tuple[str, int, Any]] | None]
# The table metadata keys that carry the arguments obj and name.
ARGUMENTS = {"obj": "obj", "table": "name"}


def raise_misplaced_element(columns: list[EncoderColumn]) -> None:
    """After the encoder refused an element of a text or bytes column: which one, and why."""
    for name, kind, data, _, _ in columns:
        if kind == "a":
            continue
        wanted = bytes if kind == "b" else str
        for row, item in enumerate(data):
            if item is None:
                raise ValueError(f"column {name!r} row {row}: None in a text column")
            if not isinstance(item, wanted):
                holds = f"a column of {wanted.__name__}" if isinstance(item, (str, bytes)) else "a text column"
                raise ValueError(f"column {name!r} row {row}: {type(item).__name__} object in {holds}")


def raise_unencodable_text(columns: list[EncoderColumn], table_entries: list[tuple[str, int, Any]]) -> None:
    """After the encoder met a str that UTF-8 cannot hold (one with a lone surrogate): which one."""
    for where, text in texts(columns, table_entries):
        try:
            text.encode()
        except UnicodeEncodeError as error:
            raise ValueError(f"{where}: {text!r} cannot be encoded as UTF-8 ({error.reason})") from None


def texts(columns: list[EncoderColumn], table_entries: list[tuple[str, int, Any]]) -> Iterator[tuple[str, str]]:
    """Every str that dumps gives the encoder, with where it came from."""
    for key, _, value in table_entries:
        yield "metadata key", key
        if isinstance(value, str):
            yield ARGUMENTS.get(key, f"metadata {key!r}"), value
    for name, kind, data, _, entries in columns:
        yield "column name", name
        yield from entry_texts(entries or (), f"field metadata of column {name!r}")
        if kind == "t":
            yield from ((f"column {name!r} row {row}", item) for row, item in enumerate(data) if isinstance(item, str))


def entry_texts(entries: Iterable[tuple[str, int, Any]], where: str) -> Iterator[tuple[str, str]]:
    for key, _, value in entries:
        yield f"{where} key", key
        if isinstance(value, str):
            yield f"{where} {key!r}", value
