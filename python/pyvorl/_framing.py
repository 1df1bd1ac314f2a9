"""What the stream readers, the incremental decoder and the file reader share:
the size limit, the errors that name a frame's offset, and decoding a frame."""

from __future__ import annotations

from collections.abc import Buffer, Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

from numpy.typing import NDArray

from pyvorl._codec import FRAME_HEADER_SIZE
from pyvorl._codec import frame_length as _frame_length

if TYPE_CHECKING:
    from pyvorl import Table

HEADER_SIZE = FRAME_HEADER_SIZE

ColumnData: TypeAlias = NDArray[Any] | list[str]
Column: TypeAlias = tuple[str, ColumnData]
ParsedColumn: TypeAlias = tuple[str, NDArray[Any]]
ParsedFrame: TypeAlias = tuple[str, str, list[ParsedColumn]]
"""(table name, object name, [(column name, array), ...]) of one frame."""

DEFAULT_MAX_FRAME_SIZE = 256 << 20
# The header's length field is 32 bits wide, so this limit refuses nothing.
MAX_FRAME_SIZE_LIMIT = 4 << 30
# A header may announce up to 4 GiB that never arrive; beyond this size a
# stream reader grows the frame buffer with the bytes that do arrive instead
# of reserving the announced size.
RESERVE_LIMIT = 16 << 20


class FrameError(ValueError):
    """A frame in a stream is damaged, is not a frame, or is too large.

    `offset` is the stream offset of the frame's first header byte and `reason`
    the text after it. `frames` holds the tables that `FrameDecoder.feed`
    completed in the same call before the failing one (empty elsewhere), so
    that no good frame is lost.
    """

    def __init__(self, offset: int, reason: str, frames: Sequence[Table] = ()) -> None:
        super().__init__(f"frame at offset {offset}: {reason}")
        self.offset = offset
        self.reason = reason
        self.frames = list(frames)


def require_methods(stream: object, argument: str, *alternatives: str) -> None:
    """A TypeError naming the argument unless `stream` has one of the methods: the AttributeError
    of a later call would name neither."""
    if not any(callable(getattr(stream, name, None)) for name in alternatives):
        methods = " or ".join(f"{name}()" for name in alternatives)
        raise TypeError(f"{argument} must be a binary stream with {methods}, not {type(stream).__name__}")


def validate_max_frame_size(max_frame_size: int) -> int:
    if isinstance(max_frame_size, bool) or not isinstance(max_frame_size, int):
        raise TypeError(f"max_frame_size must be an int, not {type(max_frame_size).__name__}")
    if not 0 < max_frame_size <= MAX_FRAME_SIZE_LIMIT:
        raise ValueError(f"max_frame_size must be from 1 to {MAX_FRAME_SIZE_LIMIT}, got {max_frame_size}")
    return max_frame_size


def frame_length(header: Buffer, offset: int, max_frame_size: int) -> int:
    """The whole length (header and body) of the frame whose header `header`
    starts with (only its first HEADER_SIZE bytes are read), or FrameError
    naming `offset` for a short buffer, a non-frame or a body above `max_frame_size`."""
    try:
        return _frame_length(header, max_frame_size)
    except ValueError as error:
        raise FrameError(offset, str(error)) from None


def decode(frame: Buffer, offset: int, options: dict[str, Any]) -> Table:
    """`loads` of one whole frame, read in place; its errors name `offset`."""
    from pyvorl import loads

    try:
        return loads(frame, **options)
    except ValueError as error:
        reason = error.reason if isinstance(error, FrameError) else str(error)
    # Raised out here, with `frame` dropped, so that neither the error's context
    # nor its traceback keeps the caller's buffer (a memory map) exported.
    del frame
    raise FrameError(offset, reason)


def truncated(offset: int, have: int, length: int | None) -> EOFError:
    """The error for a stream that ended `have` bytes into the frame at
    `offset`; `length` is the frame's whole length when the header was complete."""
    if length is None:
        return EOFError(
            f"frame at offset {offset}: stream ended inside the header, "
            f"{HEADER_SIZE - have} of {HEADER_SIZE} header bytes missing"
        )
    return EOFError(
        f"frame at offset {offset}: stream ended inside the body, "
        f"{length - have} of {length - HEADER_SIZE} body bytes missing"
    )
