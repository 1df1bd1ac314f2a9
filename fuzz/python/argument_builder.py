"""Arguments for pack_table_frame from fuzzer choices, and the columns they should come back as."""

from decimal import Decimal

import atheris
import numpy as np

LARGEST = (1 << 64) - 1
DECIMAL_CHARACTERS = list("0123456789.-")
# The first twelve are the ones the packer takes.
DTYPES = [
    np.dtype(name)
    for name in (
        "int64",
        "float64",
        "int32",
        "float32",
        "bool",
        "datetime64[us]",
        "datetime64[ms]",
        "datetime64[s]",
        "datetime64[ns]",
        "=i8",
        "<f8",
        "intp",
        "uint8",
        "int8",
        "int16",
        "uint16",
        "uint32",
        "uint64",
        "float16",
        "complex64",
        "longdouble",
        "datetime64[D]",
        "datetime64[m]",
        "timedelta64[us]",
        "S3",
        "U2",
        "V4",
        ">i8",
        ">f8",
        ">i4",
        ">M8[us]",
        "object",
    )
]


class Unexpected(Exception):
    """Raised by hostile objects while armed: the packer must never let it through."""

    armed = False


def hostile(method):
    def guarded(self, *args):
        if Unexpected.armed:
            raise Unexpected(method.__name__)
        return method(self, *args)

    return guarded


class RaisesEverywhere:
    def __index__(self):
        raise Unexpected("__index__")

    def __int__(self):
        raise Unexpected("__int__")

    def __str__(self):
        raise Unexpected("__str__")

    def __len__(self):
        raise Unexpected("__len__")

    def __iter__(self):
        raise Unexpected("__iter__")


class TextKind(str):
    __eq__ = hostile(str.__eq__)
    __hash__ = str.__hash__
    __str__ = hostile(str.__str__)
    encode = hostile(str.encode)


class ListKind(list):
    __len__ = hostile(list.__len__)
    __getitem__ = hostile(list.__getitem__)
    __iter__ = hostile(list.__iter__)


class NamedList(ListKind):
    pass


NamedList.__name__ = "list"


class ForeignList:
    pass


ForeignList.__name__ = "list"


class ForeignNdarray:
    pass


ForeignNdarray.__name__ = "ndarray"


class ArrayKind(np.ndarray):
    pass


class NamedArray(np.ndarray):
    pass


NamedArray.__name__ = "ndarray"


class TupleKind(tuple):
    __getitem__ = hostile(tuple.__getitem__)
    __len__ = hostile(tuple.__len__)


class IntKind(int):
    __index__ = hostile(int.__index__)
    __int__ = hostile(int.__int__)


