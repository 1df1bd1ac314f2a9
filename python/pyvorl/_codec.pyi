"""The encoder and decoder behind pyvorl.dumps and pyvorl.loads, and the frame length of a header (the second
extension module)."""

from collections.abc import Buffer
from typing import Any

import numpy as np
from numpy.typing import NDArray

MetadataEntries = list[tuple[str, int, Any]]

FRAME_HEADER_SIZE: int
FRAME_HEADER_PREFIX: bytes
"""The bytes every frame header starts with."""

def encode(
    columns: list[tuple[str, NDArray[Any], int | None, MetadataEntries | None]], table_metadata: MetadataEntries, /
) -> bytes:
    """One whole frame from normalised columns."""

def encode_arrays(columns: dict[str, NDArray[Any]], obj: str, name: str, /) -> bytes | None:
    """The frame of a dict of 1-D arrays of one length, or None for anything else."""

def texts_from_arrow(offsets: NDArray[np.int64], data: NDArray[np.uint8], is_text: bool, /) -> NDArray[Any]: ...
def decode(
    buffer: Any, string_dtype: bool = False, columns: list[str] | None = None, texts_as_arrow: bool = False, /
) -> tuple[
    dict[str, NDArray[Any] | tuple[NDArray[np.int64], NDArray[np.uint8], bool]],
    int,
    str,
    str,
    dict[str, Any],
    dict[str, dict[str, Any]],
    dict[str, int],
    dict[str, dict[str, Any]],
    dict[str, Any],
]:
    """The parts of the Table in one whole frame; text columns as StringDType arrays with string_dtype."""

def frame_length(buffer: Buffer, max_frame_size: int, /) -> int:
    """The whole length (header and body) of the frame whose header the buffer starts with; only its
    first FRAME_HEADER_SIZE bytes are read. ValueError for a short buffer, a buffer that is not a frame
    or a body above max_frame_size."""

ArrowColumn = tuple[str, str, dict[bytes, bytes] | None, int, NDArray[Any], bytes | None, tuple[str, list[str]] | None]
"""(name, format, Arrow field metadata, flags, values, validity bitmap, (value format, categories) of a dictionary)."""

def arrow_columns(
    capsule: Any, array_capsule: Any = ..., /
) -> tuple[int, list[ArrowColumn], dict[bytes, bytes] | None]:
    """The columns of an Arrow C stream capsule, or of a schema capsule and a struct array capsule:
    (num_rows, columns, schema metadata). One TypeError names every column of a type no frame holds."""

def gaps(array: NDArray[Any], /) -> NDArray[Any] | None: ...
def objects(items: list[Any], /) -> NDArray[Any]:
    """A 1-D object array holding the elements of a list."""

def arrow_schema(columns: list[tuple[Any, ...]], table_metadata: bytes | None, num_rows: int, /) -> Any:
    """The "arrow_schema" PyCapsule of columns prepared by pyvorl._arrow_export."""

def arrow_stream(columns: list[tuple[Any, ...]], table_metadata: bytes | None, num_rows: int, /) -> Any:
    """An "arrow_array_stream" PyCapsule of one struct batch of columns prepared by pyvorl._arrow_export."""
