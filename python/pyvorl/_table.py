"""pyvorl.Table: an immutable, ordered mapping of column name to 1-D NumPy array,
with the object name, table name and metadata that travel with it in a frame."""

from __future__ import annotations

import shutil
from collections.abc import Iterator, Mapping, Sequence
from html import escape
from typing import Any, NamedTuple, TypeAlias

import numpy as np
from numpy.typing import NDArray

from pyvorl import _codec
from pyvorl._validity import VALIDITY, bitmap_fault, filled, mask_of, validity_of

Scalar: TypeAlias = str | int | float | bool | bytes | np.datetime64 | np.generic
"""A metadata value: str, int, float, bool, bytes or a NumPy scalar of those kinds or datetime64."""
ColumnInput: TypeAlias = NDArray[Any] | Sequence[Any]
Columns: TypeAlias = Mapping[str, ColumnInput] | Sequence[tuple[str, ColumnInput]]
TextBuffers: TypeAlias = tuple[NDArray[np.int64], NDArray[np.uint8], bool]
"""A text (or bytes, is_text False) column as loads decodes it, in Arrow's large layout: int64 offsets of
rows + 1 entries into the UTF-8 data. Arrow consumers take the buffers; the object array of str is made
when the column is first read as an array."""

RESERVED_PREFIX = "pyvorl."
# Table metadata: the row count of a DataFrame without columns, which no column can carry.
ROWS = RESERVED_PREFIX + "rows"
# Field metadata: the places of an empty decimal column, whose body has no room for them.
PLACES = RESERVED_PREFIX + "places"
MAX_DECIMAL_PLACES = 15
FLOAT64_EXACT = 2.0**53  # every integer below this in magnitude is a float64


class Schema(NamedTuple):
    """The "pyvorl."-prefixed keys a table carries beside its user's metadata: what a DataFrame's
    conversion records for its columns (zones, categories, dtypes) and for the table (its index),
    which dumps writes and loads gives back. Made by pyvorl itself; read with `Table.schema`."""

    fields: Mapping[str, Mapping[str, Any]] = {}
    table: Mapping[str, Any] = {}


def as_column(name: str, data: object) -> NDArray[Any]:
    """`data` as a 1-D array: arrays as they are, lists of str or bytes as object arrays."""
    if isinstance(data, np.ndarray):
        array = data
    elif isinstance(data, (list, tuple)) and (not data or isinstance(data[0], (str, bytes)) or data[0] is None):
        array = objects(data)
    else:
        try:
            array = np.asarray(data)
        except (TypeError, ValueError) as error:
            raise ValueError(f"column {name!r}: cannot be read as an array ({error})") from None
        if isinstance(data, (list, tuple)) and array.dtype.kind in "US":
            array = objects(data)
        elif isinstance(data, (list, tuple)) and array.dtype.kind in "fO":
            refuse_unfit_integers(name, data, array)
    if array.ndim != 1:
        raise ValueError(f"column {name!r}: {array.ndim}-D array, expected 1-D")
    return array


def refuse_unfit_integers(name: str, items: Sequence[Any], array: NDArray[Any]) -> None:
    """NumPy turns a list of integers that no one 64-bit dtype holds into floats, rounding them,
    or into objects that no column type takes."""
    if array.dtype.kind == "f" and not (np.abs(array) >= FLOAT64_EXACT).any():
        return  # integers of this size are exact in a float64
    for row, item in enumerate(items):
        if isinstance(item, (int, np.integer)) and not isinstance(item, (bool, np.bool_)):
            number = int(item)
            if not -(2**63) <= number < 2**64:
                raise ValueError(f"column {name!r} row {row}: integer {number} does not fit 64 bits")
            if array.dtype.kind == "f" and float(number) != number:
                raise ValueError(
                    f"column {name!r} row {row}: integer {number} would be rounded in the float64 array "
                    "NumPy makes of this list; give the column as an array of the dtype meant"
                )


def objects(items: Sequence[Any]) -> NDArray[Any]:
    """Texts stay Python objects: NumPy would pad them, drop trailing NULs from bytes,
    and turn numbers mixed in with them into texts."""
    return _codec.objects(items if isinstance(items, list) else list(items))


