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
    PANDAS_DTYPE,
    ZONE,
    make_table,
    refuse_nulls,
    reserved_fields,
    reserved_metadata,
    text_array,
    timezone_name,
    unsupported,
)

if TYPE_CHECKING:
    from pyvorl._table import Table

# The name pyarrow gives an unnamed index level; such a level comes back unnamed.
_UNNAMED_LEVEL = re.compile(r"__index_level_\d+__")


def to_table(frame: pd.DataFrame) -> Table:
    columns: dict[str, NDArray[Any]] = {}
    field_metadata: dict[str, dict[str, Any]] = {}
    metadata: dict[str, Any] = {}
    if not frame.columns.is_unique:
        raise ValueError(f"column names must be unique, {frame.columns[frame.columns.duplicated()][0]!r} is repeated")
    for label, series in frame.items():
        if not isinstance(label, str):
            raise TypeError(f"column names must be str, got {label!r} ({type(label).__name__})")
        _add(columns, field_metadata, label, series)
    if not _is_default_index(frame.index, len(frame)):
        names = []
        for level, name in enumerate(frame.index.names):
            column = f"__index_level_{level}__" if name is None else str(name)
            if column in columns:
                raise ValueError(f"index level {column!r} has the name of a column")
            _add(columns, field_metadata, column, pd.Series(frame.index.get_level_values(level), copy=False))
            names.append(column)
        metadata[INDEX] = json.dumps(names)
    return make_table(columns, field_metadata, metadata)


def from_table(table: Table) -> pd.DataFrame:
    field_metadata = reserved_fields(table)
    series = {name: _series(array, field_metadata.get(name, {})) for name, array in table.items()}
    frame = pd.DataFrame(series, copy=False) if series else pd.DataFrame(index=pd.RangeIndex(table.num_rows))
    index = reserved_metadata(table).get(INDEX)
    if isinstance(index, str):
        levels = json.loads(index)
        frame = frame.set_index(levels)
        frame.index.names = [None if _UNNAMED_LEVEL.fullmatch(level) else level for level in levels]
    return frame


def _is_default_index(index: pd.Index, rows: int) -> bool:
    return (isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1 and index.name is None) and len(
        index
    ) == rows


def _add(columns: dict[str, NDArray[Any]], field_metadata: dict[str, dict[str, Any]], name: str, series: Any) -> None:
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
        keys[ZONE] = timezone_name(dtype.tz)
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
    columns[name] = values
    if keys:
        field_metadata[name] = keys


def _series(array: NDArray[Any], keys: dict[str, Any]) -> pd.Series:
    restore = keys.get(PANDAS_DTYPE)
    if CATEGORICAL in keys:
        categories = json.loads(keys[CATEGORIES]) if CATEGORIES in keys else None
        return pd.Series(pd.Categorical(array, categories=categories, ordered=keys[CATEGORICAL] == "ordered"))
    if ZONE in keys:
        return pd.Series(array, copy=False).dt.tz_localize("UTC").dt.tz_convert(keys[ZONE])
    if restore == "object":
        return pd.Series(array, dtype=object, copy=False)
    if isinstance(restore, str) and restore.endswith("]"):
        kind, _, storage = restore[:-1].partition("[")
        return pd.Series(array, dtype=pd.StringDtype(storage, np.nan if kind == "str" else pd.NA))
    if isinstance(restore, str):
        return pd.Series(array, copy=False).astype(restore)
    return pd.Series(array, copy=False)
