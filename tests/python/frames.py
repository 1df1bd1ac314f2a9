"""Table frames built and read in plain Python, byte by byte.

Tests use the builder for column types and payload shapes that the packer
never produces, and the reader to look at what the packer wrote before
parse_table_frame turns it into floats and shifted datetimes.
"""

import struct
import zlib

MAGIC_VERSION = 0x4D7C0001

# Column, field and metadata value tags.
NULL, DATETIME, INT64, FLOAT64, DECIMAL, STRING, BOOL, INT32, UINT32, UINT64, FLOAT32, BYTES = range(12)

MASK64 = (1 << 64) - 1
MAGNITUDE_MASK = (1 << 56) - 1


def wrap64(value):
    """value in signed 64-bit two's complement."""
    value &= MASK64
    return value - (1 << 64) if value >> 63 else value


# ---- writing -----------------------------------------------------------------


def varint(value):
    if value <= 250:
        return bytes([value])
    if value <= 0xFFFF:
        return b"\xfb" + struct.pack("<H", value)
    if value <= 0xFFFFFFFF:
        return b"\xfc" + struct.pack("<I", value)
    return b"\xfd" + struct.pack("<Q", value)


def zigzag(value, bits=64):
    return ((value << 1) ^ (value >> (bits - 1))) & ((1 << bits) - 1)


def signed(value, bits=64):
    return varint(zigzag(value, bits))


def text(value):
    data = value.encode() if isinstance(value, str) else value
    return varint(len(data)) + data


def sequence(values, encode):
    return varint(len(values)) + b"".join(encode(value) for value in values)


def d64(magnitude, scale, negative=False, nan=False, infinite=False):
    flags = (scale << 4) | negative | (nan << 1) | (infinite << 2)
    return magnitude.to_bytes(7, "big") + bytes([flags])


def decimal_body(signed_values, scale):
    """The compact decimal column: N, the scale, zigzag differences."""
    if not signed_values:
        return b"\x00"
    out = varint(len(signed_values) + 1) + signed(scale)
    previous = 0
    for value in signed_values:
        out += signed(wrap64(value - previous))
        previous = value
    return out