class ArgumentBuilder:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.names = []

    def pick(self, count):
        return self.fdp.ConsumeIntInRange(0, count - 1)

    def chance(self, percent):
        return self.fdp.ConsumeIntInRange(0, 99) < percent

    def text(self):
        # ConsumeUnicode may produce lone surrogates, which cannot be encoded.
        length = self.fdp.ConsumeIntInRange(0, 8)
        return self.fdp.ConsumeUnicodeNoSurrogates(length) if self.chance(90) else self.fdp.ConsumeUnicode(length)

    def decimal_text(self):
        digits = "".join(self.fdp.PickValueInList(DECIMAL_CHARACTERS) for _ in range(self.fdp.ConsumeIntInRange(0, 22)))
        return self.fdp.PickValueInList([digits, f" {digits}\t", "nan", "INF", "-inf", "1e5", "+1", "", "  "])

    def element(self):
        choice = self.pick(12)
        if choice < 4:
            return self.text()
        if choice < 6:
            return self.decimal_text()
        return [
            lambda: TextKind(self.text()),
            lambda: self.fdp.ConsumeIntInRange(-(1 << 70), 1 << 70),
            lambda: None,
            lambda: self.fdp.ConsumeBytes(3),
            lambda: self.fdp.ConsumeRegularFloat(),
            lambda: RaisesEverywhere(),
        ][choice - 6]()

    def texts(self):
        length = self.fdp.ConsumeIntInRange(0, 20)
        if self.chance(60):
            return [self.text() for _ in range(length)]
        return [self.element() for _ in range(length)]

    def plain_array(self, dtype, length):
        if dtype.kind == "O":
            array = np.empty(length, dtype=object)
            for index in range(length):
                array[index] = self.element()
            return array
        raw = self.fdp.ConsumeBytes(length * dtype.itemsize).ljust(length * dtype.itemsize, b"\0")
        return np.frombuffer(raw, dtype=dtype).copy()

    def array(self):
        dtype = self.fdp.PickValueInList(DTYPES[:12] if self.chance(70) else DTYPES)
        length = self.fdp.ConsumeIntInRange(0, 40)
        array = self.plain_array(dtype, length)
        if self.chance(50):
            return array
        layout = self.pick(14)
        if layout == 0:
            return array[:1].reshape(()) if length else np.zeros((), dtype=dtype)  # 0-d
        if layout == 1:
            return array.reshape(-1, 1) if self.chance(50) else array.reshape(1, -1)
        if layout == 2:
            return array[:: self.fdp.ConsumeIntInRange(2, 4)]
        if layout == 3:
            return array[::-1]
        if layout == 4 and dtype.kind != "O":
            raw = bytes(1) + array.tobytes()
            return np.frombuffer(raw, dtype=dtype, count=length, offset=1)  # misaligned and read-only
        if layout == 5 and dtype.kind != "O":
            return array.byteswap().view(dtype.newbyteorder())
        if layout == 6:
            array.setflags(write=False)
            return array
        if layout == 7:
            return np.asfortranarray(np.resize(array, (2, 3))) if length else array
        if layout == 8:
            return array.view(ArrayKind)
        if layout == 9:
            return array.view(NamedArray)
        if layout == 10:
            return np.resize(array, (length, 2))[:, 1] if length else array
        return array

    def column_data(self):
        choice = self.pick(16)
        if choice < 7:
            return self.array()
        if choice < 11:
            return self.texts()
        return [
            lambda: ListKind(self.texts()),
            lambda: NamedList(self.texts()),
            lambda: ForeignList(),
            lambda: ForeignNdarray(),
            lambda: self.fdp.PickValueInList([None, 3, (1, 2), {"a": 1}, b"x", RaisesEverywhere()]),
        ][choice - 11]()

    def name(self):
        choice = self.pick(20)
        if choice < 16:
            name = self.text()
        elif choice < 18:
            name = TextKind(self.text())
        else:
            return self.fdp.PickValueInList([None, 1, b"a", RaisesEverywhere()])
        self.names.append(name)
        return name

    def column(self):
        choice = self.pick(30)
        if choice < 25:
            return (self.name(), self.column_data())
        return [
            lambda: (),
            lambda: (self.name(),),
            lambda: (self.name(), self.column_data(), "extra"),
            lambda: TupleKind((self.name(), self.column_data())),
            lambda: [self.name(), self.column_data()],
        ][choice - 25]()

    def places(self):
        choice = self.pick(12)
        if choice < 7:
            return self.fdp.ConsumeIntInRange(0, 15)
        return [
            lambda: self.fdp.ConsumeIntInRange(16, LARGEST),
            lambda: -self.fdp.ConsumeIntInRange(1, 1 << 70),
            lambda: LARGEST + self.fdp.ConsumeIntInRange(1, 1 << 70),
            lambda: IntKind(self.fdp.ConsumeIntInRange(0, 15)),
            lambda: self.fdp.PickValueInList([2.0, "2", None, True, RaisesEverywhere()]),
        ][choice - 7]()

    def decimal_fields(self):
        choice = self.pick(10)
        if choice < 3:
            return ...  # omitted
        if choice == 3:
            return None
        if choice == 4:
            return self.fdp.PickValueInList([[("a", 2)], "a", 3, RaisesEverywhere()])
        fields = {}
        for _ in range(self.fdp.ConsumeIntInRange(0, 4)):
            if self.names and self.chance(70):
                key = self.fdp.PickValueInList(self.names)
            else:
                key = self.fdp.PickValueInList([self.text(), 1, None, b"a"])
            fields[key] = self.places()
        return fields

    def arguments(self):
        obj = self.text() if self.chance(90) else self.fdp.PickValueInList([None, 1, b"x", TextKind("x")])
        columns = [self.column() for _ in range(self.fdp.ConsumeIntInRange(0, 4))]
        if self.chance(5):
            columns = self.fdp.PickValueInList([tuple(columns), ListKind(columns), {"a": 1}, None])
        return obj, columns, self.decimal_fields()


def exact_text(text):
    return str.__str__(text)


def wrap_int64(value):
    return (value + (1 << 63)) % (1 << 64) - (1 << 63)


def truncating_division(value, divisor):
    quotient = abs(value) // divisor
    return quotient if value >= 0 else -quotient


def datetime_micros(array):
    unit = np.datetime_data(array.dtype)[0]
    native = np.asarray(array).astype(array.dtype.newbyteorder("="))
    values = [int(v) for v in native.view(np.int64)]
    nat = -(1 << 63)  # NaT stays NaT in every unit
    if unit == "ms":
        values = [v if v == nat else wrap_int64(v * 1000) for v in values]
    elif unit == "s":
        values = [v if v == nat else wrap_int64(v * 1_000_000) for v in values]
    elif unit == "ns":
        values = [v if v == nat else truncating_division(v, 1000) for v in values]
    return np.array(values, dtype=np.int64).view("datetime64[us]")


def meant_decimal(x, places, dtype):
    """The count of 10**-places of the one decimal with at most `places` places that rounds to x in
    the array's own precision, or None when there is not exactly one."""
    if x != x or x in (float("inf"), float("-inf")):
        return None
    nearest = round(Decimal(x) * 10**places)
    rounding = [n for n in (nearest - 1, nearest, nearest + 1) if dtype(str(Decimal(n).scaleb(-places))) == x]
    return rounding[0] if len(rounding) == 1 else None


def float_decimals(array, places):
    array = np.asarray(array)
    scale = 10.0**places
    values = []
    for x in array.tolist():
        product = float(x) * scale
        meant = meant_decimal(x, places, array.dtype.type)
        count = meant if meant is not None else (0 if product != product else int(product))
        if abs(count) >= 1 << 56:
            return None  # outside the magnitude: the packer's own choice
        magnitude = float(Decimal(abs(count)).scaleb(-places))
        values.append(-magnitude if count < 0 else magnitude)
    return np.array(values, dtype=np.float64)


def expected_column(data, places):
    """The column that parse should return for packed data, or None where it is not modelled."""
    if isinstance(data, list):
        items = list.__getitem__(data, slice(None))
        if places is None:
            return [exact_text(item) for item in items]
        return [None if isinstance(item, str) else 0.0 for item in items]
    array = np.asarray(data)
    kind = array.dtype
    if kind.kind == "M":
        return datetime_micros(array)
    if kind == np.bool_:
        return array.view(np.uint8) != 0
    if kind.kind == "f" and places is not None:
        return float_decimals(array, int(places))
    return array
