"""The encoder and decoder behind pyvorl.dumps and pyvorl.loads (the second extension module)."""

from typing import Any

from numpy.typing import NDArray

MetadataEntries = list[tuple[str, int, Any]]

def encode(
    columns: list[tuple[str, str, Any, int | None, MetadataEntries | None]], table_metadata: MetadataEntries, /
) -> bytes:
    """One whole frame from normalised columns."""

def decode(
    buffer: Any, string_dtype: bool = False, /
) -> tuple[MetadataEntries | None, list[tuple[str, int, NDArray[Any], MetadataEntries | None, int | None]]]:
    """The table metadata and the columns of one whole frame; text columns as StringDType arrays with string_dtype."""

def objects(items: list[Any], /) -> NDArray[Any]:
    """A 1-D object array holding the elements of a list."""
