"""Frames over blocking binary streams: files, pipes and sockets."""

from __future__ import annotations

import errno
from collections.abc import Buffer, Iterator, Mapping, Sequence
from typing import Protocol

from pyvorl._framing import (
    DEFAULT_MAX_FRAME_SIZE,
    HEADER_SIZE,
    Column,
    ParsedFrame,
    body_length,
    parse_body,
    truncated,
    validate_max_frame_size,
)
from pyvorl._vorl import pack_table_frame

# A header may announce up to 4 GiB that never arrive; beyond this size the
# body buffer grows with the bytes that do arrive instead of being reserved.
_RESERVE_LIMIT = 16 << 20


class BinaryReader(Protocol):
    """A binary stream. One with `readinto` (every io stream) is read without
    an extra copy; otherwise `read` is used."""

    def read(self, size: int, /) -> bytes | None: ...


class BinaryWriter(Protocol):
    def write(self, data: Buffer, /) -> int | None: ...


def write_frame(
    stream: BinaryWriter,
    obj: str,
    columns: Sequence[Column],
    decimal_fields: Mapping[str, int] | None = None,
) -> int:
    """Pack one frame (see `pack_table_frame`) and write all of it to `stream`.

    Short writes of raw streams are repeated until every byte is written; a
    buffered stream may hold the bytes until it is flushed. Returns the number
    of bytes written, the frame's whole length.
    """
    if not isinstance(columns, list):
        columns = list(columns)
    if decimal_fields is not None and not isinstance(decimal_fields, dict):
        decimal_fields = dict(decimal_fields)
    frame = pack_table_frame(obj, columns, decimal_fields)
    _write_all(stream, frame)
    return len(frame)


def read_frames(stream: BinaryReader, *, max_frame_size: int = DEFAULT_MAX_FRAME_SIZE) -> Iterator[ParsedFrame]:
    """Iterate over the frames of a binary stream, one (table name, object
    name, columns) tuple per frame, until the stream ends on a frame boundary.

    Raises EOFError when the stream ends inside a frame, and FrameError (a
    ValueError) for a damaged frame or one whose body is above
    `max_frame_size` bytes; both messages begin with the frame's offset.
    """
    validate_max_frame_size(max_frame_size)
    return (frame for _, _, frame in scan_frames(stream, max_frame_size))


def scan_frames(stream: BinaryReader, max_frame_size: int) -> Iterator[tuple[int, int, ParsedFrame]]:
    """Like `read_frames`, with each frame's offset and whole length."""
    offset = 0
    header = bytearray(HEADER_SIZE)
    while True:
        got = _fill(stream, memoryview(header))
        if got == 0:
            return
        if got < HEADER_SIZE:
            raise truncated(offset, got, None)
        length = body_length(bytes(header), offset, max_frame_size)
        frame = parse_body(_read_body(stream, offset, length), offset)
        yield offset, HEADER_SIZE + length, frame
        offset += HEADER_SIZE + length


def _read_body(stream: BinaryReader, offset: int, length: int) -> bytes:
    body = bytearray(min(length, _RESERVE_LIMIT))
    filled = 0
    while True:
        filled += _fill(stream, memoryview(body)[filled:])
        if filled < len(body):
            raise truncated(offset, HEADER_SIZE + filled, length)
        if filled == length:
            return bytes(body)
        # Doubling keeps the copies of a large body linear in its size.
        body += bytes(min(len(body), length - len(body)))


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
