"""Random access to the frames of a file, decoded straight out of a memory map."""

from __future__ import annotations

import mmap
import os
from collections.abc import Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any

from pyvorl._framing import decode, frame_end

if TYPE_CHECKING:
    from pyvorl import Table


class FrameFile:
    """The frames of a file: `len()`, `file[k]` (negative k counts from the
    end) and iteration give `Table`s (`pyvorl.loads(frame, **options)`).

    Opening walks the headers once to index the frame offsets and refuses a
    file that ends inside a frame (EOFError) or holds something that is not a
    frame header (FrameError), naming the offset. A frame's body is checked
    and decoded when it is asked for, in place in the mapping, never copied.
    The arrays of a decoded table own their buffers, so they outlive `close()`.
    """

    def __init__(self, path: str | os.PathLike[str], **options: Any) -> None:
        self._options = options
        with open(path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            # An empty file cannot be mapped; it simply holds no frames.
            self._map = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) if size else None
        self._view = memoryview(self._map if self._map is not None else b"")
        try:
            self._offsets = _index(self._view)
        except (ValueError, EOFError):
            self.close()
            raise

    @property
    def offsets(self) -> list[int]:
        """The file offset of every frame, and the file's length after them."""
        return list(self._offsets)

    def __len__(self) -> int:
        return len(self._offsets) - 1

    def __getitem__(self, index: int) -> Table:
        count = len(self)
        position = index + count if index < 0 else index
        if not 0 <= position < count:
            raise IndexError(f"frame index {index} out of range for {count} frames")
        start, end = self._offsets[position], self._offsets[position + 1]
        return decode(self._view[start:end], start, self._options)

    def __iter__(self) -> Iterator[Table]:
        return (self[index] for index in range(len(self)))

    def close(self) -> None:
        """Unmap the file; later access raises ValueError."""
        self._view.release()
        if self._map is not None:
            self._map.close()

    def __enter__(self) -> FrameFile:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()


def open_frames(path: str | os.PathLike[str], **options: Any) -> FrameFile:
    """A `FrameFile` over the frames of the file at `path`, memory-mapped."""
    return FrameFile(path, **options)


def _index(view: memoryview) -> list[int]:
    offsets = [0]
    while offsets[-1] < len(view):
        offsets.append(frame_end(view, offsets[-1]))
    return offsets
