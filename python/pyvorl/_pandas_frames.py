"""pandas DataFrames to a `Table` and back (imported only when pandas is used)."""

from __future__ import annotations

import json
import re
from datetime import date, datetime
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]
from numpy.typing import NDArray

from pyvorl._dataframes import (
    ARROW_TYPE,
    CATEGORICAL,
    CATEGORIES,
    INDEX,
    INDEX_NAMES,
    PANDAS_DTYPE,
    PANDAS_ZONE,
    ZONE,
    ConvertedColumn,
    Unstorable,
    make_table,
    reserved_fields,
    reserved_metadata,
    text_array,
    unsupported,
)
from pyvorl._validity import VALIDITY, filled, validity_of
from pyvorl._zones import dateutil_zone, zone_name

if TYPE_CHECKING:
    from pyvorl._table import Table, TextBuffers

# The name pyarrow gives an unnamed index level, and the column of a level not named by a str.
_UNNAMED_LEVEL = re.compile(r"__index_level_\d+__")
# PANDAS_DTYPE of a pd.ArrowDtype column: this prefix and the str of its pyarrow type, told apart
# from the names of pandas' own dtypes, "string[pyarrow]" and "str" among them.
ARROW_DTYPE = "arrow:"
# Index names that JSON gives back as they were.
_INDEX_NAME_TYPES = (str, int, float, bool, type(None))


def to_table(frame: pd.DataFrame) -> Table:
    converted: list[ConvertedColumn] = []
    metadata: dict[str, Any] = {}
    decimals: dict[str, int] = {}
    unstorable: list[tuple[str, str]] = []  # all of them, so that one error names every column to change

    def convert(column: str, series: pd.Series) -> None:
        try:
            values, keys, places = _column(column, series)
        except Unstorable as error:
            unstorable.append((column, str(error)))
            return
        converted.append((column, values, keys))
        if places is not None:
            decimals[column] = places

    if not frame.columns.is_unique:
        raise ValueError(f"column names must be unique, {frame.columns[frame.columns.duplicated()][0]!r} is repeated")
    for label, series in frame.items():
        if not isinstance(label, str):
            raise TypeError(f"column names must be str, got {label!r} ({type(label).__name__})")
        convert(label, series)
    if not _is_default_index(frame.index, len(frame)):
        columns = []
        for level, name in enumerate(frame.index.names):
            if type(name) not in _INDEX_NAME_TYPES:
                kept = "str, int, float, bool or None"
                raise TypeError(f"index level {level}: its name {name!r} is a {type(name).__name__}, not {kept}")
            column = name if isinstance(name, str) else f"__index_level_{level}__"
            if any(column == taken for taken, _, _ in converted):
                raise ValueError(f"index level {column!r} has the name of a column")
            convert(column, pd.Series(frame.index.get_level_values(level), copy=False))
            columns.append(column)
        metadata[INDEX] = json.dumps(columns)
        metadata[INDEX_NAMES] = json.dumps(list(frame.index.names))
    if unstorable:
        raise _refusal(unstorable)
    return make_table(converted, metadata, len(frame), decimals)


def from_table(table: Table) -> pd.DataFrame:
    field_metadata = reserved_fields(table)
    decimals = table.decimals
    series = {name: _column_series(table, name, field_metadata.get(name, {}), decimals.get(name)) for name in table}
    frame = pd.DataFrame(series, copy=False) if series else pd.DataFrame(index=pd.RangeIndex(table.num_rows))
    index = reserved_metadata(table).get(INDEX)
    if isinstance(index, str):
        levels = json.loads(index)
        frame = frame.set_index(levels)
        names = reserved_metadata(table).get(INDEX_NAMES)
        names = json.loads(names) if isinstance(names, str) else None
        if not isinstance(names, list) or len(names) != len(levels):  # a frame written without the names
            names = [None if _UNNAMED_LEVEL.fullmatch(level) else level for level in levels]
        frame.index.names = names
    return frame


def _is_default_index(index: pd.Index, rows: int) -> bool:
    return (isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1 and index.name is None) and len(
        index
    ) == rows