def datetime_body(values, step):
    """The compact datetime column with a caller-chosen step dividing every value."""
    if not values:
        return b"\x00"
    out = varint(len(values) + 1) + signed(step) + signed(values[0] // step)
    for before, after in zip(values, values[1:]):
        out += signed((after - before) // step)
    return out


COLUMN_BODIES = {
    INT64: lambda values: sequence(values, signed),
    FLOAT64: lambda values: sequence(values, lambda v: struct.pack("<d", v)),
    STRING: lambda values: sequence(values, text),
    BOOL: lambda values: sequence(values, lambda v: bytes([v])),
    INT32: lambda values: sequence(values, lambda v: signed(v, 32)),
    UINT32: lambda values: sequence(values, varint),
    UINT64: lambda values: sequence(values, varint),
    FLOAT32: lambda values: sequence(values, lambda v: struct.pack("<f", v)),
    BYTES: lambda values: sequence(values, text),
}


def column(tag, values=()):
    """Series tag and body of a plain (not compact) column; Null has no body."""
    body = b"" if tag == NULL else COLUMN_BODIES[tag](list(values))
    return bytes([tag]) + body


def variant(tag, value=None):
    payload = {
        NULL: lambda: b"",
        DATETIME: lambda: signed(value),
        INT64: lambda: signed(value),
        FLOAT64: lambda: struct.pack("<d", value),
        DECIMAL: lambda: value,  # the 8 D64 bytes
        STRING: lambda: text(value),
        BOOL: lambda: bytes([value]),
        INT32: lambda: signed(value, 32),
        UINT32: lambda: varint(value),
        UINT64: lambda: varint(value),
        FLOAT32: lambda: struct.pack("<f", value),
        BYTES: lambda: text(value),
    }[tag]()
    return bytes([tag]) + payload


def metadata(entries):
    """Optional map: None is absent; otherwise (key, encoded variant) pairs, repeats allowed."""
    if entries is None:
        return b"\x00"
    return b"\x01" + varint(len(entries)) + b"".join(text(key) + value for key, value in entries)


def field(name, series, data_type=None, field_metadata=None):
    """series: tag byte followed by its body, as column() or a compact body builds it."""
    tag = series[0] if data_type is None else data_type
    return text(name) + bytes([tag]) + metadata(field_metadata) + series


def payload(fields=(), table_metadata=None, magic_version=MAGIC_VERSION, trailer=0):
    return varint(magic_version) + varint(len(fields)) + b"".join(fields) + metadata(table_metadata) + bytes([trailer])


def body(content):
    """What parse_table_frame takes: content, then its CRC-32."""
    return content + struct.pack("<I", zlib.crc32(content))


def frame(content):
    return struct.pack("<HHI", 0x4D7C, 1, len(content) + 4) + body(content)


# ---- reading -----------------------------------------------------------------


class Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def take(self, count):
        chunk = self.data[self.at:self.at + count]
        assert len(chunk) == count, "input ends early"
        self.at += count
        return chunk

    def byte(self):
        return self.take(1)[0]

    def varint(self):
        marker = self.byte()
        if marker <= 250:
            return marker
        width = {0xFB: 2, 0xFC: 4, 0xFD: 8}[marker]
        return int.from_bytes(self.take(width), "little")

    def signed(self):
        value = self.varint()
        return (value >> 1) ^ -(value & 1)

    def text(self):
        return self.take(self.varint())

    def metadata(self):
        if self.byte() == 0:
            return None
        return [(self.text().decode(), self.variant()) for _ in range(self.varint())]

    def variant(self):
        tag = self.varint()
        assert tag == STRING, "only the packer's metadata is read"
        return self.text().decode()

    def decimals(self):
        """Compact decimal column as (column scale, [(negative, magnitude), ...])."""
        count = self.varint()
        if count == 0:
            return 0, []
        scale = self.signed()
        running, values = 0, []
        for _ in range(count - 1):
            running = wrap64(running + self.signed())
            values.append((running < 0, abs(running) & MAGNITUDE_MASK))
        return scale, values

    def datetimes(self):
        """Compact datetime column as (step, [microseconds, ...])."""
        count = self.varint()
        if count == 0:
            return 0, []
        step = self.signed()
        running, values = 0, []
        for _ in range(count - 1):
            running = wrap64(running + self.signed())
            values.append(wrap64(running * step))
        return step, values

    def series(self, tag):
        if tag == NULL:
            return None
        if tag == DECIMAL:
            return self.decimals()
        if tag == DATETIME:
            return self.datetimes()
        count = self.varint()
        read = {
            INT64: self.signed,
            FLOAT64: lambda: self.take(8),
            STRING: lambda: self.text().decode(),
            BOOL: self.byte,
            INT32: self.signed,
            FLOAT32: lambda: self.take(4),
        }[tag]
        return [read() for _ in range(count)]


def read_frame(data):
    """A packed frame as (table metadata, [(name, data_type, series_tag, values), ...]).

    Floats come back as their raw little-endian bytes, decimals and datetimes
    as Reader.decimals() and Reader.datetimes() give them.
    """
    magic, version, length = struct.unpack_from("<HHI", data)
    assert (magic, version, length) == (0x4D7C, 1, len(data) - 8)
    content = data[8:-4]
    assert struct.unpack("<I", data[-4:])[0] == zlib.crc32(content)
    reader = Reader(content)
    assert reader.varint() == MAGIC_VERSION
    fields = []
    for _ in range(reader.varint()):
        name = reader.text().decode()
        data_type = reader.byte()
        assert reader.metadata() is None
        tag = reader.byte()
        fields.append((name, data_type, tag, reader.series(tag)))
    table_metadata = reader.metadata()
    assert reader.byte() == 0
    assert reader.at == len(content)
    return table_metadata, fields


def read_column(data):
    """(data_type, series_tag, values) of the single column of a packed frame."""
    _, [(_, data_type, tag, values)] = read_frame(data)
    return data_type, tag, values
