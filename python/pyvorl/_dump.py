"""`pyvorl dump`: the frames of a file as text, JSON lines or CSV, to see what a stream holds."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, TextIO

from pyvorl._dump_format import FORMATS, printable
from pyvorl._file_reading import BytesReader, Reader, frame_ends, open_reader, read_frame
from pyvorl._framing import FrameError, decode
from pyvorl._resync import FrameResync

if TYPE_CHECKING:
    from pyvorl import Table


def run_dump(path: str, head: int | None, limit: int | None, form: str, resync: bool, out: TextIO, err: TextIO) -> int:
    """Print the frames of `path` ("-" for standard input), the first `limit`
    of them when it is given. A damaged or truncated frame prints one line
    on `err` and ends the listing, or with `resync` is skipped up to the next
    frame whose header and CRC check; the exit code is 1 whenever a frame was bad.

    Frames are read with positioned reads, so a file that another process
    truncates meanwhile ends the listing with an error line, as a damaged frame does."""
    shown = printable(path)
    reader: Reader
    try:
        reader = BytesReader(sys.stdin.buffer.read()) if path == "-" else open_reader(path, mapped=False)
    except OSError as error:
        print(f"pyvorl dump: {printable(str(error))}", file=err)
        return 1
    try:
        return _dump(reader, shown, head, limit, form, resync, out, err)
    finally:
        reader.close()


def _dump(
    reader: Reader, path: str, head: int | None, limit: int | None, form: str, resync: bool, out: TextIO, err: TextIO
) -> int:
    writer = FORMATS[form](out, head)
    size = reader.size()
    frames = failures = end = 0
    for offset, resume, item in _walk(reader, size, resync):
        if isinstance(item, BaseException):
            failures += 1
            out.flush()
            # Error texts quote the sender's bytes (a dtype, a name): escaped, like the listing.
            print(f"pyvorl dump: {path}: {printable(str(item))}", file=err)
            if resume is None:
                return 1
            ending = "the end" if resume == size else f"the next valid frame at offset {resume}"
            print(f"pyvorl dump: {path}: skipped {resume - offset} bytes from offset {offset} to {ending}", file=err)
            continue
        assert resume is not None
        writer.frame(frames, offset, resume - offset, item)
        frames, end = frames + 1, resume
        if frames == limit:  # the rest of the file is not read
            break
    else:
        end = size
    writer.finish(frames, end, size)
    return 1 if failures else 0


def _walk(reader: Reader, size: int, resync: bool) -> Iterator[tuple[int, int | None, Table | BaseException]]:
    """(offset, end, table) per frame; (offset, resume offset or None, error) per bad one."""
    resyncing = FrameResync(reader, size) if resync else None
    offset = 0
    ends = frame_ends(reader, offset, size)
    while offset < size:
        try:
            end = next(ends)
            table = decode(read_frame(reader, offset, end - offset), offset, {})
        except (FrameError, EOFError) as error:
            try:
                resume = None if resyncing is None else resyncing.next_frame(offset + 1)
            except EOFError as shrunk:
                resume, error = None, EOFError(f"{error}, and the search for the next frame stopped: {shrunk}")
            yield offset, resume, error
            if resume is None:
                return
            offset = resume
            ends = frame_ends(reader, offset, size)
            continue
        except MemoryError as error:
            yield offset, None, MemoryError(f"frame at offset {offset}: {str(error) or 'out of memory'}")
            return
        yield offset, end, table
        offset = end