def _column(name: str, series: pd.Series) -> tuple[NDArray[Any], dict[str, Any], int | None]:
    """The stored values of a column, its keys and its decimal places (for Arrow decimals).

    NaN in a float64 column and NaT in a datetime64 or timedelta64 one (tz-aware included) are values
    that the frame carries as they are; pd.NA, NaN, None and NaT in the other dtypes are nulls."""
    dtype = series.dtype
    keys: dict[str, Any] = {}
    if isinstance(dtype, pd.ArrowDtype):
        values, keys, places = _arrow_column(series, dtype)
        return values, {**keys, PANDAS_DTYPE: ARROW_DTYPE + str(dtype.pyarrow_dtype)}, places
    if isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow":
        # pandas' default text dtype holds Arrow strings: read from their buffers, with no str per value
        values, keys, _ = _arrow_column(series, dtype)
        keys.pop(ARROW_TYPE, None)  # pandas' own layout (large or not), which its dtype restores
        return values, {**keys, PANDAS_DTYPE: f"{'str' if dtype.na_value is not pd.NA else 'string'}[pyarrow]"}, None
    if isinstance(dtype, np.dtype) and dtype.kind in "iufbmM":
        return series.to_numpy(copy=False), keys, None
    mask = series.isna().to_numpy()
    if isinstance(dtype, pd.DatetimeTZDtype):
        values = series.dt.tz_convert(None).to_numpy()  # UTC wall time, the stored values
        keys[ZONE] = zone_name(name, dtype.tz)
        if type(dtype.tz).__module__.startswith("dateutil."):
            keys[PANDAS_ZONE] = "dateutil"
        return values, keys, None
    if isinstance(dtype, pd.CategoricalDtype):
        categories = dtype.categories
        if not all(isinstance(category, str) for category in categories):
            raise Unstorable(f"{dtype} with categories that are not all str")
        codes = series.cat.codes.to_numpy()
        values = text_array([""] * len(series))
        values[~mask] = categories.to_numpy(dtype=object)[codes[~mask]]
        keys[CATEGORICAL] = "ordered" if dtype.ordered else "unordered"
        keys[CATEGORIES] = json.dumps(categories.tolist())
    elif isinstance(dtype, pd.StringDtype):
        values = text_array(series.to_numpy(dtype=object).tolist())
        keys[PANDAS_DTYPE] = f"{'str' if dtype.na_value is not pd.NA else 'string'}[{dtype.storage}]"
    elif isinstance(series.array, _MASKED_ARRAYS):
        # Nullable integers, floats and booleans: the NumPy dtype, a fill under each pd.NA.
        values = series.to_numpy(dtype=dtype.numpy_dtype, na_value=False if dtype.kind == "b" else 0)
        keys[PANDAS_DTYPE] = str(dtype)
    elif dtype == np.dtype(object):
        values = _objects(series.to_numpy(dtype=object), mask)
        keys[PANDAS_DTYPE] = "object"
        if values.dtype.kind == "M":
            keys[ARROW_TYPE] = "tdD"  # and "object": datetime.date objects
    else:
        raise Unstorable(str(dtype))
    if (validity := validity_of(mask)) is not None:
        values = filled(values, mask)
        keys[VALIDITY] = validity
    return values, keys, None


def _arrow_column(series: pd.Series, dtype: Any) -> tuple[NDArray[Any], dict[str, Any], int | None]:
    """A pyarrow-backed column through the Arrow intake that every Arrow producer takes."""
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    from pyvorl._arrow_intake import table_from_arrow

    try:
        one = table_from_arrow(pa.table({"c": series.array.__arrow_array__()}))
    except TypeError as error:  # named as pandas names the dtype, with the intake's reason
        message = str(error)
        reason = message[message.index("(") + 1 : message.rindex(")")].removeprefix(str(dtype.pyarrow_dtype))
        raise Unstorable(f"{dtype} ({reason.removeprefix(': ')})" if reason else str(dtype)) from None
    return one["c"], dict(one.schema.fields.get("c", {})), one.decimals.get("c")


def _exported(array: NDArray[Any], keys: dict[str, Any], places: int | None) -> Any:
    """One column through the Arrow export, as a pyarrow ChunkedArray."""
    import pyarrow as pa

    from pyvorl._table import Schema, Table

    one = Table({"c": array}, decimals={} if places is None else {"c": places}, schema=Schema({"c": keys}))
    return pa.table(one).column(0)


def _arrow_series(array: NDArray[Any], keys: dict[str, Any], places: int | None, alias: str) -> pd.Series:
    """A pyarrow-backed column back through the Arrow export, in the type it was recorded as."""
    import pyarrow as pa

    chunk = _exported(array, keys, places)
    try:
        kind = pa.type_for_alias(alias)
    except ValueError:  # types with parameters have no alias; the export rebuilt them from the keys
        kind = chunk.type
    return pd.Series(pd.arrays.ArrowExtensionArray(chunk if chunk.type == kind else chunk.cast(kind)), copy=False)


def _objects(items: NDArray[Any], mask: NDArray[np.bool_]) -> NDArray[Any]:
    """An object column of texts, of bytes or of datetime.date (as datetime64[D]), nulls aside."""
    present = items[~mask].tolist()
    kinds = {type(item) for item in present}
    if kinds and all(issubclass(kind, date) and not issubclass(kind, datetime) for kind in kinds):
        return np.array([None if missing else item for item, missing in zip(items.tolist(), mask)], "datetime64[D]")
    if len(kinds) > 1 or not kinds <= {str, bytes}:
        raise Unstorable(f"object holding {', '.join(sorted(kind.__name__ for kind in kinds))}")
    return text_array([None if missing else item for item, missing in zip(items.tolist(), mask)])


