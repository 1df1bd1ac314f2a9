"""Frame bodies whose checksum is valid but whose counts and lengths lie.

The CRC-32 only guards against accidental damage, so a sender can announce
any count. Each body here must fail at once with the exact end-of-input
error, and parsing it must not reserve memory for what it announces.
"""

import json
import subprocess
import sys
import zlib

import pytest

from frames import text, varint, zigzag
from pyvorl import parse_table_frame

HUGE = 1 << 60
LARGEST = (1 << 64) - 1


MAGIC_VERSION = varint(0x4D7C0001)
ABSENT = b"\x00"
NO_FIELDS = varint(0)
TRAILER = b"\x00"

DATETIME, INT64, FLOAT64, DECIMAL, STRING, BOOL, INT32, UINT32, UINT64, FLOAT32, BYTES = range(1, 12)
VARIANT_STRING, VARIANT_BYTES = 5, 11


def field(name, tag, column_body, metadata=ABSENT):
    return text(name) + bytes([tag]) + metadata + bytes([tag]) + column_body


def content(fields, table_metadata=ABSENT, trailer=TRAILER):
    return MAGIC_VERSION + varint(len(fields)) + b"".join(fields) + table_metadata + trailer


def metadata(*entries):
    return b"\x01" + varint(len(entries)) + b"".join(text(key) + value for key, value in entries)


def body(frame_content):
    return frame_content + zlib.crc32(frame_content).to_bytes(4, "little")


def table_metadata_only(map_bytes):
    return MAGIC_VERSION + NO_FIELDS + map_bytes


def one_column(tag, column_body):
    # Nothing follows the column: the body ends where the decoder runs dry.
    return MAGIC_VERSION + varint(1) + field("a", tag, column_body)


HOSTILE = [
    ("2^60 fields", MAGIC_VERSION + varint(HUGE), 1),
    ("2^64-1 fields", MAGIC_VERSION + varint(LARGEST), 1),
    ("2^60 fields after one", MAGIC_VERSION + varint(HUGE) + field("a", INT64, varint(0)), 1),
    ("2^60 name bytes", MAGIC_VERSION + varint(1) + varint(HUGE) + b"abc", HUGE - 3),
    ("2^64-1 name bytes", MAGIC_VERSION + varint(1) + varint(LARGEST), LARGEST),
    # One column of each counted type: the element that runs out reports
    # only its own missing bytes.
    ("Int64", one_column(INT64, varint(HUGE) + varint(zigzag(-1)) + b"\xfd\x00\x00"), 6),
    ("Float64", one_column(FLOAT64, varint(HUGE) + bytes(8) + b"\x01\x02\x03"), 5),
    ("String", one_column(STRING, varint(HUGE) + text("x") + text("y")), 1),
    ("Bool", one_column(BOOL, varint(HUGE) + b"\x01\x00"), 1),
    ("Int32", one_column(INT32, varint(HUGE) + b"\xfc\x00"), 3),
    ("UInt32", one_column(UINT32, varint(HUGE) + varint(7) + b"\xfb"), 2),
    ("UInt64", one_column(UINT64, varint(HUGE)), 1),
    ("Float32", one_column(FLOAT32, varint(HUGE) + b"\x00"), 3),
    ("Bytes", one_column(BYTES, varint(HUGE) + text(b"\x00\xff") + varint(5) + b"\x01\x02"), 3),
    ("DateTime", one_column(DATETIME, varint(HUGE) + varint(zigzag(1)) + varint(0)), 1),
    ("DateTime 2^64-1", one_column(DATETIME, varint(LARGEST) + varint(zigzag(1000))), 1),
    ("Decimal", one_column(DECIMAL, varint(HUGE) + varint(zigzag(2)) + varint(zigzag(150)) + b"\xfc\x01"), 3),
    ("Decimal 2^64-1", one_column(DECIMAL, varint(LARGEST) + varint(zigzag(2))), 1),
    ("2^60 string bytes in a String column", one_column(STRING, varint(2) + text("x") + varint(HUGE) + b"zz"),
     HUGE - 2),
    ("2^60 bytes in a Bytes column", one_column(BYTES, varint(1) + varint(HUGE)), HUGE),
    ("2^60 table metadata entries", table_metadata_only(b"\x01" + varint(HUGE) + text("obj") + b"\x05" + text("x")), 1),
    ("2^60 field metadata entries", MAGIC_VERSION + varint(1) + text("a") + bytes([INT64]) + b"\x01" + varint(HUGE),
     1),
    ("2^60 bytes of a metadata key", table_metadata_only(b"\x01" + varint(1) + varint(HUGE) + b"k"), HUGE - 1),
    ("2^60 bytes of a String value", table_metadata_only(b"\x01" + varint(1) + text("obj") + b"\x05" + varint(HUGE)), HUGE),
    ("2^60 bytes of a Bytes value", table_metadata_only(metadata(("b", bytes([VARIANT_BYTES]) + varint(HUGE) + b"\x00"))),
     HUGE - 1),
]

# Parses one body from stdin in a fresh interpreter, so that the memory
# figures belong to this parse alone. The peak comes from VmHWM: ru_maxrss
# would also count the parent's resident set from before the exec.
CHILD = r"""
import json, sys
from pyvorl import parse_table_frame

def status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])

body = sys.stdin.buffer.read()
size_before = status_kib("VmSize")
try:
    parse_table_frame(body)
    outcome = "returned"
except BaseException as error:
    outcome = f"{type(error).__name__}: {error}"
print(json.dumps({
    "outcome": outcome,
    "peak_rss_kib": status_kib("VmHWM"),
    "address_space_growth_kib": status_kib("VmPeak") - size_before,
}))
"""


def decode_error(additional):
    return f"Invalid table frame: Failed to decode table: UnexpectedEnd {{ additional: {additional} }}"


@pytest.mark.parametrize("frame_content, additional", [case[1:] for case in HOSTILE], ids=[case[0] for case in HOSTILE])
def test_announced_counts_fail_with_the_missing_bytes(frame_content, additional):
    with pytest.raises(ValueError) as info:
        parse_table_frame(body(frame_content))
    assert str(info.value) == decode_error(additional)


@pytest.mark.parametrize("frame_content", [case[1] for case in HOSTILE], ids=[case[0] for case in HOSTILE])
def test_announced_counts_reserve_nothing_they_cannot_hold(frame_content):
    run = subprocess.run([sys.executable, "-c", CHILD], input=body(frame_content), capture_output=True, check=True)
    report = json.loads(run.stdout)
    assert report["outcome"].startswith("ValueError: Invalid table frame: Failed to decode table: UnexpectedEnd")
    assert report["peak_rss_kib"] < 100 * 1024
    # Untouched reservations do not show in the resident set, but they do
    # in the address space.
    assert report["address_space_growth_kib"] < 16 * 1024


def test_the_encoder_agrees_with_the_packer():
    import numpy as np

    from pyvorl import pack_table_frame

    frame = pack_table_frame("x", [("a", np.array([1, -1, 300], dtype=np.int64))])
    expected = content([field("a", INT64, varint(3) + b"".join(varint(zigzag(v)) for v in (1, -1, 300)))],
                       metadata(("obj", bytes([VARIANT_STRING]) + text("x"))))
    assert frame[8:] == body(expected)
