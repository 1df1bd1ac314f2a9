"""A table as a run of frames of at most a given size each: for transports and stores that cap a
message or an object, where one frame of a large table would not pass."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any

from pyvorl._api import as_table, dumps
from pyvorl._concat import slice_rows
from pyvorl._table import Columns, Scalar, Table, check_names

# A guess aims this much below the limit, so that rows a little longer than the average so far
# still fit the first encoding, and a frame is seldom encoded twice.
HEADROOM = 0.97
# A frame this full is taken; one less full is worth a few more encodings to fill.
FULL = 0.9


def dumps_chunks(
    table: Columns | Table | Any,
    max_bytes: int,
    *,
    obj: str = "",
    name: str = "",
    decimals: Mapping[str, int] | None = None,
    metadata: Mapping[str, Scalar] | None = None,
) -> Iterator[bytes]:
    """The frames of `table` (anything `dumps` takes, with the same options), each at most `max_bytes`
    long, header included, and each a whole table of consecutive rows with the names, metadata and
    field keys of the table. `pyvorl.concat` of their `loads` gives the table back.

    A table of no rows (or no columns) is one frame. A row whose frame alone exceeds `max_bytes` raises
    ValueError naming it; so do the table's faults, before anything is yielded.
    """
    if isinstance(max_bytes, bool) or not isinstance(max_bytes, int):
        raise TypeError(f"max_bytes must be an int, not {type(max_bytes).__name__}")
    if max_bytes <= 0:
        raise ValueError(f"max_bytes must be positive, got {max_bytes}")
    check_names(obj, name)
    whole = as_table(table, obj, name, decimals, metadata)
    frame = dumps(whole)  # the faults of the table, raised here rather than at the first next()
    if len(frame) <= max_bytes or not whole.num_rows or not len(whole):
        if len(frame) > max_bytes:
            raise ValueError(f"the table's frame needs {len(frame)} bytes, more than max_bytes {max_bytes}")
        return iter((frame,))
    return _chunks(whole, max_bytes, len(frame))


def _chunks(table: Table, max_bytes: int, whole_size: int) -> Iterator[bytes]:
    """Each frame's rows are guessed from the bytes a row took so far. A guess too large is cut by the
    ratio it overshot by, one too small grown so once; once a count that fits and one that does not are
    known, a frame still short of FULL is found by bisecting between them. So a frame costs a few
    encodings of about its own size, and the table is never encoded again and again as a whole."""
    fixed = len(dumps(slice_rows(table, 0, 0)))
    per_row = max((whole_size - fixed) / table.num_rows, 1e-9)
    start = 0
    while start < table.num_rows:
        left = table.num_rows - start
        rows = min(left, max(1, int((max_bytes - fixed) * HEADROOM / per_row)))
        fits, too_many, frame, grown = 0, 0, b"", False
        while True:
            candidate = dumps(slice_rows(table, start, start + rows))
            if len(candidate) <= max_bytes:
                fits, frame = rows, candidate
            else:
                too_many = rows
            if fits == left or (fits and len(frame) >= FULL * max_bytes) or (too_many and too_many - fits <= 1):
                break
            if too_many and fits:
                rows = (fits + too_many) // 2
            elif too_many:
                shrunk = int(rows * (max_bytes - fixed) * HEADROOM / max(len(candidate) - fixed, 1))
                rows = max(1, min(rows - 1, shrunk))
            elif grown:
                break
            else:
                grown = True
                grew = int(rows * (max_bytes - fixed) * HEADROOM / max(len(candidate) - fixed, 1))
                rows = min(left, max(rows + 1, grew))
        if not fits:
            raise ValueError(f"row {start} needs {len(candidate)} bytes in a frame, more than max_bytes {max_bytes}")
        per_row = max((len(frame) - fixed) / fits, 1e-9)
        start += fits
        yield frame
