"""Incremental frame decoding for bytes that arrive in pieces."""

from __future__ import annotations

from collections.abc import Buffer
from typing import TYPE_CHECKING, Any

from pyvorl._framing import (
    DEFAULT_MAX_FRAME_SIZE,
    HEADER_SIZE,
    FrameError,
    body_length,
    decode,
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
      (a ValueError) whose message starts with "frame at offset N: "; frames
      completed before it by the same call are on the exception's `frames`.
      The decoder then drops its buffer and is unusable: every later `feed`
      raises ValueError, `close` returns quietly.
    - `close()` marks the end of input; it raises EOFError when a partial
      frame remains (`buffered` > 0), whose bytes are dropped. Later `feed`
      calls raise ValueError; `close` may be called again.
    """

    def __init__(self, max_frame_size: int = DEFAULT_MAX_FRAME_SIZE, **options: Any) -> None:
        self._max_frame_size = validate_max_frame_size(max_frame_size)
        self._options = options
        self._buffer = bytearray()
        self._offset = 0  # stream offset of the first buffered byte
        self._refusal: str | None = None  # why feed no longer works

    @property
    def max_frame_size(self) -> int:
        return self._max_frame_size

    @property
    def buffered(self) -> int:
        """Bytes of an incomplete frame held for the next `feed`."""
        return len(self._buffer)

    @property
    def offset(self) -> int:
        """Stream offset of the first byte not yet returned as part of a frame."""
        return self._offset

    def feed(self, data: Buffer) -> list[Table]:
        if self._refusal is not None:
            raise ValueError(self._refusal)
        # Frames are cut straight out of `data` while nothing is buffered, and
        # the consumed prefix is dropped once per call, not once per frame.
        source: Buffer = data
        if self._buffer:
            # Appended as bytes: `+=` would let a NumPy array add element-wise.
            with memoryview(data) as piece, piece.cast("B") as piece_bytes:
                self._buffer += piece_bytes
            source = self._buffer
        frames: list[Table] = []
        with memoryview(source) as whole, whole.cast("B") as view:
            try:
                consumed = self._decode(view, frames)
            except FrameError as error:
                error.frames = frames
                self._refusal = f"FrameDecoder is unusable after an earlier error: {error}"
                self._buffer = bytearray()
                raise
            if source is not self._buffer:
                self._buffer = bytearray(view[consumed:])
        if source is self._buffer:
            del self._buffer[:consumed]
        self._offset += consumed
        return frames

    def close(self) -> None:
        if self._refusal is not None:
            return
        self._refusal = "FrameDecoder is closed"
        have = len(self._buffer)
        if have == 0:
            return
        length = None
        if have >= HEADER_SIZE:
            length = body_length(bytes(self._buffer[:HEADER_SIZE]), self._offset, self._max_frame_size)
        self._buffer = bytearray()
        raise truncated(self._offset, have, length)

    def _decode(self, view: memoryview, frames: list[Table]) -> int:
        """Append the complete frames at the start of `view`; the bytes used."""
        position = 0
        while len(view) - position >= HEADER_SIZE:
            offset = self._offset + position
            header = bytes(view[position : position + HEADER_SIZE])
            end = position + HEADER_SIZE + body_length(header, offset, self._max_frame_size)
            if end > len(view):
                break
            frames.append(decode(view[position:end], offset, self._options))
            position = end
        return position
