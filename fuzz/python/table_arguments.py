"""Calls of pyvorl.dumps built from fuzzer choices, each with what should come of it.

Every part of a call is built together with its model: the array that loads must
give back for a column, a reason the whole call must be refused, or neither where
the outcome is the library's own choice (the dtype of an empty list, a decimal
near its limit). A call with no refusal and nothing left to the library must
succeed.
"""

import types

import atheris
import numpy as np

from argument_builder import IntKind, RaisesEverywhere, TextKind, Unexpected, exact_text
from pyvorl import Table

# What dumps may raise for a call it refuses; Unexpected is the caller's own object failing.
REFUSALS = (TypeError, ValueError, Unexpected)
TIME_UNITS = ("s", "ms", "us", "ns", "m", "h", "D", "W")
NUMBERS = [f"{kind}{size}" for kind in "iu" for size in (1, 2, 4, 8)] + ["f2", "f4", "f8", "?"]
TIMES = [f"{kind}8[{unit}]" for kind in "Mm" for unit in TIME_UNITS]
ROUND_TRIPPING = [np.dtype(name) for name in NUMBERS + TIMES]
ROUND_TRIPPING += [dtype.newbyteorder() for dtype in ROUND_TRIPPING if dtype.itemsize > 1]
REFUSED_DTYPES = [
    np.dtype(name)
    for name in ("c8", "c16", "clongdouble", "longdouble", "S3", "V4", "M8[Y]", "M8[M]", "M8[ps]")
    + ("M8[as]", "M8", "M8[10ms]", "M8[2us]", "m8[Y]", "m8", "m8[5ns]", ">c16", "i4,u1")
]
D64_LIMIT = 2.0**56
METADATA_SCALARS = [np.int8, np.uint16, np.int64, np.uint64, np.float16, np.float32, np.float64, np.bool_]
BAD_METADATA_VALUES = [None, bytearray(b"x"), memoryview(b"x"), [1], {"a": 1}, object(), 1j, np.complex64(1)]
BAD_METADATA_VALUES += [np.timedelta64(1, "s"), np.void(b"x"), 1 << 64, -(1 << 63) - 1, 1 << 70]
ODD_OBJECTS = [None, 1, b"x", "ab", 2.5, {"a": 1}]
DECIMAL_CHARACTERS = list("0123456789.-")
UNKNOWN = ("unknown",)  # a column that may or may not take decimals
MISSING = "missing:"  # longer than any generated name, so it names no column


def object_array(items):
    array = np.empty(len(items), dtype=object)
    array[:] = list(items)
    return array


class Column:
    """One column as given, and what loads should give back for it."""

    def __init__(self, data, length, expected=None, refusal=None):
        self.data = data
        self.length = length  # None when the data has no row count
        self.expected = expected  # the array loads must return, or None where not modelled
        self.refusal = refusal  # why dumps must refuse the column, or None
        # Where decimals may apply: ("float", float64 values, epsilon, dtype), ("text", texts) or UNKNOWN.
        self.decimal_source = None
        self.needs_decimals = False  # refused unless given decimals (longdouble)
        self.nulls = None  # True where the column holds a null, or None

    def with_decimals(self, source):
        self.decimal_source = source
        return self


