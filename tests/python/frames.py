"""Table frames built and read in plain Python, byte by byte.

The one encoder of frames outside the engine, shared by the tests and the
Python fuzzers: tests build column types and payload shapes that the packer
never writes, hostile counts, and the exact frames the packer must write.
"""

import struct
import zlib

MAGIC_VERSION = 0x4D7C0001
# Column, field and metadata value tags.
NULL, DATETIME, INT64, FLOAT64, DECIMAL, STRING, BOOL, INT32, UINT32, UINT64, FLOAT32, BYTES = range(12)
MASK64 = (1 << 64) - 1


def wrap64(value):
    """value in signed 64-bit two's complement."""
    value &= MASK64
    return value - (1 << 64) if value >> 63 else value


def varint(value):
    if value <= 250:
        return bytes([value])
    for marker, form, limit in ((0xFB, "<H", 0xFFFF), (0xFC, "<I", 0xFFFFFFFF), (0xFD, "<Q", MASK64)):
        if value <= limit:
            return bytes([marker]) + struct.pack(form, value)
    raise ValueError(value)


def zigzag(value, bits=64):
    return ((value << 1) ^ (value >> (bits - 1))) & ((1 << bits) - 1)


def signed(value, bits=64):
    return varint(zigzag(value, bits))


def text(value):
    data = value.encode() if isinstance(value, str) else value
    return varint(len(data)) + data


def compact(parameter, numbers):
    """The compact decimal and datetime form: N = numbers + 1, the parameter, the numbers."""
    return varint(len(numbers) + 1) + signed(parameter) + b"".join(map(signed, numbers))


def decimal_body(values, scale):
    """Signed magnitudes at one scale, as zigzag differences."""
    return compact(scale, [wrap64(b - a) for a, b in zip([0, *values], values)]) if values else b"\x00"


def datetime_body(values, step):
    """Microseconds with a caller-chosen step dividing every value."""
    if not values:
        return b"\x00"
    return compact(step, [values[0] // step] + [(b - a) // step for a, b in zip(values, values[1:])])


ENCODERS = {
    NULL: lambda v: b"",
    DATETIME: signed,
    INT64: signed,
    FLOAT64: lambda v: struct.pack("<d", v),
    DECIMAL: lambda v: v,  # the 8 D64 bytes
    STRING: text,
    BOOL: lambda v: bytes([v]),
    INT32: lambda v: signed(v, 32),
    UINT32: varint,
    UINT64: varint,
    FLOAT32: lambda v: struct.pack("<f", v),
    BYTES: text,
}


def column(tag, values=()):
    """Series tag and body of a plain (not compact) column; Null has no body."""
    values = list(values)
    return bytes([tag]) + (b"" if tag == NULL else varint(len(values)) + b"".join(map(ENCODERS[tag], values)))


def variant(tag, value=None):
    return bytes([tag]) + ENCODERS[tag](value)


def metadata(entries):
    """Optional map: None is absent; otherwise (key, encoded variant) pairs, repeats allowed."""
    if entries is None:
        return b"\x00"
    return b"\x01" + varint(len(entries)) + b"".join(text(key) + value for key, value in entries)


def field(name, series, data_type=None, field_metadata=None):
    """series: tag byte followed by its body, as column() or a compact body builds it."""
    return text(name) + bytes([series[0] if data_type is None else data_type]) + metadata(field_metadata) + series


def payload(fields=(), table_metadata=None, magic_version=MAGIC_VERSION, trailer=0):
    return varint(magic_version) + varint(len(fields)) + b"".join(fields) + metadata(table_metadata) + bytes([trailer])


def body(content):
    """What parse_table_frame takes: content, then its CRC-32."""
    return content + struct.pack("<I", zlib.crc32(content))


def frame(content):
    return struct.pack("<HHI", 0x4D7C, 1, len(content) + 4) + body(content)


def packed(name, series, obj="x"):
    """The frame pack_table_frame(obj, [(name, column)]) writes, given the column's series."""
    return frame(payload([field(name, series)], [("obj", variant(STRING, obj))]))
