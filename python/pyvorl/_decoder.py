"""Incremental frame decoding for bytes that arrive in pieces."""

from __future__ import annotations

import threading
import traceback
from collections.abc import Buffer, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from pyvorl._framing import (
    DEFAULT_MAX_FRAME_SIZE,
    HEADER_SIZE,
    FrameError,
    decode,
    frame_length,
    truncated,
    validate_max_frame_size,
)

if TYPE_CHECKING:
    from pyvorl import Table


class FrameDecoder:
    """Turns a byte stream fed in pieces of any size into frames, for
    non-blocking sockets and asyncio protocols.

    `feed(data)` returns the tables (`pyvorl.loads(frame, **options)`) of the
    frames that `data` completes and keeps a partial frame for the next call.
    Frames are decoded in place, straight out of `data` or out of the buffer
    that holds a partial frame, never copied on their own.
    A header that announces a body above `max_frame_size` bytes (at most
    4 GiB) is refused as soon as its 8 bytes are in, before any of its body is
    kept.

    Errors and states:

    - A damaged frame, a non-frame header or a refused size raises FrameError
      (a ValueError) whose message starts with "frame at offset N: "; the
      frames completed before it and not yet returned are on its `frames`.
      The decoder then drops its buffer and is unusable: every later `feed`
      raises ValueError, `close` returns quietly.
    - Any other error in the middle of a call (MemoryError, KeyboardInterrupt)
      keeps the frames that call had decoded, and the bytes from the frame it
      stopped at: the next `feed` (`feed(b"")` when nothing new has come)
      returns those frames first and decodes that frame again, so every frame
      comes out once. If even those bytes cannot be kept for lack of memory,
      the decoder is unusable and the MemoryError carries the frames on
      `frames`, as a FrameError does.
    - `close()` marks the end of input; it raises EOFError when a partial
      frame remains (`buffered` > 0), whose bytes are dropped. Later `feed`
      calls raise ValueError; `close` may be called again. While frames that
      an error interrupted wait for `feed`, `close` raises ValueError instead.
    - One call at a time: a `feed` or `close` while another is running, from
      another thread or from inside it, raises RuntimeError and changes nothing.
    """

    def __init__(self, max_frame_size: int = DEFAULT_MAX_FRAME_SIZE, **options: Any) -> None:
        self._max_frame_size = validate_max_frame_size(max_frame_size)
        self._options = options
        self._buffer = bytearray()
        self._offset = 0  # stream offset of the first buffered byte
        self._refusal: str | None = None  # why feed no longer works
        # Frames decoded but not yet returned: an error other than FrameError
        # interrupted the call that decoded them, and the next call returns them.
        self._ready: list[Table] = []
        self._turn = threading.Lock()

    @property
    def max_frame_size(self) -> int:
        return self._max_frame_size

    @property
    def buffered(self) -> int:
        """Bytes of an incomplete frame held for the next `feed`."""
        return len(self._buffer)

    @property
    def offset(self) -> int:
        """Stream offset of the first byte not yet decoded as part of a frame."""
        return self._offset

    def feed(self, data: Buffer) -> list[Table]:
        with self._one_call():
            if self._refusal is not None:
                raise ValueError(self._refusal)
            frames = self._feed(data)
        return frames

    def close(self) -> None:
        with self._one_call():
            if self._refusal is not None:
                return
            have = len(self._buffer)
            length = None
            if have >= HEADER_SIZE:
                length = frame_length(self._buffer, self._offset, self._max_frame_size)
            if self._ready or (length is not None and length <= have):
                raise ValueError(
                    "FrameDecoder holds frames that an earlier error interrupted: feed(b'') returns them before close"
                )
            self._refusal = "FrameDecoder is closed"
            if have:
                self._buffer = bytearray()
                raise truncated(self._offset, have, length)

    @contextmanager
    def _one_call(self) -> Iterator[None]:
        # Two calls at once would cut frames out of one buffer twice or not at all.
        if not self._turn.acquire(blocking=False):
            raise RuntimeError(
                "FrameDecoder is already in a feed or close call (from another thread, or from inside that call); "
                "a decoder takes one call at a time"
            )
        try:
            yield
        finally:
            self._turn.release()

    def _feed(self, data: Buffer) -> list[Table]:
        # Frames are cut straight out of `data` while nothing is buffered, and
        # the consumed prefix is dropped once per call, not once per frame.
        if self._buffer:
            # Appended as bytes: `+=` would let a NumPy array add element-wise.
            with memoryview(data) as piece, piece.cast("B") as piece_bytes:
                self._buffer += piece_bytes
            with memoryview(self._buffer) as view:
                consumed, failure = self._decode(view)
            del self._buffer[:consumed]
        else:
            with memoryview(data) as whole, whole.cast("B") as view:
                consumed, failure = self._decode(view)
                try:
                    self._buffer = bytearray(b"" if isinstance(failure, FrameError) else view[consumed:])
                except MemoryError as error:
                    self._refusal = "FrameDecoder is unusable: there was no memory to keep the bytes of a partial frame"
                    error.frames = self._take_ready()  # type: ignore[attr-defined]
                    raise
        self._offset += consumed
        if isinstance(failure, FrameError):
            failure.frames = self._take_ready()
            self._refusal = f"FrameDecoder is unusable after an earlier error: {failure}"
            self._buffer = bytearray()
        if failure is not None:
            raise failure
        return self._take_ready()

    def _decode(self, view: memoryview) -> tuple[int, BaseException | None]:
        """Decode the complete frames at the start of `view` onto the frames
        ready to return; the bytes they took, and what stopped the walk early."""
        position = 0
        try:
            while len(view) - position >= HEADER_SIZE:
                offset = self._offset + position
                end = position + frame_length(view[position:], offset, self._max_frame_size)
                if end > len(view):
                    break
                self._ready.append(decode(view[position:end], offset, self._options))
                position = end
        except BaseException as failure:  # raised by the caller once the bytes are accounted for
            # The failed call's locals would keep its slice of the buffer exported,
            # and an exported buffer can be neither trimmed nor resized by its owner.
            traceback.clear_frames(failure.__traceback__)
            return position, failure
        return position, None

    def _take_ready(self) -> list[Table]:
        frames, self._ready = self._ready, []
        return frames
