"""A Table over the Arrow PyCapsule interface (`__arrow_c_schema__`, `__arrow_c_stream__`), with no Arrow
library needed here. This module decides the Arrow type of each column; `_codec` lays out the buffers and
owns the C structs. Fixed-width columns are lent to the consumer, not copied.

How columns go out:
- ints, uints, floats (float16 too) as themselves; bool bit-packed;
- datetime64[s/ms/us/ns] as timestamps of that unit, with the zone under "pyvorl.timezone" or none,
  except datetime64[ms] recorded as "tdm", which goes as date64; datetime64 in days, weeks, months or years (days
  whatever the record, as none of them has a time of day) as date32; in hours or minutes as timestamps
  in seconds; a zoned column of days as timestamps in seconds, so that it keeps its zone;
- timedelta64[s/ms/us/ns] as durations, or as time32/time64 when recorded so ("tts", "ttm", "ttu",
  "ttn"); timedelta64 in days, weeks, hours or minutes as durations in seconds;
- NaT is null, as in every Arrow library; NaN is a value;
- a float64 column with decimal places as decimal128 (or decimal256 when recorded so), of the recorded
  precision, else 18 digits (38 where the values need more);
- texts as string (large_string when recorded so or when they exceed 2 GiB); bytes as binary (large_binary
  likewise); texts that loads decoded go out from their buffers, with no str made;
- categorical texts as dictionaries of their categories (or of the distinct values in order of first
  appearance), with the recorded index type (int32 unless recorded), ordered as recorded.
Every field is nullable, as Arrow libraries make them; the user's str and bytes metadata go along.
"""

from __future__ import annotations

import json
import struct
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from pyvorl import _codec
from pyvorl._dataframes import ARROW_INDEX, ARROW_TYPE, CATEGORICAL, CATEGORIES, ZONE
from pyvorl._validity import VALIDITY, mask_of, validity_of

if TYPE_CHECKING:
    from pyvorl._table import Table, TextBuffers

DICTIONARY_ORDERED = 1
NULLABLE = 2

# (name, format, field metadata, flags, kind, data, validity, extra): see src/python/arrow_export.hpp
ExportedColumn = tuple[str, str, bytes | None, int, str, Any, bytes | None, Any]

_NUMBERS = {"i1": "c", "i2": "s", "i4": "i", "i8": "l", "u1": "C", "u2": "S", "u4": "I", "u8": "L"}
_NUMBERS |= {"f2": "e", "f4": "f", "f8": "g"}
_UNITS = {"s": "s", "ms": "m", "us": "u", "ns": "n"}  # NumPy's units to Arrow's letters
_NUMPY_UNITS = {letter: unit for unit, letter in _UNITS.items()}
_DAY_UNITS = ("D", "W", "M", "Y")
_DEFAULT_PRECISION = 18
_WIDEST_PRECISION = 38


def schema_capsule(table: Table) -> Any:
    return _codec.arrow_schema(_columns(table), _metadata_bytes(table.metadata), table.num_rows)


def stream_capsule(table: Table) -> Any:
    return _codec.arrow_stream(_columns(table), _metadata_bytes(table.metadata), table.num_rows)


def _columns(table: Table) -> list[ExportedColumn]:
    reserved = table.schema.fields
    user = table.field_metadata
    decimals = table.decimals
    columns = []
    for name in table:
        keys = reserved.get(name, {})
        buffers = None if CATEGORICAL in keys else table._text_buffers(name)
        if buffers is None:
            columns.append(_column(name, table[name], keys, user.get(name, {}), decimals.get(name), table.num_rows))
        else:
            columns.append(_large_layout(name, buffers, keys, user.get(name, {})))
    return columns


def _large_layout(name: str, buffers: TextBuffers, keys: Mapping[str, Any], user: Mapping[str, Any]) -> ExportedColumn:
    """Decoded texts, whose buffers go out as they are (the offsets narrowed for "u" and "z")."""
    offsets, data, is_text = buffers
    arrow_type = keys.get(ARROW_TYPE)
    form = ("U" if arrow_type == "U" else "u") if is_text else ("Z" if arrow_type == "Z" else "z")
    return name, form, _metadata_bytes(user), NULLABLE, "arrow_texts", offsets, keys.get(VALIDITY), data


