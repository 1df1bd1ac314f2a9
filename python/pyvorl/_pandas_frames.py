"""pandas DataFrames to a `Table` and back (imported only when pandas is used)."""

from __future__ import annotations

import json
import re
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]
from numpy.typing import NDArray

from pyvorl._dataframes import (
    CATEGORICAL,
    CATEGORIES,
    INDEX,
    INDEX_NAMES,
    PANDAS_DTYPE,
    PANDAS_ZONE,
    ZONE,
    ConvertedColumn,
    make_table,
    refuse_nulls,
    reserved_fields,
    reserved_metadata,
    text_array,
    unsupported,
)
from pyvorl._zones import dateutil_zone, zone_name

if TYPE_CHECKING:
    from pyvorl._table import Table

# The name pyarrow gives an unnamed index level, and the column of a level not named by a str.
_UNNAMED_LEVEL = re.compile(r"__index_level_\d+__")
# Index names that JSON gives back as they were.
_INDEX_NAME_TYPES = (str, int, float, bool, type(None))


def to_table(frame: pd.DataFrame) -> Table:
    converted: list[ConvertedColumn] = []
    metadata: dict[str, Any] = {}
    if not frame.columns.is_unique:
        raise ValueError(f"column names must be unique, {frame.columns[frame.columns.duplicated()][0]!r} is repeated")
    for label, series in frame.items():
        if not isinstance(label, str):
            raise TypeError(f"column names must be str, got {label!r} ({type(label).__name__})")
        converted.append(_column(label, series))
    if not _is_default_index(frame.index, len(frame)):
        columns = []
        for level, name in enumerate(frame.index.names):
            if type(name) not in _INDEX_NAME_TYPES:
                kept = "str, int, float, bool or None"
                raise TypeError(f"index level {level}: its name {name!r} is a {type(name).__name__}, not {kept}")
            column = name if isinstance(name, str) else f"__index_level_{level}__"
            if any(column == taken for taken, _, _ in converted):
                raise ValueError(f"index level {column!r} has the name of a column")
            converted.append(_column(column, pd.Series(frame.index.get_level_values(level), copy=False)))
            columns.append(column)
        metadata[INDEX] = json.dumps(columns)
        metadata[INDEX_NAMES] = json.dumps(list(frame.index.names))
    return make_table(converted, metadata, len(frame))


def from_table(table: Table) -> pd.DataFrame:
    field_metadata = reserved_fields(table)
    series = {name: _series(array, field_metadata.get(name, {})) for name, array in table.items()}
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


def _column(name: str, series: Any) -> ConvertedColumn:
    dtype = series.dtype
    keys: dict[str, Any] = {}
    if isinstance(dtype, np.dtype) and dtype.kind in "iufb":
        values = series.to_numpy(copy=False)  # NaN in a float column is a value, not a null
    elif isinstance(dtype, np.dtype) and dtype.kind in "mM":
        refuse_nulls(name, series.isna().to_numpy())
        values = series.to_numpy(copy=False)
    elif isinstance(dtype, pd.DatetimeTZDtype):
        refuse_nulls(name, series.isna().to_numpy())
        values = series.dt.tz_convert(None).to_numpy()  # UTC wall time, the stored values
        keys[ZONE] = zone_name(name, dtype.tz)
        if type(dtype.tz).__module__.startswith("dateutil."):
            keys[PANDAS_ZONE] = "dateutil"
    elif isinstance(dtype, pd.CategoricalDtype):
        refuse_nulls(name, series.isna().to_numpy())
        categories = dtype.categories
        if not all(isinstance(category, str) for category in categories):
            raise unsupported(name, "pandas", f"{dtype} with categories that are not all str")
        values = categories.to_numpy(dtype=object)[series.cat.codes.to_numpy()]
        keys[CATEGORICAL] = "ordered" if dtype.ordered else "unordered"
        keys[CATEGORIES] = json.dumps(categories.tolist())
    elif isinstance(dtype, pd.StringDtype):
        refuse_nulls(name, series.isna().to_numpy())
        values = series.to_numpy(dtype=object)
        keys[PANDAS_DTYPE] = f"{'str' if dtype.na_value is not pd.NA else 'string'}[{dtype.storage}]"
    elif isinstance(dtype, pd.api.extensions.ExtensionDtype) and dtype.kind in "iufb":
        # Nullable integers, floats and booleans: the NumPy dtype without the mask.
        refuse_nulls(name, series.isna().to_numpy())
        values = series.to_numpy(dtype=dtype.numpy_dtype)
        keys[PANDAS_DTYPE] = str(dtype)
    elif dtype == np.dtype(object):
        refuse_nulls(name, series.isna().to_numpy())
        values = text_array(series.tolist())
        keys[PANDAS_DTYPE] = "object"
    else:
        raise unsupported(name, "pandas", dtype)
    return name, values, keys


def _series(array: NDArray[Any], keys: dict[str, Any]) -> pd.Series:
    restore = keys.get(PANDAS_DTYPE)
    if CATEGORICAL in keys:
        categories = json.loads(keys[CATEGORIES]) if CATEGORIES in keys else None
        return pd.Series(pd.Categorical(array, categories=categories, ordered=keys[CATEGORICAL] == "ordered"))
    if ZONE in keys:
        zone = dateutil_zone(keys[ZONE]) if keys.get(PANDAS_ZONE) == "dateutil" else keys[ZONE]
        return pd.Series(array, copy=False).dt.tz_localize("UTC").dt.tz_convert(zone)
    if restore == "object":
        return pd.Series(array, dtype=object, copy=False)
    if isinstance(restore, str) and restore.endswith("]"):
        kind, _, storage = restore[:-1].partition("[")
        return pd.Series(array, dtype=pd.StringDtype(storage, np.nan if kind == "str" else pd.NA))
    if isinstance(restore, str):
        return pd.Series(array, copy=False).astype(restore)
    return pd.Series(array, copy=False)