class DumpsCall:
    """One call of dumps: `run` makes it; `refusals`, `certain` and `expected_table` say what should come of it."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.rows = self.fdp.ConsumeIntInRange(0, 12)
        self.refusals = []
        self.unmodelled = []
        self.columns = {}  # exact name -> Column, in the order dumps sees them
        self.decimal_places = {}  # exact name -> places, for the columns given decimals
        self.build()

    # ---- choices -----------------------------------------------------------------------

    def pick(self, count):
        return self.fdp.ConsumeIntInRange(0, count - 1)

    def chance(self, percent):
        return self.fdp.ConsumeIntInRange(0, 99) < percent

    def refuse(self, reason):
        self.refusals.append(reason)

    def leave(self, what):
        self.unmodelled.append(what)

    def held(self, make):
        """make() and the refusals it made, which count only if what it made is used."""
        before = len(self.refusals)
        value = make()
        reasons = self.refusals[before:]
        del self.refusals[before:]
        return value, reasons

    @property
    def certain(self):
        return not self.refusals and not self.unmodelled

    def text(self, why):
        """A str, at times with a lone surrogate, which UTF-8 cannot hold."""
        length = self.fdp.ConsumeIntInRange(0, 6)
        if self.chance(95):
            return self.fdp.ConsumeUnicodeNoSurrogates(length)
        self.refuse(f"lone surrogate in {why}")
        return self.fdp.ConsumeUnicodeNoSurrogates(length) + "\udc80"

    def some_text(self, why):
        """A str or a str of another class that loads gives back as a plain str."""
        choice = self.pick(10)
        if choice == 2:
            digits = "".join(self.fdp.PickValueInList(DECIMAL_CHARACTERS) for _ in range(self.pick(20)))
            return self.fdp.PickValueInList([digits, f" {digits}", "nan", "-inf", "1e5", "+1", ""])
        text = self.text(why)
        return TextKind(text) if choice == 0 else np.str_(text) if choice == 1 else text

    # ---- columns -----------------------------------------------------------------------

    def length(self):
        return self.rows if self.chance(95) else self.fdp.ConsumeIntInRange(0, 12)

    def column(self):
        choice = self.pick(20)
        if choice < 9:
            return self.array_column()
        if choice < 15:
            return self.list_column()
        if choice < 18:
            return self.text_array_column()
        if choice == 18:
            self.leave("what NumPy makes of a range")
            return Column(range(self.rows), self.rows).with_decimals(UNKNOWN)
        return Column(self.fdp.PickValueInList(ODD_OBJECTS + [RaisesEverywhere(), object()]), None, refusal="odd")

    def raw_values(self, dtype, length):
        if dtype.kind == "f" and self.chance(50):
            # Values a decimal column can hold, so that decimals reach the encoder.
            scale = 10.0 ** self.fdp.ConsumeIntInRange(0, 6)
            values = [self.fdp.ConsumeIntInRange(-(10**9), 10**9) / scale for _ in range(length)]
            with np.errstate(over="ignore"):
                return np.array(values).astype(dtype)
        raw = self.fdp.ConsumeBytes(length * dtype.itemsize).ljust(length * dtype.itemsize, b"\0")
        return np.frombuffer(raw, dtype=dtype).copy()

    def array_column(self):
        refused = self.chance(15)
        dtype = self.fdp.PickValueInList(REFUSED_DTYPES if refused else ROUND_TRIPPING)
        length = self.length()
        values = self.raw_values(dtype, length)
        expected = None if refused else values.astype(dtype.newbyteorder("="))
        if dtype == np.bool_:
            expected = values.view(np.uint8) != 0  # any nonzero byte is True
        column = self.laid_out(values, expected, "unsupported dtype" if refused else None)
        if dtype.kind != "f" or column.refusal not in (None, "unsupported dtype"):
            return column
        if refused:  # longdouble: a float column where decimals make it float64, and refused elsewhere
            column.refusal, column.needs_decimals = None, True
        epsilon = max(np.finfo(dtype).eps, np.finfo(np.float64).eps)
        with np.errstate(invalid="ignore"):
            return column.with_decimals(("float", values.astype(np.float64), epsilon, dtype.newbyteorder("=")))

    def laid_out(self, values, expected, refusal):
        """The same values in one of the layouts NumPy can give them."""
        length = len(values)
        layout = self.pick(14)
        if layout == 0:
            return Column(values.reshape(-1, 1) if self.chance(50) else values.reshape(1, -1), length, refusal="2-D")
        if layout == 1:
            return Column(values[:1].reshape(()) if length else np.zeros((), values.dtype), None, refusal="0-d")
        if layout == 2:
            return Column(np.asfortranarray(np.resize(values, (2, 3))), 2, refusal="2-D")
        if layout == 3:
            wide = np.empty(length * 3, values.dtype)
            wide[::3] = values
            values = wide[::3]
        elif layout == 4:
            values = values[::-1].copy()[::-1]
        elif layout == 5 and values.dtype.kind not in "OT":
            values = np.frombuffer(bytes(1) + values.tobytes(), values.dtype, count=length, offset=1)
        elif layout == 6 and values.dtype.kind not in "OT":
            values = values.byteswap().view(values.dtype.newbyteorder())
        elif layout == 7:
            values.setflags(write=False)
        elif layout == 8:
            values = values.view(type("SubArray", (np.ndarray,), {}))
        elif layout == 9:
            values = np.stack([values, values], axis=1)[:, 1]
        return Column(values, length, expected, refusal)

    def list_items(self):
        length = self.length()
        makers = [
            lambda: self.some_text("a text"),
            lambda: self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 5)),
            lambda: self.fdp.ConsumeIntInRange(-(1 << 63), (1 << 63) - 1),
            lambda: self.fdp.ConsumeFloat(),
            lambda: self.fdp.ConsumeBool(),
            lambda: self.fdp.ConsumeIntInRange(-(1 << 64), 1 << 65),
            lambda: [self.fdp.ConsumeInt(2) for _ in range(self.pick(3) + 1)],
        ]
        make = self.fdp.PickValueInList(makers)
        if self.chance(80):
            return [make() for _ in range(length)]
        extras = [None, 1, 1.5, b"x", "x", True, RaisesEverywhere(), ["x"]]
        return [make() if self.chance(70) else self.fdp.PickValueInList(extras) for _ in range(length)]

    def list_column(self):
        items = self.list_items()
        column = Column(tuple(items) if self.chance(10) else items, len(items))
        if not items:
            self.leave("the dtype of an empty list")
            return column.with_decimals(("text", []))
        gap = lambda item: item is None or (type(item) is float and item != item)  # noqa: E731
        texts_among = any(isinstance(item, (str, bytes)) for item in items)
        if any(isinstance(item, (RaisesEverywhere, list)) for item in items):
            column.refusal = "a list holding items of no column"
        elif any(item is None for item in items) or (texts_among and any(map(gap, items))):
            # None, and NaN beside texts, are nulls of a text or bytes column
            present = [item for item in items if not gap(item)]
            nulls = np.array([gap(item) for item in items])
            if all(isinstance(item, str) for item in present):
                texts = [None if gap(item) else exact_text(item) for item in items]
                column.expected, column.nulls = object_array(texts), nulls
                column.decimal_source = ("text", ["0" if text is None else text for text in texts])
            elif all(isinstance(item, bytes) for item in present):
                column.expected, column.nulls = object_array([None if gap(item) else item for item in items]), nulls
            else:
                column.refusal = "a list holding items of no column"
        elif all(isinstance(item, str) for item in items):
            texts = [exact_text(item) for item in items]
            column.expected = object_array(texts)
            column.decimal_source = ("text", texts)
        elif all(isinstance(item, bytes) for item in items):
            column.expected = object_array(items)
        elif any(isinstance(item, (str, bytes)) for item in items):
            column.refusal = "texts mixed with other items"
        elif any(type(item) is int and not -(1 << 63) <= item < 1 << 64 for item in items):
            column.refusal = "an integer beyond 64 bits"
        elif all(type(item) is int and -(1 << 63) <= item < 1 << 63 for item in items):
            column.expected = np.array(items, dtype=np.int64)
        elif all(type(item) is bool for item in items):
            column.expected = np.array(items)
        elif all(type(item) is float for item in items):
            column.expected = np.array(items)
            column.decimal_source = ("float", column.expected, np.finfo(np.float64).eps, np.dtype(np.float64))
        else:
            self.leave("what NumPy makes of a list of mixed numbers")
            column.decimal_source = UNKNOWN
        return column

    def text_array_column(self):
        length = self.length()
        choice = self.pick(4)
        if choice == 2:
            items = [self.fdp.ConsumeBytes(3) for _ in range(length)]
            column = Column(object_array(items), length, object_array(items))
            return column if items else column.with_decimals(UNKNOWN)  # no item tells texts from bytes
        texts = [exact_text(self.some_text("a text")) for _ in range(length)]
        if choice == 0:
            values = np.array(texts, dtype=f"U{max(1, *map(len, texts), 1)}")
            texts = values.tolist()  # a <U array keeps no trailing NULs
        elif choice == 1 and not any("\udc80" in text for text in texts):
            values = np.array(texts, dtype=np.dtypes.StringDType())
        else:
            values = object_array(texts)
            if length and self.chance(20):
                row = self.pick(length)
                item = self.fdp.PickValueInList([None, float("nan"), 1, 1.5, RaisesEverywhere()])
                if "\udc80" in texts[row]:
                    item = 1  # a null would take the place of a text whose surrogate is already a refusal
                values[row] = item
                if item is not None and not (type(item) is float and item != item):
                    return Column(values, length, refusal="a non-text item in a text column")
                # None and NaN are nulls: "" under them, or 0 in a decimal column
                column = Column(values, length, object_array(texts[:row] + [""] + texts[row + 1 :]))
                column.nulls = np.arange(length) == row
                return column.with_decimals(("text", texts[:row] + ["0"] + texts[row + 1 :]))
        expected = object_array(texts)
        return self.laid_out(values, expected, None).with_decimals(("text", texts))

    # ---- names, decimals, metadata -----------------------------------------------------

    def name(self):
        choice = self.pick(24)
        if choice == 0:
            self.refuse("a name that is not a str")
            return self.fdp.PickValueInList([None, 1, b"a", RaisesEverywhere()])
        return self.some_text("a name") if choice > 3 or not self.columns else self.fdp.PickValueInList(self.names())

    def names(self):
        return list(self.columns)

    def pairs(self):
        """(name, Column) in the order given; self.columns keeps the last column of a name, as a dict does."""
        pairs = []
        for _ in range(self.fdp.ConsumeIntInRange(0, 4)):
            name = self.name()
            column, refusals = self.held(self.column)
            column.refusal = column.refusal or next(iter(refusals), None)  # counted only if the column is kept
            if isinstance(name, str):
                self.columns[exact_text(name)] = column
            pairs.append((name, column))
        return pairs

    def check_columns(self, columns):
        lengths = {column.length for column in columns if column.length is not None}
        if len(lengths) > 1:
            self.refuse("columns of different lengths")
        for column in columns:
            if column.refusal:
                self.refuse(column.refusal)

    def places(self):
        choice = self.pick(12)
        if choice < 7:
            return self.fdp.ConsumeIntInRange(0, 15)
        if choice == 7:
            return self.fdp.PickValueInList([np.int64, np.uint8, IntKind])(self.fdp.ConsumeIntInRange(0, 15))
        if choice < 10:
            self.refuse("places out of range")
            return self.fdp.PickValueInList([16, -1, 1 << 64, 1 << 70, -(1 << 70), np.int64(-3)])
        self.refuse("places that are not an int")
        return self.fdp.PickValueInList([2.0, "2", None, True, np.bool_(True), RaisesEverywhere()])

    def decimals(self):
        """A decimals argument; None stands for leaving it out."""
        choice = self.pick(10)
        if choice < 4:
            return None
        if choice == 4:
            self.refuse("decimals that are not a mapping")
            return self.fdp.PickValueInList([[("a", 2)], "a", 3])
        decimals, refusals = {}, {}
        for _ in range(self.fdp.ConsumeIntInRange(0, 3)):
            if self.columns and self.chance(85):
                key = self.fdp.PickValueInList(self.names())
            else:
                self.refuse("decimals for a column that is not there")
                key = self.fdp.PickValueInList([MISSING + self.text("a decimals key"), 1, None])
            decimals[key], refusals[key] = self.held(self.places)  # a repeated key keeps its last places
        self.refusals.extend(reason for reasons in refusals.values() for reason in reasons)
        return decimals

    def metadata_value(self):
        choice = self.pick(16)
        if choice < 4:
            return self.some_text("a metadata value")
        values = [
            lambda: self.fdp.ConsumeIntInRange(-(1 << 63), (1 << 64) - 1),
            lambda: self.fdp.ConsumeFloat(),
            lambda: self.fdp.ConsumeBool(),
            lambda: self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 5)),
            lambda: np.datetime64(self.fdp.ConsumeIntInRange(-(10**12), 10**12), self.fdp.PickValueInList(["s", "us"])),
            lambda: np.datetime64(self.fdp.ConsumeIntInRange(-(10**6), 10**6), self.fdp.PickValueInList(["D", "m"])),
            lambda: self.fdp.PickValueInList([np.datetime64("NaT"), np.datetime64("NaT", "ms")]),
            lambda: self.fdp.PickValueInList(METADATA_SCALARS)(self.fdp.ConsumeIntInRange(0, 100)),
            lambda: np.bytes_(self.fdp.ConsumeBytes(3)),
        ]
        if choice < 4 + len(values):
            return values[choice - 4]()
        if choice == 13:
            # Whether a datetime holds whole microseconds decides whether it is kept or refused.
            self.leave("a datetime of nanoseconds")
            return np.datetime64(self.fdp.ConsumeIntInRange(-(10**18), 10**18), "ns")
        self.refuse("a metadata value of no stored kind")
        return self.fdp.PickValueInList(BAD_METADATA_VALUES + [RaisesEverywhere()])

    def metadata_key(self):
        choice = self.pick(16)
        if choice < 12:
            return self.some_text("a metadata key")
        self.refuse("a metadata key that is reserved or not a str")
        return self.fdp.PickValueInList(["pyvorl.dtype", "pyvorl.", "pyvorl.rows", 1, None, b"k"])

    def metadata(self, where):
        """A metadata argument, and the refusals each of its values brings, by key."""
        choice = self.pick(10)
        if choice < 4:
            return None, {}
        if choice == 4:
            self.refuse(f"{where} that is not a mapping")
            return self.fdp.PickValueInList([[("k", 1)], "k", 3]), {}
        values, refusals = {}, {}
        for _ in range(self.fdp.ConsumeIntInRange(0, 3)):
            key = self.metadata_key()
            values[key], refusals[key] = self.held(self.metadata_value)
        if self.chance(10) and where == "metadata":
            self.refuse("the object or table name given as metadata")
            values[self.fdp.PickValueInList(["obj", "table"])] = "x"
        return values, refusals

    def field_metadata(self):
        choice = self.pick(8)
        if choice < 3:
            return None
        if choice == 3:
            self.refuse("field_metadata that is not a mapping")
            return [("a", {})]
        fields, refusals = {}, {}
        for _ in range(self.fdp.ConsumeIntInRange(0, 2)):
            if self.columns and self.chance(90):
                key = self.fdp.PickValueInList(self.names())
            else:
                self.refuse("field_metadata for a column that is not there")
                key = MISSING + self.text("a field_metadata key")
            (fields[key], by_key), refusals[key] = self.held(
                lambda where=f"field metadata of {key!r}": self.metadata(where)
            )
            refusals[key] += [reason for reasons in by_key.values() for reason in reasons]
        self.refusals.extend(reason for reasons in refusals.values() for reason in reasons)  # of the maps kept
        return fields

    def given_name(self, why, used=True):
        """obj or name: a str, or something else that must be refused."""
        if self.chance(90):
            text, refusals = self.held(lambda: self.some_text(why))
            if used:
                self.refusals.extend(refusals)
            return text
        self.refuse(f"{why} that is not a str")
        return self.fdp.PickValueInList([None, 1, b"x", 0, RaisesEverywhere()])

    # ---- the call ----------------------------------------------------------------------

    def build(self):
        pairs = self.pairs()
        data = [(name, column.data) for name, column in pairs]
        self.options = {}
        for option in ("obj", "name"):
            if self.chance(50):
                self.options[option] = self.given_name(option)
        self.options["decimals"] = self.decimals()
        metadata, metadata_refusals = self.metadata("metadata")
        self.options["metadata"] = metadata
        for refusals in metadata_refusals.values():
            self.refusals.extend(refusals)
        for option in ("decimals", "metadata"):
            if self.options[option] is None and self.chance(80):
                del self.options[option]
        shape = self.pick(12)
        if shape in (0, 1, 2, 3, 7):
            self.check_columns(self.columns.values())  # a dict keeps one column of each name
        else:
            self.check_columns([column for _, column in pairs])
            if len(self.columns) < sum(isinstance(name, str) for name, _ in pairs):
                self.refuse("a name given twice")
        self.table_options = {}
        if shape < 4:
            self.table = dict(data)
        elif shape < 7:
            self.table = data if self.chance(70) else tuple(data)
        elif shape == 7:
            self.table = types.MappingProxyType(dict(data))
        elif shape == 8:
            self.table = [list(pair) if self.chance(50) else (*pair, "extra")[: self.pick(4)] for pair in data]
            if any(len(pair) != 2 for pair in self.table):
                self.refuse("a pair that is not a (name, column)")
            elif self.table:
                self.leave("whether a pair may be a list")
        elif shape < 11:
            self.table = Table
            self.table_options = self.own_options(metadata)
        else:
            self.refuse("a table that is neither a mapping nor pairs")
            self.table = self.fdp.PickValueInList([None, 3, "ab", b"ab", np.arange(3), iter(data), {1, 2}])
        self.data = data
        self.model_decimals()

    def own_options(self, added_metadata):
        """A Table's own options; what dumps is given replaces them, so their faults count only where kept."""
        replaced = {key: isinstance(value, str) and value != "" for key, value in self.options.items()}
        options = {key: self.given_name(key, used=not replaced.get(key)) for key in ("obj", "name")}
        options["metadata"], refusals = self.metadata("metadata")
        for key, reasons in refusals.items():
            if not (isinstance(added_metadata, dict) and key in added_metadata):
                self.refusals.extend(reasons)
        options["field_metadata"] = self.field_metadata()
        options["decimals"] = self.decimals()
        return options

    def model_decimals(self):
        given = [self.table_options.get("decimals"), self.options.get("decimals")]
        for decimals in given:
            if not isinstance(decimals, dict):
                continue
            for key, places in decimals.items():
                if isinstance(key, str) and exact_text(key) in self.columns and type(places) is not bool:
                    if isinstance(places, (int, np.integer)) and 0 <= places <= 15:
                        self.decimal_places[exact_text(key)] = int(places)
        for name, column in self.columns.items():
            if column.needs_decimals and name not in self.decimal_places:
                self.refuse("unsupported dtype")
        for name, places in self.decimal_places.items():
            column = self.columns[name]
            if column.decimal_source is None:
                self.refuse("decimals for a column that is neither float nor text")
            elif column.decimal_source is UNKNOWN:
                self.leave("decimals for a column of the library's choosing")
            elif column.decimal_source[0] == "float":
                values = column.decimal_source[1]
                largest = np.abs(values).max() if len(values) else 0.0
                limit = D64_LIMIT / 10.0**places
                if not np.isfinite(values).all() or largest >= 2 * limit:
                    self.refuse("a float that no decimal holds")
                elif largest >= limit / 2:
                    self.leave("a decimal near its limit")
            else:
                self.leave("which decimal texts are taken")

    def run(self, dumps):
        table = self.table
        if table is Table:
            table = Table(self.data, **self.table_options)
        return dumps(table, **self.options)

    # ---- what loads should give back ---------------------------------------------------

    def expected_table(self, loaded):
        """The Table the frame should hold; columns not modelled are taken from `loaded`."""
        options = {key: value for key, value in self.table_options.items() if key != "decimals"}
        for key in ("obj", "name"):
            options[key] = exact_text(self.options.get(key) or options.get(key) or "")
        options["metadata"] = {**(options.get("metadata") or {}), **(self.options.get("metadata") or {})}
        columns = []
        for name, column in self.columns.items():
            places = self.decimal_places.get(name)
            if places is not None:
                if column.decimal_source is not UNKNOWN:
                    check_decimals(name, loaded[name], column.decimal_source, places)
                expected = loaded[name]
            else:
                expected = column.expected if column.expected is not None else loaded[name]
            columns.append((name, expected if column.nulls is None else np.ma.array(expected, mask=column.nulls)))
        return Table(columns, decimals=self.decimal_places, **options)


def check_decimals(name, loaded, source, places):
    kind, values, *float_details = source
    assert len(loaded) == len(values), (name, loaded)
    if kind == "float":
        epsilon, dtype = float_details
        assert loaded.dtype in (np.float64, dtype), (name, loaded.dtype, dtype)
        # Cut toward zero at the places, from the decimal the float was meant to be.
        tolerance = 10.0**-places + np.abs(values) * epsilon
        assert (np.abs(loaded - values) <= tolerance).all(), (name, places, loaded, values)
        for value, back in zip(values.astype(dtype), loaded):
            meant = np.format_float_positional(value, unique=True, trim="-")  # the shortest text of its dtype
            if len(meant.partition(".")[2]) <= places:
                assert back == loaded.dtype.type(meant), f"a decimal of at most {places} places changed: {meant} {back}"
    else:
        assert loaded.dtype == np.float64, (name, loaded)
        try:
            meant = np.array([float(text) for text in values])
        except ValueError:
            raise AssertionError(f"took decimal texts that are no numbers: {values}") from None
        assert (np.abs(loaded - meant) <= np.abs(meant) * 4.5e-16).all(), (name, places, loaded, values)
