"""Random access to the frames of a file, read with positioned reads (or out of a memory map)."""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal

from pyvorl._file_reading import frame_ends, read_frame
from pyvorl._framing import decode
from pyvorl._remote import RangedReader, open_file_reader

if TYPE_CHECKING:
    from pyvorl import Table

PARTIAL_TAILS = ("error", "ignore")


class FrameFile:
    """The frames of a file: `len()`, `file[k]` (negative k counts from the
    end) and iteration give `Table`s (`pyvorl.loads(frame, **options)`);
    `file.read(k, columns=[...])` decodes only some columns of frame k.

    Opening walks the headers once to index the frame offsets and refuses a
    file that holds something that is not a frame header (FrameError), naming
    the offset. A file that ends inside a frame is refused too (EOFError),
    unless `partial_tail="ignore"`: then the complete frames are indexed and
    `tail_bytes` counts the bytes after them, and `refresh()` indexes the
    frames a writer has appended since.

    A frame's body is checked and decoded when it is asked for, read with one
    positioned read into a buffer of its own, so a file that another process
    truncates meanwhile costs an EOFError naming the frame's offset, nothing
    more. With `mmap=True` frames are decoded in place out of a memory map
    instead, with no copy; but then a file that shrinks while it is open
    kills the process (SIGBUS) at the next read of a lost page, so map only
    files that nothing truncates. The arrays of a decoded table own their
    buffers, so they outlive `close()`.

    `path` may also be a URL that fsspec opens ("s3://bucket/key",
    "http://host/file", "memory://name"; a file:// URL is read as the local
    file), with `storage_options` for its filesystem, as in pandas. Such a
    file is indexed with ranged reads of its headers and each frame is
    fetched with one ranged read; a memory map needs a local file.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        partial_tail: Literal["error", "ignore"] = "error",
        mmap: bool = False,
        storage_options: Mapping[str, Any] | None = None,
        **options: Any,
    ) -> None:
        if partial_tail not in PARTIAL_TAILS:
            raise ValueError(f"partial_tail must be 'error' or 'ignore', not {partial_tail!r}")
        self._partial_tail = partial_tail
        self._options = options
        self._reader = open_file_reader(path, mmap, storage_options)
        self._lone_headers = isinstance(self._reader, RangedReader)
        self._offsets = [0]
        self._size = 0
        try:
            self.refresh()
        except BaseException:
            self._reader.close()
            raise

    @property
    def offsets(self) -> list[int]:
        """The file offset of every frame, and the end of the last one."""
        return list(self._offsets)

    @property
    def tail_bytes(self) -> int:
        """The bytes after the last whole frame when the file was last indexed: a frame still being written."""
        return self._size - self._offsets[-1]

    def refresh(self) -> int:
        """Index the frames appended since the file was opened or last
        refreshed; the number of new frames. Raises EOFError when the file is
        now shorter than it was, and otherwise the errors of opening, leaving
        the index as it was."""
        size = self._reader.size()
        if size < self._size:
            raise EOFError(f"the file shrank from {self._size} to {size} bytes")
        ends = []
        try:
            for end in frame_ends(self._reader, self._offsets[-1], size, self._lone_headers):
                ends.append(end)
        except EOFError:
            if self._partial_tail == "error":
                raise
        self._offsets += ends
        self._size = size
        return len(ends)

    def __len__(self) -> int:
        return len(self._offsets) - 1

    def __getitem__(self, index: int) -> Table:
        return self.read(index)

    def read(self, index: int, *, columns: Sequence[str] | None = None) -> Table:
        """Frame `index` (negative counts from the end), with only `columns` decoded when given
        (`pyvorl.loads(frame, columns=...)`: a name the frame lacks raises KeyError)."""
        count = len(self)
        position = index + count if index < 0 else index
        if not 0 <= position < count:
            raise IndexError(f"frame index {index} out of range for {count} frames")
        start, end = self._offsets[position], self._offsets[position + 1]
        options = self._options if columns is None else {**self._options, "columns": columns}
        return decode(read_frame(self._reader, start, end - start), start, options)

    def __iter__(self) -> Iterator[Table]:
        return (self[index] for index in range(len(self)))

    def close(self) -> None:
        """Close the file; later access raises ValueError."""
        self._reader.close()

    def __enter__(self) -> FrameFile:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()


def open_frames(
    path: str | os.PathLike[str],
    *,
    partial_tail: Literal["error", "ignore"] = "error",
    mmap: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    **options: Any,
) -> FrameFile:
    """A `FrameFile` over the frames of the file at `path`, a local path or a URL that fsspec opens;
    see FrameFile for `partial_tail`, `mmap` and `storage_options`."""
    return FrameFile(path, partial_tail=partial_tail, mmap=mmap, storage_options=storage_options, **options)
