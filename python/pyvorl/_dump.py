"""`pyvorl dump`: the frames of a file as text, JSON lines or CSV, to see what a stream holds."""

from __future__ import annotations

import contextlib
import mmap
import sys
import zlib
from collections.abc import Generator
from typing import TYPE_CHECKING, Any, TextIO

from pyvorl._dump_format import FORMATS
from pyvorl._framing import HEADER_SIZE, FrameError, decode, frame_end

if TYPE_CHECKING:
    from pyvorl import Table

_MAGIC_VERSION = b"\x7c\x4d\x01\x00"


def run_dump(path: str, head: int | None, form: str, resync: bool, out: TextIO, err: TextIO) -> int:
    """Print every frame of `path` ("-" for standard input). A damaged or
    truncated frame prints one line on `err` and ends the listing, or with
    `resync` is skipped up to the next frame whose header and CRC check; the
    exit code is 1 whenever a frame was bad."""
    if path == "-":
        return _dump(sys.stdin.buffer.read(), path, head, form, resync, out, err)
    try:
        with open(path, "rb") as file:
            # A map costs no memory for a large file; an empty file cannot be mapped.
            data: Any = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) if file.seek(0, 2) else b""
    except OSError as error:
        print(f"pyvorl dump: {error}", file=err)
        return 1
    try:
        return _dump(data, path, head, form, resync, out, err)
    finally:
        if isinstance(data, mmap.mmap):
            data.close()


def _dump(data: Any, path: str, head: int | None, form: str, resync: bool, out: TextIO, err: TextIO) -> int:
    writer = FORMATS[form](out, head)
    frames = failures = 0
    # Closed on every way out, so that the map is no longer exported when it is closed.
    with contextlib.closing(_walk(data, resync)) as walk:
        for offset, end, item in walk:
            if isinstance(item, Exception):
                failures += 1
                out.flush()
                print(f"pyvorl dump: {path}: {item}", file=err)
                if end is None:
                    return 1
                ending = "the end" if end == len(data) else f"the next valid frame at offset {end}"
                print(f"pyvorl dump: {path}: skipped {end - offset} bytes from offset {offset} to {ending}", file=err)
                continue
            assert end is not None
            writer.frame(frames, offset, end - offset, item)
            frames += 1
    writer.finish(frames, len(data))
    return 1 if failures else 0


def _walk(data: Any, resync: bool) -> Generator[tuple[int, int | None, Table | Exception]]:
    """(offset, end, table) per frame; (offset, resume offset or None, error) per bad one."""
    with memoryview(data) as view:
        offset = 0
        while offset < len(view):
            try:
                end = frame_end(view, offset)
                table = decode(view[offset:end], offset, {})
            except (FrameError, EOFError) as error:
                resume = _next_frame(data, view, offset + 1) if resync else None
                yield offset, resume, error
                if resume is None:
                    return
                offset = resume
                continue
            except MemoryError as error:
                yield offset, None, MemoryError(f"frame at offset {offset}: {str(error) or 'out of memory'}")
                return
            yield offset, end, table
            offset = end


def _next_frame(data: Any, view: memoryview, start: int) -> int:
    """The offset of the next header whose frame fits the file and whose CRC
    checks, or the end of the data when there is none."""
    position: int = data.find(_MAGIC_VERSION, start)
    while position >= 0:
        try:
            end = frame_end(view, position)
        except (FrameError, EOFError):
            end = None
        if end is not None and end - position >= HEADER_SIZE + 4:
            checksum = int.from_bytes(view[end - 4 : end], "little")
            if zlib.crc32(view[position + HEADER_SIZE : end - 4]) == checksum:
                return position
        position = data.find(_MAGIC_VERSION, position + 1)
    return len(view)