def column_pairs(columns: object) -> list[tuple[str, Any]]:
    if isinstance(columns, Mapping):
        pairs = list(columns.items())
    elif isinstance(columns, Sequence) and not isinstance(columns, (str, bytes)):
        pairs = []
        for item in columns:
            if not isinstance(item, tuple) or len(item) != 2:
                raise TypeError(f"columns must be (name, column) pairs, not {type(item).__name__}")
            pairs.append(item)
    else:
        raise TypeError(
            "columns must be a mapping of name to column or a sequence of (name, column) pairs, "
            f"not {type(columns).__name__}"
        )
    for name, _ in pairs:
        if not isinstance(name, str):
            raise TypeError(f"column names must be str, not {type(name).__name__}")
    return pairs


def as_mapping(values: object, where: str) -> Mapping[Any, Any]:
    """`values` if it is a mapping, an empty one for None."""
    if values is None:
        return {}
    if not isinstance(values, Mapping):
        raise TypeError(f"{where} must be a mapping, not {type(values).__name__}")
    return values


def checked_metadata(values: Mapping[Any, Any] | None, where: str) -> dict[str, Any]:
    """A copy of user metadata whose keys are str and not reserved."""
    values = as_mapping(values, where)
    for key in values:
        if not isinstance(key, str):
            raise ValueError(f"{where}: key {key!r} is not a str")
        if key.startswith(RESERVED_PREFIX):
            reason = f"keys starting with {RESERVED_PREFIX!r} are pyvorl's own"
            raise ValueError(f"{where}: key {key!r} is reserved ({reason})")
    return dict(values)


def same_scalars(mine: Mapping[str, Any], theirs: Mapping[str, Any]) -> bool:
    """Equal metadata maps, where NaN equals NaN and datetimes compare as instants."""
    if mine.keys() != theirs.keys():
        return False
    for key, value in mine.items():
        other = theirs[key]
        if isinstance(value, (float, np.floating)) and isinstance(other, (float, np.floating)) and value != value:
            if other == other:
                return False
        elif isinstance(value, np.datetime64) and isinstance(other, np.datetime64) and np.isnat(value):
            if not np.isnat(other):
                return False
        elif kind_of(value) != kind_of(other) or value != other:
            return False
    return True


def check_names(obj: object, name: object) -> None:
    if not isinstance(obj, str) or not isinstance(name, str):
        raise TypeError("obj and name must be str")


def recorded_places(column: str, places: object, decimals: Mapping[str, int]) -> int:
    """The places recorded for an empty decimal column; anything else under the key is damage."""
    if column in decimals and type(places) is int and 0 <= places <= MAX_DECIMAL_PLACES:
        return places
    from pyvorl._framing import FrameError

    raise FrameError(0, f"column {column!r}: {PLACES!r} is {places!r:.60}, which is no count of decimal places")


def kind_of(value: object) -> str:
    """The kind a metadata value is stored as: Python and NumPy scalars of one kind compare equal."""
    if isinstance(value, (bool, np.bool_)):
        return "bool"
    if isinstance(value, (int, np.integer)):
        return "int"
    if isinstance(value, (float, np.floating)):
        return "float"
    if isinstance(value, str):  # subclasses too (np.str_): stored as a str
        return "str"
    if isinstance(value, bytes):
        return "bytes"
    return type(value).__name__


def bits(array: NDArray[Any]) -> NDArray[Any] | list[Any]:
    """What equality compares: the bit patterns of fixed-width values, the elements of others."""
    if array.dtype.kind in "OTU":
        elements: list[Any] = array.tolist()
        return elements
    return np.ascontiguousarray(array).view(np.dtype(f"u{array.dtype.itemsize}"))


