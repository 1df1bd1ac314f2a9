"""One Arrow array as a stored column and back: the NumPy values with fills under the nulls, and
the "pyvorl." keys that say which Arrow type they were (imported only when pyarrow is used).

Dates are datetime64[D] or [ms], times of day timedelta64 of their unit, decimals float64 columns
packed with their scale; each of those records its Arrow format under ARROW_TYPE, as do the large
and view string types. Dictionaries of texts are their values, with their categories and index type.
"""

from __future__ import annotations

import json
import re
from decimal import Decimal
from typing import Any

import numpy as np
import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
from numpy.typing import NDArray

from pyvorl._dataframes import ARROW_INDEX, ARROW_TYPE, CATEGORICAL, CATEGORIES, ZONE, Unstorable, text_array
from pyvorl._table import FLOAT64_EXACT, MAX_DECIMAL_PLACES
from pyvorl._validity import VALIDITY, filled, validity_of

# Texts and bytes whose type the NumPy object column alone would give as string or binary.
_TEXT_FORMATS = {pa.large_string(): "U", pa.string_view(): "vu", pa.large_binary(): "Z", pa.binary_view(): "vz"}
_INDEX_FORMATS = {
    pa.int8(): "c",
    pa.int16(): "s",
    pa.int32(): "i",
    pa.int64(): "l",
    pa.uint8(): "C",
    pa.uint16(): "S",
    pa.uint32(): "I",
    pa.uint64(): "L",
}
_DECIMAL = re.compile(r"d:(\d+),(\d+)(,256)?")
_UNIT_LETTERS = {"s": "s", "ms": "m", "us": "u", "ns": "n"}


def stored_column(array: Any) -> tuple[NDArray[Any], dict[str, Any], int | None]:
    """The values of an Arrow array with fills under its nulls, its keys (VALIDITY among them when
    it has nulls) and the decimal places to pack it with (None when it is no decimal)."""
    kind = array.type
    mask = array.is_null().to_numpy(zero_copy_only=False).astype(bool)
    keys: dict[str, Any] = {}
    places = None
    if pa.types.is_dictionary(kind):
        values = _dictionary(array, keys)
    elif pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind):
        fill = False if pa.types.is_boolean(kind) else 0
        values = array.fill_null(pa.scalar(fill, kind)).to_numpy(zero_copy_only=False)
    elif pa.types.is_timestamp(kind) or pa.types.is_duration(kind) or pa.types.is_date(kind):
        values = array.to_numpy(zero_copy_only=False)  # NaT under the nulls; timestamps as UTC
        if pa.types.is_timestamp(kind) and kind.tz is not None:
            keys[ZONE] = kind.tz
        if pa.types.is_date(kind):
            keys[ARROW_TYPE] = "tdD" if kind == pa.date32() else "tdm"
    elif pa.types.is_time(kind):
        counts = array.cast(pa.int64() if kind.bit_width == 64 else pa.int32()).fill_null(0)
        values = counts.to_numpy(zero_copy_only=False).astype(np.int64).view(f"m8[{kind.unit}]")
        keys[ARROW_TYPE] = f"tt{_UNIT_LETTERS[kind.unit]}"
    elif pa.types.is_decimal(kind):
        values, places = _decimal(array), kind.scale
        keys[ARROW_TYPE] = f"d:{kind.precision},{kind.scale}" + (",256" if kind.bit_width == 256 else "")
    elif kind in (pa.string(), pa.binary()) or kind in _TEXT_FORMATS:
        values = text_array(array.to_pylist())
        if kind in _TEXT_FORMATS:
            keys[ARROW_TYPE] = _TEXT_FORMATS[kind]
    else:
        raise Unstorable(str(kind))
    if (validity := validity_of(mask)) is not None:
        values = filled(values, mask, decimal=places is not None)
        keys[VALIDITY] = validity
    return values, keys, places


