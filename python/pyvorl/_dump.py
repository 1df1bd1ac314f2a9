"""`pyvorl dump`: one block per frame of a file, to see what a stream holds."""

from __future__ import annotations

import sys
from typing import Any, TextIO

from numpy.typing import NDArray

from pyvorl._framing import MAX_FRAME_SIZE_LIMIT, ParsedFrame
from pyvorl._stream import BinaryReader, scan_frames


def run_dump(path: str, head: int, out: TextIO, err: TextIO) -> int:
    """Print every frame of `path` ("-" for standard input). A damaged or
    truncated frame ends the listing with one line on `err` and exit code 1."""
    if path == "-":
        return _dump_stream(sys.stdin.buffer, path, head, out, err)
    try:
        stream = open(path, "rb")
    except OSError as error:
        print(f"pyvorl dump: {error}", file=err)
        return 1
    with stream:
        return _dump_stream(stream, path, head, out, err)


def _dump_stream(stream: BinaryReader, path: str, head: int, out: TextIO, err: TextIO) -> int:
    frames = 0
    end = 0
    try:
        # The file is the user's own, so no size is refused; a truncated file
        # costs only the bytes it holds.
        for index, (offset, size, frame) in enumerate(scan_frames(stream, MAX_FRAME_SIZE_LIMIT)):
            print(format_frame(index, offset, size, frame, head), file=out)
            frames, end = index + 1, offset + size
    except BrokenPipeError:
        raise
    except (ValueError, EOFError, OSError) as error:
        out.flush()
        print(f"pyvorl dump: {path}: {error}", file=err)
        return 1
    except MemoryError as error:
        out.flush()
        print(f"pyvorl dump: {path}: frame at offset {end}: {str(error) or 'out of memory'}", file=err)
        return 1
    print(f"{frames} frames, {end} bytes", file=out)
    return 0


def format_frame(index: int, offset: int, size: int, frame: ParsedFrame, head: int) -> str:
    table, obj, columns = frame
    rows = len(columns[0][1]) if columns else 0
    lines = [f"frame {index} at offset {offset}, {size} bytes: table {table!r}, object {obj!r}, {rows} rows"]
    # Names are the sender's text: quoted and escaped, so that none can move
    # the cursor, retitle the terminal or pass for another line of the listing.
    names = [repr(name) for name, _ in columns]
    name_width = max(map(len, names), default=0)
    type_width = max((len(str(array.dtype)) for _, array in columns), default=0)
    for name, (_, array) in zip(names, columns):
        lines.append(
            f"  {name:<{name_width}}  {str(array.dtype):<{type_width}}  {len(array):>{len(str(rows))}}"
            f"  {_first_values(array, head)}"
        )
    return "\n".join(lines)


def _first_values(array: NDArray[Any], head: int) -> str:
    # Texts are quoted so that empty and padded ones stay visible.
    show = repr if array.dtype == object else str
    values = [show(value) for value in array[:head]]
    if len(array) > head:
        values.append("...")
    return "[" + ", ".join(values) + "]"
