"""DataFrames in and out: pandas, polars and pyarrow tables to a `Table` and back.

The three libraries are optional. A DataFrame is recognised by the module of
its type, so that none of them is imported just to find out that an object is
not one of theirs; the converters live in one module per library.

What a frame cannot express by dtype alone travels in field and table
metadata under "pyvorl." keys (listed below), so that each library gets back
the column types it gave.
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable
from types import ModuleType
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from pyvorl._table import Table

# Field metadata: the zone of a tz-aware datetime column, stored as UTC.
ZONE = "pyvorl.timezone"
# Field metadata: "ordered" or "unordered" for a categorical column of texts,
# stored as its values; the categories, in order, as a JSON list when the
# library fixes them (pandas, polars Enum, arrow dictionaries).
CATEGORICAL = "pyvorl.categorical"
CATEGORIES = "pyvorl.categories"
# Field metadata: the pandas dtype to restore (nullable and string dtypes, object); for a
# pd.ArrowDtype column "arrow:" and its pyarrow type ("arrow:date32[day]"), which no name of
# pandas' own dtypes starts with ("string[pyarrow]" is a StringDtype).
PANDAS_DTYPE = "pyvorl.pandas_dtype"
# Field metadata: "dateutil" when pandas had the zone of the column from dateutil.
PANDAS_ZONE = "pyvorl.pandas_zone"
# Field metadata: the Arrow C data interface format string of the type a column came as, where the
# array alone would go out as another ("tdD" for date32, "ttu" for time64[us], "d:10,2" for a
# decimal128, "U" for large_string, "vu" for string_view); for a dictionary, its value type.
ARROW_TYPE = "pyvorl.arrow_type"
# Field metadata: the format string of a dictionary column's index type ("c", "s", "i", "l", ...).
ARROW_INDEX = "pyvorl.arrow_index"
# Table metadata: a JSON list of the columns that hold a pandas index, level by level,
# and one of the names of the levels (str, int, float, bool or null).
INDEX = "pyvorl.index"
INDEX_NAMES = "pyvorl.index_names"

# A column taken from a DataFrame: its name, its values and its "pyvorl." field keys.
ConvertedColumn: TypeAlias = tuple[str, NDArray[Any], dict[str, Any]]

# (module of the DataFrame type, its class name) -> converter module and library name
_KINDS = {
    ("pandas", "DataFrame"): ("pyvorl._pandas_frames", "pandas"),
    ("polars", "DataFrame"): ("pyvorl._polars_frames", "polars"),
    ("pyarrow", "Table"): ("pyvorl._arrow_frames", "pyarrow"),
}


def table_from_dataframe(obj: object) -> Table | None:
    """A `Table` holding the columns of a pandas or polars DataFrame or a
    pyarrow Table; None for any other object."""
    for kind in type(obj).__mro__:  # subclasses of a DataFrame are DataFrames
        converter = _KINDS.get((kind.__module__.partition(".")[0], kind.__name__))
        if converter is not None:
            table: Table = importlib.import_module(converter[0]).to_table(obj)
            return table
    return None


def to_pandas(table: Table) -> Any:
    return _converter("to_pandas", "pandas", "pyvorl._pandas_frames").from_table(table)


def to_polars(table: Table) -> Any:
    return _converter("to_polars", "polars", "pyvorl._polars_frames").from_table(table)


def to_arrow(table: Table) -> Any:
    return _converter("to_arrow", "pyarrow", "pyvorl._arrow_frames", extra="arrow").from_table(table)


def _converter(method: str, library: str, module: str, extra: str | None = None) -> ModuleType:
    try:
        importlib.import_module(library)
    except ImportError as error:
        message = f"{method} needs {library}: pip install pyvorl[{extra or library}]"
        raise ImportError(message, name=library) from error
    return importlib.import_module(module)


class Unstorable(TypeError):
    """A column type that no column of a frame holds; the message names the type."""


def unsupported(name: str, library: str, dtype: object) -> TypeError:
    return TypeError(f"column {name!r}: the {library} type {dtype} cannot be stored in a frame")


def make_table(
    converted: Iterable[ConvertedColumn], metadata: dict[str, Any], rows: int, decimals: dict[str, int] | None = None
) -> Table:
    """A Table of converted columns carrying their "pyvorl." keys, which dumps writes beside the user's own;
    `decimals` are the places of the columns that came as decimals."""
    from pyvorl._table import ROWS, Schema, Table

    columns: dict[str, NDArray[Any]] = {}
    field_metadata: dict[str, dict[str, Any]] = {}
    for name, values, keys in converted:
        columns[name] = values
        if keys:
            field_metadata[name] = keys
    if not columns and rows:
        metadata = {**metadata, ROWS: rows}
    return Table(columns, decimals=decimals, schema=Schema(field_metadata, metadata))


def reserved_fields(table: Table) -> dict[str, dict[str, Any]]:
    """The "pyvorl." field metadata of a table, column by column."""
    return {column: dict(keys) for column, keys in table.schema.fields.items()}


def reserved_metadata(table: Table) -> dict[str, Any]:
    return dict(table.schema.table)


def text_array(values: list[Any]) -> NDArray[Any]:
    """An object array of `values`; np.array would make a 2-D array of a list of bytes."""
    array = np.empty(len(values), dtype=object)
    array[:] = values
    return array
