"""Pieces of a file of frames: positioned reads by default, a memory map on request,
and the walk over the headers that finds where the frames end."""

from __future__ import annotations

import mmap
import os
import threading
from collections.abc import Buffer, Iterator
from typing import BinaryIO, Protocol

from pyvorl._framing import HEADER_SIZE, MAX_FRAME_SIZE_LIMIT, frame_length, truncated

# Headers are looked up through blocks of this size: one read serves every
# small frame in it, and a large frame costs one read for its header.
HEADER_BLOCK = 1 << 16


class Reader(Protocol):
    def size(self) -> int:
        """The length of the file as it is now."""

    def read(self, offset: int, length: int) -> Buffer:
        """Up to `length` bytes at `offset`, fewer only where the file ends."""

    def close(self) -> None: ...


class PositionedReader:
    """Reads with os.pread, each piece into a fresh `bytes` that `loads` reads in place.

    Every read asks the file as it is now, so a file that another process
    truncates gives a short read where a memory map would kill the process.
    """

    def __init__(self, file: BinaryIO) -> None:
        self._file = file
        # Only where seek and read stand in for pread (Windows) do two threads
        # reading one file need to take turns.
        self._turns = threading.Lock()

    def size(self) -> int:
        return os.fstat(self._file.fileno()).st_size

    def read(self, offset: int, length: int) -> bytes:
        descriptor = self._file.fileno()  # ValueError once closed
        if not hasattr(os, "pread"):
            with self._turns:
                self._file.seek(offset)
                return self._file.read(length)
        data = os.pread(descriptor, length, offset)
        if len(data) == length or not data:
            return data
        # Linux stops one read short of 2 GiB, so a larger frame comes in pieces.
        pieces = [data]
        have = len(data)
        while have < length and (piece := os.pread(descriptor, length - have, offset + have)):
            pieces.append(piece)
            have += len(piece)
        return b"".join(pieces)

    def close(self) -> None:
        self._file.close()


class MappedReader:
    """Reads in place out of a memory map of the file, with no copy.

    The hazard of a map: when another process truncates the file, touching a
    page that is gone kills this process with SIGBUS. The map follows the
    file's size when `size` is asked, which narrows that window but cannot close it.
    """

    def __init__(self, file: BinaryIO) -> None:
        self._file = file
        self._map: mmap.mmap | None = None
        self._view = memoryview(b"")
        self.size()

    def size(self) -> int:
        size = os.fstat(self._file.fileno()).st_size
        if size != len(self._view):
            self._unmap()
            # An empty file cannot be mapped; it simply holds no bytes.
            if size:
                self._map = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ)
                self._view = memoryview(self._map)
        return len(self._view)

    def read(self, offset: int, length: int) -> memoryview:
        return self._view[offset : offset + length]

    def close(self) -> None:
        self._unmap()
        self._view = memoryview(b"")
        self._view.release()  # later reads raise ValueError
        self._file.close()

    def _unmap(self) -> None:
        self._view.release()
        if self._map is not None:
            try:
                self._map.close()
            except BufferError:
                pass  # a caller's table still reads from it; the map goes with the last view
            self._map = None


class BytesReader:
    """Reads out of bytes held in memory (standard input, read whole)."""

    def __init__(self, data: bytes) -> None:
        self._view = memoryview(data)

    def size(self) -> int:
        return len(self._view)

    def read(self, offset: int, length: int) -> memoryview:
        return self._view[offset : offset + length]

    def close(self) -> None:
        pass


def open_reader(path: str | os.PathLike[str], mapped: bool) -> PositionedReader | MappedReader:
    file = open(path, "rb")
    try:
        return MappedReader(file) if mapped else PositionedReader(file)
    except BaseException:
        file.close()
        raise


def read_frame(reader: Reader, offset: int, length: int) -> Buffer:
    """The `length` bytes of the frame at `offset`, or EOFError when the file no longer holds them."""
    data = reader.read(offset, length)
    have = memoryview(data).nbytes
    if have < length:
        raise EOFError(
            f"frame at offset {offset}: the file shrank to {reader.size()} bytes while open, "
            f"and {length - have} of the frame's {length} bytes are gone"
        )
    return data


def frame_ends(reader: Reader, offset: int, size: int, lone_headers: bool = False) -> Iterator[int]:
    """The end of each whole frame from `offset` up to `size`; then EOFError
    when `size` falls inside a frame, or FrameError for bytes that are not a
    frame header. The file is the user's own and bounds a frame, so no
    announced size is refused up front.

    With `lone_headers` (a remote file, where each read is a round trip and
    every byte is fetched), the header after a frame of a block or more is
    read alone; after a smaller frame a block still brings the next headers."""
    block_start, block = offset, memoryview(b"")
    wide = not lone_headers
    while offset < size:
        if offset + HEADER_SIZE > block_start + len(block):
            block_start = offset
            want = HEADER_BLOCK if wide else HEADER_SIZE
            block = memoryview(reader.read(offset, min(want, size - offset))).cast("B")
        start = offset - block_start
        if len(block) - start < HEADER_SIZE:
            raise truncated(offset, len(block) - start, None)
        length = frame_length(block[start:], offset, MAX_FRAME_SIZE_LIMIT)
        if offset + length > size:
            raise truncated(offset, size - offset, length)
        offset += length
        wide = not lone_headers or length < HEADER_BLOCK
        yield offset