def _column(
    name: str, array: NDArray[Any], keys: Mapping[str, Any], user: Mapping[str, Any], places: int | None, rows: int
) -> ExportedColumn:
    validity: bytes | None = keys.get(VALIDITY)
    metadata = _metadata_bytes(user)
    arrow_type = keys.get(ARROW_TYPE)
    kind = array.dtype.kind
    if CATEGORICAL in keys and kind in "OUT":
        categories = json.loads(keys[CATEGORIES]) if CATEGORIES in keys else None
        flags = NULLABLE | (DICTIONARY_ORDERED if keys[CATEGORICAL] == "ordered" else 0)
        value_format = "U" if arrow_type == "U" else "u"
        index = keys.get(ARROW_INDEX, "i")
        return name, index, metadata, flags, "dictionary", _objects(array), validity, (categories, value_format)
    if places is not None and kind == "f":
        values = _native(array.astype(np.float64, copy=False))
        form, extra = _decimal_type(values, places, arrow_type)
        return name, form, metadata, NULLABLE, "decimal", values, validity, extra
    if kind in "iuf" and array.dtype.str[1:] in _NUMBERS:
        values = _native(array)
        return name, _NUMBERS[values.dtype.str[1:]], metadata, NULLABLE, "fixed", values, validity, values.itemsize
    if kind == "b":
        return name, "b", metadata, NULLABLE, "bits", _native(array).view(np.uint8), validity, None
    if kind in "Mm":
        if np.isnat(array).any():
            missing = np.isnat(array) if validity is None else np.isnat(array) | mask_of(validity, rows)
            validity = validity_of(missing)
        form, values = _datetime(name, array, keys.get(ZONE), arrow_type)
        return name, form, metadata, NULLABLE, "fixed", values, validity, values.itemsize
    if kind in "OUTS":
        objects = _objects(array)
        binary = kind == "S" or isinstance(next((item for item in objects if item is not None), ""), bytes)
        form = ("Z" if arrow_type == "Z" else "z") if binary else ("U" if arrow_type == "U" else "u")
        return name, form, metadata, NULLABLE, "texts", objects, validity, None
    raise ValueError(f"column {name!r}: {array.dtype} has no Arrow type")


def _native(array: NDArray[Any]) -> NDArray[Any]:
    """The array as the C data interface lends it: contiguous, in the machine's byte order."""
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    return np.ascontiguousarray(array)


def _objects(array: NDArray[Any]) -> NDArray[Any]:
    return array if array.dtype == object else array.astype(object)


def _decimal_type(values: NDArray[np.float64], places: int, arrow_type: object) -> tuple[str, tuple[int, int, int]]:
    precision, width = _DEFAULT_PRECISION, 16
    if isinstance(arrow_type, str) and arrow_type.startswith("d:"):
        digits, _, rest = arrow_type[2:].partition(",")
        precision = max(int(digits), places)
        width = 32 if rest.partition(",")[2] == "256" else 16
    else:
        top = float(np.max(np.abs(values), initial=0.0, where=np.isfinite(values)))
        if round(top * 10.0**places) >= 10**_DEFAULT_PRECISION:
            precision = _WIDEST_PRECISION
    form = f"d:{precision},{places}" + (",256" if width == 32 else "")
    return form, (places, precision, width)


def _datetime(name: str, array: NDArray[Any], zone: object, arrow_type: object) -> tuple[str, NDArray[Any]]:
    """The format and the int32/int64 values of a datetime64 or timedelta64 column."""
    unit, count = np.datetime_data(array.dtype)
    kind = array.dtype.kind
    if count != 1:
        array = _exact_cast(name, array, f"{kind}8[{unit}]")
    stamp = kind == "M"
    if stamp and (unit in _DAY_UNITS or arrow_type == "tdD") and not zone:
        days = _exact_cast(name, array, "M8[D]").view(np.int64)
        return "tdD", _narrowed(name, np.where(np.isnat(array), 0, days))
    if stamp and arrow_type == "tdm" and unit == "ms" and not zone:
        return "tdm", _native(array).view(np.int64)
    if not stamp and isinstance(arrow_type, str) and arrow_type[:2] == "tt" and arrow_type[2:] in _NUMPY_UNITS:
        ticks = _native(_exact_cast(name, array, f"m8[{_NUMPY_UNITS[arrow_type[2:]]}]")).view(np.int64)
        narrow = arrow_type in ("tts", "ttm")
        return arrow_type, _narrowed(name, np.where(np.isnat(array), 0, ticks)) if narrow else ticks
    if unit not in _UNITS:
        if unit not in ("D", "W", "h", "m"):
            raise ValueError(f"column {name!r}: {array.dtype} has no Arrow type")
        unit = "s"
        array = _exact_cast(name, array, f"{kind}8[s]")
    letter = _UNITS[unit]
    form = f"ts{letter}:{zone or ''}" if stamp else f"tD{letter}"
    return form, _native(array).view(np.int64)


def _exact_cast(name: str, array: NDArray[Any], dtype: str) -> NDArray[Any]:
    """`array` in another unit, refused where a value does not fit it."""
    try:
        out = array.astype(dtype)
        exact = np.array_equal(out.astype(array.dtype).view(np.int64), array.view(np.int64))
    except OverflowError:
        exact = False
    if not exact:
        raise ValueError(f"column {name!r}: a value of {array.dtype} does not fit {np.dtype(dtype)}")
    return out


def _narrowed(name: str, values: NDArray[np.int64]) -> NDArray[np.int32]:
    limits = np.iinfo(np.int32)
    if values.size and (values.min() < limits.min or values.max() > limits.max):
        raise ValueError(f"column {name!r}: a value does not fit the 32 bits of its Arrow type")
    return values.astype(np.int32)


def _metadata_bytes(values: Mapping[str, Any]) -> bytes | None:
    """Arrow's binary encoding of the str and bytes values among `values`: a count, then each key and
    value behind its length, as native int32."""
    pairs = [(key.encode(), value.encode() if isinstance(value, str) else value) for key, value in values.items()]
    pairs = [(key, value) for key, value in pairs if isinstance(value, bytes)]
    if not pairs:
        return None
    parts = [struct.pack("=i", len(pairs))]
    for key, value in pairs:
        parts += [struct.pack("=i", len(key)), key, struct.pack("=i", len(value)), value]
    return b"".join(parts)
