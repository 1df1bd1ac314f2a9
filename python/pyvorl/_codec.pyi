"""The encoder and decoder behind pyvorl.dumps and pyvorl.loads, and the frame length of a header (the second
extension module)."""

from collections.abc import Buffer
from typing import Any

from numpy.typing import NDArray

MetadataEntries = list[tuple[str, int, Any]]

FRAME_HEADER_SIZE: int
FRAME_HEADER_PREFIX: bytes
"""The bytes every frame header starts with."""

def encode(
    columns: list[tuple[str, str, Any, int | None, MetadataEntries | None]], table_metadata: MetadataEntries, /
) -> bytes:
    """One whole frame from normalised columns."""

def decode(
    buffer: Any, string_dtype: bool = False, /
) -> tuple[MetadataEntries | None, list[tuple[str, int, NDArray[Any], MetadataEntries | None, int | None]]]:
    """The table metadata and the columns of one whole frame; text columns as StringDType arrays with string_dtype."""

def frame_length(buffer: Buffer, max_frame_size: int, /) -> int:
    """The whole length (header and body) of the frame whose header the buffer starts with; only its
    first FRAME_HEADER_SIZE bytes are read. ValueError for a short buffer, a buffer that is not a frame
    or a body above max_frame_size."""

def objects(items: list[Any], /) -> NDArray[Any]:
    """A 1-D object array holding the elements of a list."""
