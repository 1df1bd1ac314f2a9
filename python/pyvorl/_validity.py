"""Nulls as frames carry them: the column holds a fill value under each missing one, and its field
metadata holds an Arrow-layout validity bitmap under "pyvorl.validity" (one bit a row, least
significant first, 1 = valid, ceil(rows / 8) bytes). A peer that knows nothing of the key still
reads a plain column of fills."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

VALIDITY = "pyvorl.validity"


def validity_of(mask: NDArray[np.bool_]) -> bytes | None:
    """The bitmap of `mask` (True where a value is missing); None when nothing is missing."""
    if not mask.any():
        return None
    return np.packbits(~mask, bitorder="little").tobytes()


def mask_of(validity: bytes, rows: int) -> NDArray[np.bool_]:
    """True where the bitmap says a value is missing."""
    valid = np.unpackbits(np.frombuffer(validity, np.uint8), count=rows, bitorder="little")
    return ~valid.view(np.bool_)


def bitmap_fault(validity: object, rows: int) -> str | None:
    """Why `validity` is no bitmap of `rows` rows, or None when it is one."""
    if not isinstance(validity, bytes):
        return f"{VALIDITY!r} is a {type(validity).__name__}, not bytes"
    if len(validity) != (rows + 7) // 8:
        return f"{VALIDITY!r} holds {len(validity)} bytes, {rows} rows need {(rows + 7) // 8}"
    return None


def fill_value(array: NDArray[Any], decimal: bool) -> Any:
    """What stands under a null: 0 (decimals included, whose compact body has no NaN, and texts that
    hold decimals), False, NaN, NaT, or the empty text or bytes of the column's kind."""
    kind = array.dtype.kind
    if kind == "f":
        return 0.0 if decimal else np.nan
    if kind in "mM":
        return np.array("NaT", array.dtype)[()]
    if kind == "b":
        return False
    if kind in "iu":
        return 0
    if kind == "S":
        return b""
    if kind == "O":
        first = next((item for item in array if item is not None), "")
        return b"" if isinstance(first, bytes) else "0" if decimal else ""
    return ""


def filled(values: NDArray[Any], mask: NDArray[np.bool_], decimal: bool = False) -> NDArray[Any]:
    """`values` with the fill value under every null, as a new array when anything changes."""
    if not mask.any():
        return values
    out = values.copy()
    out[mask] = fill_value(values[~mask] if values.dtype.kind == "O" else values, decimal)
    return out
