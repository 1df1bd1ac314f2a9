"""Payloads shaped as loads reads them: most columns of one row count, so that
tables get past the length check, and the "pyvorl." keys the library reads
back, with values that range from right to hostile."""

import payload_builder  # first: it puts the test suite's frame builder on the path
from frames import STRING, variant, varint

RESERVED_KEYS = [
    "pyvorl.dtype",
    "pyvorl.timezone",
    "pyvorl.pandas_zone",
    "pyvorl.categorical",
    "pyvorl.categories",
    "pyvorl.pandas_dtype",
    "pyvorl.index",
    "pyvorl.index_names",
    "pyvorl.rows",
    "pyvorl.validity",
    "pyvorl.",
    "pyvorl.other",
]
DTYPE_NAMES = ["int8", "int16", "uint8", "uint16", "float16", "int32", "int64", "uint64", "float32", "float64"]
DTYPE_NAMES += [f"{kind}64[{unit}]" for kind in ("datetime", "timedelta") for unit in ("s", "ms", "us", "ns", "D", "h")]
RESERVED_VALUES = DTYPE_NAMES + [
    # dtypes without a column type, spellings NumPy takes, and no dtype at all
    "bool",
    "object",
    "complex64",
    "longdouble",
    "S3",
    "<U2",
    "V4",
    "i4,u1",
    "datetime64[D]",
    "datetime64",
    "datetime64[10ms]",
    "M8[ns]",
    ">i2",
    "<f2",
    "int8 ",
    "int8\x00",
    "x\x1b",
    "",
    "float128",
    "StringDType()",
    # the other keys' values: zones, JSON, pandas dtypes, counts
    "UTC",
    "+05:30",
    "-25:00",
    "America/New_York",
    "Nowhere/Else",
    "dateutil",
    "ordered",
    "unordered",
    "[]",
    '["a", "b"]',
    '["a", 1, null]',
    "[1",
    '{"a": 1}',
    "null",
    "Int64",
    "boolean",
    "str[pyarrow]",
    "string[python]",
    "3",
    "-1",
    "18446744073709551616",
]


class TablePayloadBuilder(payload_builder.PayloadBuilder):
    def __init__(self, data):
        super().__init__(data)
        self.rows = self.fdp.ConsumeIntInRange(0, 20)

    def length(self):
        return self.rows if self.chance(90) else super().length()

    def entry(self):
        if self.chance(50):
            return super().entry()
        key = self.fdp.PickValueInList(RESERVED_KEYS).encode()
        value = variant(STRING, self.fdp.PickValueInList(RESERVED_VALUES)) if self.chance(80) else self.variant()
        return varint(len(key)) + key + value