class Table(Mapping[str, NDArray[Any]]):
    """An immutable, ordered mapping of column name to 1-D NumPy array.

    `obj` and `name` are the object and table names of the frame; `metadata`
    maps str to scalars; `field_metadata` maps a column name to its own such
    map; `decimals` maps a column name to the decimal places it is packed with.

    As for any mapping, len(table) is the number of columns; the number of rows is `num_rows`.
    """

    __slots__ = (
        "_columns",
        "_obj",
        "_name",
        "_metadata",
        "_field_metadata",
        "_decimals",
        "_num_rows",
        "_reserved_fields",
        "_reserved_metadata",
    )
    _columns: dict[str, NDArray[Any] | TextBuffers]

    def __init__(
        self,
        columns: Columns | Table,
        *,
        obj: str = "",
        name: str = "",
        metadata: Mapping[str, Scalar] | None = None,
        field_metadata: Mapping[str, Mapping[str, Scalar]] | None = None,
        decimals: Mapping[str, int] | None = None,
        schema: Schema | None = None,
    ) -> None:
        check_names(obj, name)
        arrays: dict[str, NDArray[Any] | TextBuffers] = {}
        masks: dict[str, NDArray[np.bool_]] = {}
        for column_name, data in column_pairs(columns):
            if column_name in arrays:
                raise ValueError(f"column {column_name!r} appears twice")
            if isinstance(data, np.ma.MaskedArray):
                masks[column_name] = np.ma.getmaskarray(data)
                data = np.ma.getdata(data)
            arrays[column_name] = array = as_column(column_name, data)
            if array.dtype == object and (gaps := _codec.gaps(array)) is not None:
                masks[column_name] = masks[column_name] | gaps if column_name in masks else gaps
        rows = {column_name: len(array) for column_name, array in arrays.items()}
        if len(set(rows.values())) > 1:
            (first, count), *_ = rows.items()
            other = next(column_name for column_name, n in rows.items() if n != count)
            raise ValueError(f"column {other!r} has {rows[other]} rows, column {first!r} has {count}")
        self._columns = arrays
        self._num_rows = next(iter(rows.values()), 0)
        self._obj = obj
        self._name = name
        self._metadata = checked_metadata(metadata, "metadata")
        self._field_metadata: dict[str, dict[str, Any]] = {}
        for column_name, values in as_mapping(field_metadata, "field_metadata").items():
            if column_name not in arrays:
                raise ValueError(f"field_metadata names no column {column_name!r}")
            # An empty map is no metadata, as a frame holds it.
            if checked := checked_metadata(values, f"field metadata of column {column_name!r}"):
                self._field_metadata[column_name] = checked
        self._decimals: dict[str, int] = {}
        for column_name, places in as_mapping(decimals, "decimals").items():
            if column_name not in arrays:
                raise ValueError(f"decimals name no column {column_name!r}")
            if isinstance(places, bool) or not isinstance(places, (int, np.integer)):
                raise TypeError(f"decimal places of column {column_name!r} must be an int, not {type(places).__name__}")
            if not 0 <= places <= MAX_DECIMAL_PLACES:
                raise ValueError(f"column {column_name!r}: decimal places must be from 0 to 15, got {places}")
            self._decimals[column_name] = int(places)
        schema = schema or Schema()
        self._reserved_fields = {column: dict(keys) for column, keys in schema.fields.items() if keys}
        self._reserved_metadata = dict(schema.table)
        for column_name, mask in masks.items():
            self._set_nulls(column_name, mask)
        for column_name, keys in self._reserved_fields.items():
            if VALIDITY in keys and (fault := bitmap_fault(keys[VALIDITY], self._num_rows)):
                raise ValueError(f"column {column_name!r}: {fault}")
        if not arrays:
            self._rows_of_no_columns()

    def _set_nulls(self, column: str, mask: NDArray[np.bool_]) -> None:
        """Fills under the nulls of `mask` and their bitmap beside them; a column without nulls gets none."""
        keys = self._reserved_fields.setdefault(column, {})
        keys.pop(VALIDITY, None)
        if (validity := validity_of(mask)) is not None:
            self._columns[column] = filled(self[column], mask, column in self._decimals)
            keys[VALIDITY] = validity
        if not keys:
            del self._reserved_fields[column]

    @classmethod
    def _decoded(
        cls,
        columns: dict[str, NDArray[Any] | TextBuffers],
        num_rows: int,
        obj: str,
        name: str,
        metadata: dict[str, Any],
        field_metadata: dict[str, dict[str, Any]],
        decimals: dict[str, int],
        reserved_fields: dict[str, dict[str, Any]],
        reserved_metadata: dict[str, Any],
    ) -> Table:
        """A table of what loads decoded. The engine has checked every name, array and value already,
        so nothing is validated or copied again: copies would also double the memory a frame of many
        small fields costs at its peak."""
        table = cls.__new__(cls)
        table._columns = columns
        table._num_rows = num_rows
        table._obj = obj
        table._name = name
        table._metadata = metadata
        table._field_metadata = field_metadata
        table._decimals = decimals
        table._reserved_fields = reserved_fields
        table._reserved_metadata = reserved_metadata
        if not columns:
            table._rows_of_no_columns()
        for column, keys in list(reserved_fields.items()):
            if PLACES in keys:
                decimals[column] = recorded_places(column, keys.pop(PLACES), decimals)
                if not keys:
                    del reserved_fields[column]
            if VALIDITY in keys and (fault := bitmap_fault(keys[VALIDITY], num_rows)):
                from pyvorl._framing import FrameError

                raise FrameError(0, f"column {column!r}: {fault}")
        return table

    def mask(self, name: str) -> NDArray[np.bool_] | None:
        """True where column `name` has no value (its array holds a fill there); None when it has no nulls."""
        if name not in self._columns:
            raise KeyError(name)
        validity = self._reserved_fields.get(name, {}).get(VALIDITY)
        return None if validity is None else mask_of(validity, self._num_rows)

    def _plain_columns(self) -> dict[str, NDArray[Any]] | None:
        """The columns, when they are all that a frame of this table holds besides its names."""
        extra = self._metadata or self._field_metadata or self._decimals
        return None if extra or self._reserved_fields or self._reserved_metadata else self.to_dict()

    @property
    def schema(self) -> Schema:
        """The "pyvorl." keys of the columns and the table, apart from the user's metadata."""
        return Schema(
            {column: dict(keys) for column, keys in self._reserved_fields.items()}, dict(self._reserved_metadata)
        )

    def _rows_of_no_columns(self) -> None:
        # A table without columns keeps its row count under its own key.
        rows = self._reserved_metadata.get(ROWS)
        if not self._columns and isinstance(rows, int) and not isinstance(rows, bool) and rows >= 0:
            self._num_rows = rows

    def to_pandas(self) -> Any:
        """A pandas DataFrame of the columns, with the dtypes, zones, categories and index it was dumped with."""
        from pyvorl._dataframes import to_pandas

        return to_pandas(self)

    def to_polars(self) -> Any:
        """A polars DataFrame of the columns, with the dtypes, zones and categories it was dumped with."""
        from pyvorl._dataframes import to_polars

        return to_polars(self)

    def to_arrow(self) -> Any:
        """A pyarrow Table of the columns, with the types, zones and dictionaries it was dumped with."""
        from pyvorl._dataframes import to_arrow

        return to_arrow(self)

    def __arrow_c_schema__(self) -> Any:
        """The Arrow C schema of the columns, as a struct type (the Arrow PyCapsule interface)."""
        from pyvorl._arrow_export import schema_capsule

        return schema_capsule(self)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> Any:
        """An Arrow C stream of one record batch of the columns; fixed-width columns are lent, not copied.
        The requested schema is not followed (the interface allows that): the columns go as they are."""
        from pyvorl._arrow_export import stream_capsule

        return stream_capsule(self)

    def __getitem__(self, key: str) -> NDArray[Any]:
        column = self._columns[key]
        if isinstance(column, tuple):  # made once, on first reading
            column = self._columns[key] = _codec.texts_from_arrow(*column)
        return column

    def __contains__(self, key: object) -> bool:
        return key in self._columns  # without making a column's objects, as Mapping's would

    def _text_buffers(self, name: str) -> TextBuffers | None:
        """Column `name` in Arrow's large layout, while it has not been read as an array."""
        column = self._columns[name]
        return column if isinstance(column, tuple) else None

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __len__(self) -> int:
        return len(self._columns)

    @property
    def obj(self) -> str:
        return self._obj

    @property
    def name(self) -> str:
        return self._name

    @property
    def metadata(self) -> dict[str, Any]:
        return dict(self._metadata)

    @property
    def field_metadata(self) -> dict[str, dict[str, Any]]:
        return {column: dict(values) for column, values in self._field_metadata.items()}

    @property
    def decimals(self) -> dict[str, int]:
        return dict(self._decimals)

    @property
    def num_rows(self) -> int:
        return self._num_rows

    @property
    def column_names(self) -> list[str]:
        return list(self._columns)

    def to_dict(self) -> dict[str, NDArray[Any]]:
        return {name: self[name] for name in self._columns}

    def equals(self, other: object) -> bool:
        """Same names, metadata, column order, dtypes, nulls and values, bit for bit (NaN payloads included)."""
        if not isinstance(other, Table):
            return False
        mine = (self._obj, self._name, self._decimals, self.column_names, self._field_metadata.keys())
        if mine != (other._obj, other._name, other._decimals, other.column_names, other._field_metadata.keys()):
            return False
        if not same_scalars(self._metadata, other._metadata):
            return False
        if not all(same_scalars(values, other._field_metadata[name]) for name, values in self._field_metadata.items()):
            return False
        for column, array in self.items():
            my_mask, their_mask = self.mask(column), other.mask(column)
            if my_mask is None or their_mask is None:
                if my_mask is not their_mask:
                    return False
            elif not np.array_equal(my_mask, their_mask):
                return False
            theirs = other[column]
            if array.dtype != theirs.dtype or len(array) != len(theirs):
                return False
            my_bits, their_bits = bits(array), bits(theirs)
            if isinstance(my_bits, list) or isinstance(their_bits, list):
                if my_bits != their_bits:
                    return False
            elif not np.array_equal(my_bits, their_bits):
                return False
        return True

    def __eq__(self, other: object) -> bool:
        return self.equals(other)

    __hash__ = None  # type: ignore[assignment]

    def __array__(self, dtype: object = None, copy: object = None) -> NDArray[Any]:
        # pandas and NumPy take any other iterable as a list of its items, which for a mapping are
        # the column names: pd.DataFrame(table) would be a frame of names, np.asarray(table) an array of them.
        raise TypeError(
            "a pyvorl.Table is a mapping of named columns, not an array: "
            "use table.to_pandas() for a DataFrame, or table[name] for one column"
        )

    def _cells(self, rows: int) -> list[list[str]]:
        """Each column as its quoted name, its dtype and its first `rows` values, nulls as the null marker."""
        cells = []
        for name, array in self.items():
            missing = self.mask(name)
            missing = np.zeros(rows, np.bool_) if missing is None else missing[:rows]
            values = [_NULL if null else _cell(value) for value, null in zip(array[:rows], missing)]
            cells.append([repr(name), str(array.dtype), *values])
        return cells

    def _head(self) -> str:
        rows, columns = self._num_rows, len(self._columns)
        return f"pyvorl.Table obj={self._obj!r} name={self._name!r}: {rows} rows x {columns} columns"

    def __repr__(self) -> str:
        shown = min(self._num_rows, _REPR_ROWS)
        cells = self._cells(shown)
        widths = [max(map(len, column)) for column in cells]
        room, kept = shutil.get_terminal_size().columns, 0
        for width in widths:  # the first column always, then as many as the terminal holds
            room -= width + 2 * bool(kept)
            if kept and room < 0:
                break
            kept += 1
        lines = [
            "  ".join(column[row].ljust(width) for column, width in zip(cells[:kept], widths)).rstrip()
            for row in range(2 + shown if cells else 0)
        ]
        if self._num_rows > shown:
            lines.append(f"... {self._num_rows - shown} more rows")
        if kept < len(cells):
            lines.append(f"... {len(cells) - kept} more columns")
        return "\n".join([self._head(), *lines])

    def _repr_html_(self) -> str:
        """The first rows as an HTML table, for notebooks."""
        shown = min(self._num_rows, _HTML_ROWS)
        cells = self._cells(shown)
        head = "".join(f"<th>{escape(column[0])}<br><small>{escape(column[1])}</small></th>" for column in cells)
        rows = ("".join(f"<td>{escape(column[2 + row])}</td>" for column in cells) for row in range(shown))
        body = "".join(f"<tr>{row}</tr>" for row in rows)
        more = f"<p>... {self._num_rows - shown} more rows</p>" if self._num_rows > shown else ""
        return f"<p>{escape(self._head())}</p><table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>{more}"


_REPR_ROWS = 5
_HTML_ROWS = 10
_NULL = "<null>"  # never what _cell gives a value: texts are quoted


def _cell(value: object) -> str:
    # Texts are quoted, so that empty ones and control characters stay visible.
    text = repr(value) if isinstance(value, (str, bytes)) else str(value)
    return text if len(text) <= 24 else text[:21] + "..."
