"""Frames over blocking binary streams: files, pipes and sockets."""

from __future__ import annotations

import errno
import os
from collections.abc import Buffer, Iterator, Mapping
from typing import IO, TYPE_CHECKING, Any, Protocol

from pyvorl._framing import (
    DEFAULT_MAX_FRAME_SIZE,
    HEADER_SIZE,
    decode,
    frame_length,
    require_methods,
    truncated,
    validate_max_frame_size,
)
from pyvorl._framing import (
    RESERVE_LIMIT as _RESERVE_LIMIT,
)
from pyvorl._remote import open_stream

if TYPE_CHECKING:
    from pyvorl import Table


class BinaryReader(Protocol):
    """A binary stream. One with `readinto` (every io stream) is read without
    an extra copy; otherwise `read` is used."""

    def read(self, size: int, /) -> bytes | None: ...


class BinaryWriter(Protocol):
    def write(self, data: Buffer, /) -> int | None: ...


def write_frame(stream: BinaryWriter, table: Any, **options: Any) -> int:
    """Pack `table` as one frame (`pyvorl.dumps(table, **options)`) and write
    all of it to `stream`. Any binary file object will do, fsspec's among
    them: `with fsspec.open("s3://bucket/key", "wb") as file: write_frame(file, table)`.

    Short writes of raw streams are repeated until every byte is written; a
    buffered stream may hold the bytes until it is flushed. Returns the number
    of bytes written, the frame's whole length.
    """
    from pyvorl import dumps

    require_methods(stream, "stream", "write")
    frame = dumps(table, **options)
    _write_all(stream, frame)
    return len(frame)


def read_frames(
    stream: BinaryReader | str | os.PathLike[str],
    *,
    max_frame_size: int = DEFAULT_MAX_FRAME_SIZE,
    storage_options: Mapping[str, Any] | None = None,
    **options: Any,
) -> Iterator[Table]:
    """Iterate over the frames of a binary stream, one `Table` per frame
    (`pyvorl.loads(frame, **options)`), until the stream ends on a frame
    boundary.

    `stream` may also be a path, or a URL that fsspec opens (with
    `storage_options` for its filesystem, as in pandas), read from start to
    end and closed when the iteration ends.

    Raises EOFError when the stream ends inside a frame, and FrameError (a
    ValueError) for a damaged frame or one whose body is above
    `max_frame_size` bytes; both messages begin with the frame's offset.
    """
    validate_max_frame_size(max_frame_size)
    if isinstance(stream, (str, os.PathLike)):
        return _read_file(open_stream(stream, "r", storage_options), max_frame_size, options)
    if storage_options is not None:
        raise ValueError("storage_options are for a URL that fsspec opens, not a stream")
    require_methods(stream, "stream", "readinto", "read")
    return (decode(frame, offset, options) for offset, frame in scan_frames(stream, max_frame_size))


def _read_file(file: IO[bytes], max_frame_size: int, options: dict[str, Any]) -> Iterator[Table]:
    with file:
        for offset, frame in scan_frames(file, max_frame_size):
            yield decode(frame, offset, options)


def scan_frames(stream: BinaryReader, max_frame_size: int) -> Iterator[tuple[int, bytearray]]:
    """The offset and the bytes (header and body) of every whole frame of a stream."""
    offset = 0
    while True:
        header = bytearray(HEADER_SIZE)
        got = _fill(stream, memoryview(header))
        if got == 0:
            return
        if got < HEADER_SIZE:
            raise truncated(offset, got, None)
        frame = _read_body(stream, header, offset, frame_length(header, offset, max_frame_size))
        yield offset, frame
        offset += len(frame)


def _read_body(stream: BinaryReader, frame: bytearray, offset: int, length: int) -> bytearray:
    """Read the body into `frame` after its header, up to the frame's whole `length`: one buffer,
    which `loads` reads in place."""
    frame += bytes(min(length - HEADER_SIZE, _RESERVE_LIMIT))
    filled = HEADER_SIZE
    while True:
        with memoryview(frame) as view:
            filled += _fill(stream, view[filled:])
        if filled < len(frame):
            raise truncated(offset, filled, length)
        if filled == length:
            return frame
        # Doubling keeps the copies of a large body linear in its size.
        frame += bytes(min(len(frame), length - len(frame)))


def _fill(stream: BinaryReader, view: memoryview) -> int:
    """Read into `view` until it is full or the stream ends; the count read."""
    readinto = getattr(stream, "readinto", None)
    filled = 0
    while filled < len(view):
        count: int | None
        if readinto is not None:
            count = readinto(view[filled:])
        else:
            chunk = stream.read(len(view) - filled)
            count = None
            if chunk is not None:
                count = len(chunk)
                view[filled : filled + count] = chunk
        if count is None:
            raise BlockingIOError(
                errno.EAGAIN, "the stream has no data yet: read_frames needs a blocking stream, FrameDecoder does not"
            )
        if count == 0:
            break
        filled += count
    return filled


def _write_all(stream: BinaryWriter, data: bytes) -> None:
    view = memoryview(data)
    written = 0
    while written < len(view):
        count = stream.write(view[written:])
        if count is None:
            raise BlockingIOError(errno.EAGAIN, "the stream would block: write_frame needs a blocking stream", written)
        if count <= 0:
            raise OSError(errno.EIO, f"the stream accepted no bytes after {written} of {len(view)}")
        written += count
