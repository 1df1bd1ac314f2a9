"""Checksummed binary table frames for NumPy columns (the extension module)."""

from typing import Any

from numpy.typing import NDArray

__all__ = ["set_local_zone", "get_local_offset", "check_table_frame", "parse_table_frame", "pack_table_frame"]

def set_local_zone(tz: int) -> None:
    """Set the local UTC offset, in whole hours from -25 to 25, that parse_table_frame adds to date-times."""

def get_local_offset() -> int:
    """The local UTC offset in microseconds, positive east of UTC."""

def check_table_frame(buffer: bytes, /) -> int:
    """The body length announced by the 8-byte frame header at the start of `buffer`.

    Raises ValueError "buffer is too short" or "buffer is not a table frame".
    """

def parse_table_frame(buffer: bytes, /) -> tuple[str, str, list[tuple[str, NDArray[Any]]]]:
    """Parse one frame body (the bytes after the 8-byte header).

    Returns (table name, object name, [(column name, array), ...]); raises
    ValueError with the reader's text for a damaged body.
    """

def pack_table_frame(
    obj: str,
    columns: list[tuple[str, NDArray[Any] | list[str]]],
    decimal_fields: dict[str, int] | None = None,
    /,
) -> bytes:
    """Pack an object name and (column name, array or list of texts) pairs into one whole frame.

    The columns named in `decimal_fields` are packed as decimals with that many places.
    """
