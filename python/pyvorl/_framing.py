"""What the stream reader and the incremental decoder share: the types of a
frame's contents, the size limit, and the errors that name a frame's offset."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, TypeAlias

from numpy.typing import NDArray

from pyvorl._vorl import check_table_frame, parse_table_frame

ColumnData: TypeAlias = NDArray[Any] | list[str]
Column: TypeAlias = tuple[str, ColumnData]
ParsedColumn: TypeAlias = tuple[str, NDArray[Any]]
ParsedFrame: TypeAlias = tuple[str, str, list[ParsedColumn]]
"""(table name, object name, [(column name, array), ...]) of one frame."""

HEADER_SIZE = 8
DEFAULT_MAX_FRAME_SIZE = 256 << 20
# The header's length field is 32 bits wide, so this limit refuses nothing.
MAX_FRAME_SIZE_LIMIT = 4 << 30


class FrameError(ValueError):
    """A frame in a stream is damaged, is not a frame, or is too large.

    `offset` is the stream offset of the frame's first header byte. `frames`
    holds the frames that `FrameDecoder.feed` completed in the same call before
    the failing one (empty elsewhere), so that no good frame is lost.
    """

    def __init__(self, offset: int, reason: str, frames: Sequence[ParsedFrame] = ()) -> None:
        super().__init__(f"frame at offset {offset}: {reason}")
        self.offset = offset
        self.frames = list(frames)


def validate_max_frame_size(max_frame_size: int) -> int:
    if isinstance(max_frame_size, bool) or not isinstance(max_frame_size, int):
        raise TypeError(f"max_frame_size must be an int, not {type(max_frame_size).__name__}")
    if not 0 < max_frame_size <= MAX_FRAME_SIZE_LIMIT:
        raise ValueError(f"max_frame_size must be from 1 to {MAX_FRAME_SIZE_LIMIT}, got {max_frame_size}")
    return max_frame_size


def body_length(header: bytes, offset: int, max_frame_size: int) -> int:
    """The body length announced by an 8-byte header, or FrameError."""
    try:
        length = check_table_frame(header)
    except ValueError as error:
        raise FrameError(offset, str(error)) from None
    if length > max_frame_size:
        raise FrameError(offset, f"announced body of {length} bytes exceeds max_frame_size {max_frame_size}")
    return length


def parse_body(body: bytes, offset: int) -> ParsedFrame:
    try:
        return parse_table_frame(body)
    except ValueError as error:
        raise FrameError(offset, str(error)) from None


def truncated(offset: int, have: int, length: int | None) -> EOFError:
    """The error for a stream that ended `have` bytes into the frame at
    `offset`; `length` is the body length when the header was complete."""
    if length is None:
        return EOFError(
            f"frame at offset {offset}: stream ended inside the header, "
            f"{HEADER_SIZE - have} of {HEADER_SIZE} header bytes missing"
        )
    missing = HEADER_SIZE + length - have
    return EOFError(f"frame at offset {offset}: stream ended inside the body, {missing} of {length} body bytes missing")