def _dictionary(array: Any, keys: dict[str, Any]) -> NDArray[Any]:
    kind = array.type
    texts = (pa.string(), pa.large_string(), pa.string_view())
    if kind.value_type not in texts or kind.index_type not in _INDEX_FORMATS or array.dictionary.null_count:
        raise Unstorable(str(kind))
    keys[CATEGORICAL] = "ordered" if kind.ordered else "unordered"
    keys[CATEGORIES] = json.dumps(array.dictionary.to_pylist())
    keys[ARROW_INDEX] = _INDEX_FORMATS[kind.index_type]
    if kind.value_type != pa.string():
        keys[ARROW_TYPE] = _TEXT_FORMATS[kind.value_type]
    return text_array(array.dictionary_decode().to_pylist())


def _decimal(array: Any) -> NDArray[np.float64]:
    """A decimal column as the float64 values that its scale packs back to the same integers."""
    kind = array.type
    if kind.scale > MAX_DECIMAL_PLACES or kind.scale < 0:
        raise Unstorable(f"{kind} (frames keep at most {MAX_DECIMAL_PLACES} decimal places)")
    values = []
    for item in array.to_pylist():
        value = 0.0 if item is None else float(item)
        # Past 2**53 units, or where floats are sparser than the units, two decimals share a float.
        if item is not None and (abs(item.scaleb(kind.scale)) >= FLOAT64_EXACT or _unscaled(value, kind.scale) != item):
            raise Unstorable(f"{kind} ({item} has no float64 of its own)")
        values.append(value)
    return np.array(values, np.float64)


def arrow_array(values: NDArray[Any], keys: dict[str, Any], mask: NDArray[np.bool_] | None, name: str) -> Any:
    """The Arrow array that `stored_column` gave `values` and `keys` for; `name` is the str of its
    type where pyarrow has an alias for it (types with parameters it has none for are rebuilt from
    the keys)."""
    try:
        kind = pa.type_for_alias(name)
    except ValueError:
        kind = _type_from_keys(values, keys)
    if pa.types.is_dictionary(kind):
        categories = pa.array(json.loads(keys[CATEGORIES]), kind.value_type)
        index = {text: code for code, text in enumerate(categories.to_pylist())}
        missing = np.zeros(len(values), np.bool_) if mask is None else mask
        codes = np.array([0 if null else index[text] for text, null in zip(values.tolist(), missing)], np.int64)
        indices = pa.array(codes, mask=mask).cast(kind.index_type)
        return pa.DictionaryArray.from_arrays(indices, categories, ordered=kind.ordered)
    if pa.types.is_decimal(kind):
        items = [_unscaled(value, kind.scale) for value in values.tolist()]
        return pa.array(_with_nulls(items, mask), kind)
    if pa.types.is_time(kind):
        counts = pa.array(values.view(np.int64), mask=mask)
        return counts.cast(pa.int32() if kind.bit_width == 32 else pa.int64()).cast(kind)
    if values.dtype == object:
        return pa.array(_with_nulls(values.tolist(), mask), kind)
    return pa.array(values, kind, mask=mask)


def _with_nulls(items: list[Any], mask: NDArray[np.bool_] | None) -> list[Any]:
    return items if mask is None else [None if missing else item for item, missing in zip(items, mask.tolist())]


def _unscaled(value: float, scale: int) -> Decimal:
    """The decimal of `scale` places nearest to `value`, as packing it rounds it."""
    return Decimal(round(Decimal(value).scaleb(scale))).scaleb(-scale)


def _type_from_keys(values: NDArray[Any], keys: dict[str, Any]) -> Any:
    formats = {text: kind for kind, text in _TEXT_FORMATS.items()}
    arrow_type = str(keys.get(ARROW_TYPE, ""))
    if CATEGORICAL in keys:
        indices = {text: kind for kind, text in _INDEX_FORMATS.items()}
        index = indices.get(keys.get(ARROW_INDEX, "i"), pa.int32())
        value_type = formats.get(arrow_type, pa.string())
        return pa.dictionary(index, value_type, keys[CATEGORICAL] == "ordered")
    if decimal := _DECIMAL.fullmatch(arrow_type):
        precision, scale, wide = decimal.groups()
        return (pa.decimal256 if wide else pa.decimal128)(int(precision), int(scale))
    if values.dtype.kind == "M":
        return pa.timestamp(np.datetime_data(values.dtype)[0], keys.get(ZONE))
    return pa.from_numpy_dtype(values.dtype)
