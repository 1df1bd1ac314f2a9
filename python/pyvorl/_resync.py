"""Finding the next good frame after a damaged one (`pyvorl dump --resync`),
reading every byte once however the candidate frames overlap."""

from __future__ import annotations

import heapq
import zlib
from collections import deque

import numpy as np
from numpy.typing import NDArray

from pyvorl._codec import FRAME_HEADER_PREFIX, frame_length
from pyvorl._crc_ranges import range_crcs
from pyvorl._file_reading import Reader
from pyvorl._framing import HEADER_SIZE, MAX_FRAME_SIZE_LIMIT

HEADER_PREFIX = np.frombuffer(FRAME_HEADER_PREFIX, np.uint8)
CRC_SIZE = 4
CHUNK = 1 << 20
UNKNOWN, BAD, GOOD = -1, 0, 1


class _Batch:
    """The candidate frames whose headers start in one chunk, in the order of their starts."""

    def __init__(self, starts: NDArray[np.int64], ends: NDArray[np.int64]) -> None:
        self.starts = starts
        self.checked_to = ends - CRC_SIZE  # the CRC covers the bytes from the header's end to here
        self.lengths = self.checked_to - (starts + HEADER_SIZE)
        self.crc_before = np.zeros(len(starts), np.uint64)  # the running CRC where those bytes begin
        self.verdicts = np.full(len(starts), UNKNOWN, np.int8)
        self.by_end = np.argsort(self.checked_to, kind="stable")
        self.resolved = 0  # the candidates by_end[:resolved] have their verdict


class FrameResync:
    """`next_frame(start)`: the offset of the first header at or after
    `start` whose frame fits the file and whose CRC checks, or the file's size.

    Checking each candidate on its own reads its whole body, and a file of
    headers whose bodies all reach its end would be read once per header.
    Instead one running CRC walks forward over the bytes once: each candidate
    takes its value where its checked bytes begin and where they end, and the
    two give its CRC. Calls come with rising `start`, as a walk asks them.
    """

    def __init__(self, reader: Reader, size: int) -> None:
        self._reader, self._size = reader, size
        self._at = -1  # the running CRC covers the bytes up to here
        self._crc = 0
        self._batches: deque[_Batch] = deque()  # by start, from the first start still asked for
        # Batches with candidates whose checked bytes end beyond the running CRC, by the first such end.
        self._waiting: list[tuple[int, int, _Batch]] = []
        self._count = 0

    def next_frame(self, start: int) -> int:
        if start > self._at:  # nothing read so far reaches it: walk on from there
            self._at, self._crc = start, 0
            self._batches.clear()
            self._waiting.clear()
        while True:
            while self._batches:
                batch = self._batches[0]
                first = int(np.searchsorted(batch.starts, start))
                undecided_or_good = np.flatnonzero(batch.verdicts[first:] != BAD)
                if len(undecided_or_good) == 0:
                    self._batches.popleft()
                    continue
                candidate = first + int(undecided_or_good[0])
                if batch.verdicts[candidate] == GOOD:
                    return int(batch.starts[candidate])
                break  # undecided: read on
            else:
                if self._at >= self._size:
                    return self._size
            self._read_chunk()

    def _read_chunk(self) -> None:
        at = self._at
        length = min(CHUNK, self._size - at)
        # A header that starts in the chunk ends in the 7 bytes after it, and so
        # does the stored CRC of a frame whose checked bytes end in it.
        data = np.frombuffer(bytes(self._reader.read(at, length + HEADER_SIZE - 1)), np.uint8)
        if len(data) < min(length + HEADER_SIZE - 1, self._size - at):
            raise EOFError(f"the file shrank to {self._reader.size()} bytes while open")
        new = self._find_headers(data, at, length)
        ending = self._ending_before(at + length)
        marks: list[NDArray[np.int64]] = [
            np.array([at + length]),
            *(batch.checked_to[taken] for batch, taken in ending),
        ]
        if new is not None:
            marks.append(new.starts + HEADER_SIZE)
        positions: NDArray[np.int64] = np.unique(np.concatenate(marks))
        crcs = self._running_crcs(data, at, positions)
        self._crc, self._at = int(crcs[np.searchsorted(positions, at + length)]), at + length
        if new is not None:
            new.crc_before = crcs[np.searchsorted(positions, new.starts + HEADER_SIZE)]
        for batch, taken in ending:
            ends = batch.checked_to[taken]
            stored = _little_endian_words(data, ends - at)
            after = crcs[np.searchsorted(positions, ends)]
            good = range_crcs(batch.crc_before[taken], after, batch.lengths[taken]) == stored
            batch.verdicts[taken] = np.where(good, GOOD, BAD)

    def _find_headers(self, data: NDArray[np.uint8], at: int, length: int) -> _Batch | None:
        """The headers that start in the chunk and announce a frame that fits the file."""
        count = min(length, len(data) - (HEADER_SIZE - 1))
        if count <= 0:
            return None
        # Only the bytes every header starts with are searched for here; what a
        # header announces is read where each match starts, and cannot be refused:
        # each match starts a whole header, and no body exceeds the limit.
        matches = np.ones(count, bool)
        for index, byte in enumerate(HEADER_PREFIX):
            matches &= data[index : index + count] == byte
        local = np.flatnonzero(matches)
        view = memoryview(data)
        lengths = [frame_length(view[start:], MAX_FRAME_SIZE_LIMIT) for start in local.tolist()]
        ends = at + local + np.array(lengths, np.int64)
        fits = (ends - (at + local) >= HEADER_SIZE + CRC_SIZE) & (ends <= self._size)
        if not fits.any():
            return None
        batch = _Batch((at + local[fits]).astype(np.int64), ends[fits])
        self._batches.append(batch)
        self._wait(batch)
        return batch

    def _ending_before(self, limit: int) -> list[tuple[_Batch, NDArray[np.intp]]]:
        """Per batch, the candidates whose checked bytes end before `limit`, not yet decided."""
        ending = []
        while self._waiting and self._waiting[0][0] < limit:
            _, _, batch = heapq.heappop(self._waiting)
            ends = batch.checked_to[batch.by_end]
            stop = int(np.searchsorted(ends, limit))
            ending.append((batch, batch.by_end[batch.resolved : stop]))
            batch.resolved = stop
            self._wait(batch)
        return ending

    def _wait(self, batch: _Batch) -> None:
        if batch.resolved < len(batch.by_end):
            self._count += 1
            heapq.heappush(self._waiting, (int(batch.checked_to[batch.by_end[batch.resolved]]), self._count, batch))

    def _running_crcs(self, data: NDArray[np.uint8], at: int, positions: NDArray[np.int64]) -> NDArray[np.uint64]:
        """The running CRC at each of the rising `positions` (at most 7 bytes past the chunk)."""
        view = memoryview(data)
        crcs = np.empty(len(positions), np.uint64)
        crc, done = self._crc, 0
        for index, position in enumerate((positions - at).tolist()):
            crc = zlib.crc32(view[done:position], crc)
            crcs[index], done = crc, position
        return crcs


def _little_endian_words(data: NDArray[np.uint8], offsets: NDArray[np.int64]) -> NDArray[np.uint64]:
    """The 32-bit little-endian words at `offsets` of `data`."""
    words = np.zeros(len(offsets), np.uint64)
    for index in range(4):
        words |= data[offsets + index].astype(np.uint64) << np.uint64(8 * index)
    return words