def _refusal(unstorable: list[tuple[str, str]]) -> TypeError:
    if len(unstorable) == 1:
        return unsupported(unstorable[0][0], "pandas", unstorable[0][1])
    listed = ", ".join(f"{column!r} ({dtype})" for column, dtype in unstorable)
    return TypeError(f"columns {listed}: these pandas types cannot be stored in a frame")


def _column_series(table: Table, name: str, keys: dict[str, Any], places: int | None) -> pd.Series:
    restore = keys.get(PANDAS_DTYPE)
    buffers = table._text_buffers(name)
    if buffers is not None and isinstance(restore, str) and restore.endswith("[pyarrow]"):
        return _arrow_strings(buffers, keys.get(VALIDITY), restore.startswith("str["))
    return _series(table[name], keys, table.mask(name), places)


def _arrow_strings(buffers: TextBuffers, validity: bytes | None, nan_nulls: bool) -> pd.Series:
    """A pyarrow-backed str or string column over the decoded buffers, with no str made per value."""
    import pyarrow as pa

    offsets, data, _ = buffers
    bitmap = None if validity is None else pa.py_buffer(validity)
    strings = pa.Array.from_buffers(
        pa.large_string(), len(offsets) - 1, [bitmap, pa.py_buffer(offsets), pa.py_buffer(data)]
    )
    dtype = pd.StringDtype("pyarrow", np.nan if nan_nulls else pd.NA)
    return pd.Series(pd.arrays.ArrowStringArray(strings, dtype=dtype), copy=False)


def _series(
    array: NDArray[Any], keys: dict[str, Any], mask: NDArray[np.bool_] | None, places: int | None = None
) -> pd.Series:
    restore = keys.get(PANDAS_DTYPE)
    if isinstance(restore, str) and restore.startswith(ARROW_DTYPE):
        return _arrow_series(array, keys, places, restore.removeprefix(ARROW_DTYPE))
    if CATEGORICAL in keys:
        categories = json.loads(keys[CATEGORIES]) if CATEGORIES in keys else None
        values = _with_none(array, mask)
        return pd.Series(pd.Categorical(values, categories=categories, ordered=keys[CATEGORICAL] == "ordered"))
    if ZONE in keys:  # NaT under the nulls already
        zone = dateutil_zone(keys[ZONE]) if keys.get(PANDAS_ZONE) == "dateutil" else keys[ZONE]
        return pd.Series(array, copy=False).dt.tz_localize("UTC").dt.tz_convert(zone)
    if restore == "object":  # texts and bytes with None for their nulls, or dates
        return pd.Series(array.astype(object) if array.dtype.kind == "M" else _with_none(array, mask), dtype=object)
    if isinstance(restore, str) and restore.endswith("]"):
        kind, _, storage = restore[:-1].partition("[")
        dtype = pd.StringDtype(storage, np.nan if kind == "str" else pd.NA)
        if storage == "pyarrow":  # from the Arrow export's buffers, with no str per value
            return pd.Series(pd.array(_exported(array, keys, None), dtype=dtype), copy=False)
        strings = pd.Series(array, dtype=dtype)
        return strings if mask is None else strings.mask(mask)
    if isinstance(restore, str):
        dtype = pd.api.types.pandas_dtype(restore)
        if not isinstance(dtype, np.dtype) and issubclass(dtype.construct_array_type(), _MASKED_ARRAYS):
            return pd.Series(_masked(array, mask, dtype), copy=False)
        return pd.Series(array, copy=False).astype(dtype)
    if mask is not None and array.dtype.name in _NULLABLE:
        return pd.Series(_masked(array, mask, pd.api.types.pandas_dtype(_NULLABLE[array.dtype.name])), copy=False)
    if mask is not None and array.dtype == object:  # texts of a peer with nulls
        return pd.Series(_with_none(array, mask))
    return pd.Series(array, copy=False)


# pandas' nullable integers, floats and booleans: NumPy values and a mask of pd.NA.
_MASKED_ARRAYS = (pd.arrays.IntegerArray, pd.arrays.FloatingArray, pd.arrays.BooleanArray)
# The nullable pandas dtype of a NumPy column with nulls that came from another library.
_NULLABLE = {f"{kind.lower()}{bits}": f"{kind}{bits}" for kind in ("Int", "UInt") for bits in (8, 16, 32, 64)}
_NULLABLE |= {"float32": "Float32", "float64": "Float64", "bool": "boolean"}


def _masked(array: NDArray[Any], mask: NDArray[np.bool_] | None, dtype: Any) -> Any:
    """A pandas masked array (Int*, UInt*, Float*, boolean) of `array` with pd.NA under `mask`:
    a NaN that was a value stays one."""
    if mask is None:
        mask = np.zeros(len(array), np.bool_)
    masked: Any = dtype.construct_array_type()(array.astype(dtype.numpy_dtype), mask.copy())
    return masked


def _with_none(array: NDArray[Any], mask: NDArray[np.bool_] | None) -> NDArray[Any]:
    if mask is None:
        return array
    values = array.astype(object)
    values[mask] = None
    return values
