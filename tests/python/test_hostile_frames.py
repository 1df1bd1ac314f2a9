"""Frame bodies whose checksum is valid but whose counts and lengths lie.

The CRC-32 only guards against accidental damage, so a sender can announce
any count. Each body here must fail at once with the exact end-of-input
error, and parsing must never ask for memory out of proportion to the body.
"""

import json
import os
import subprocess
import sys

import pytest

import frames
from frames import BYTES, DECIMAL, INT64, STRING, body, column, field, signed, text, varint
from pyvorl import parse_table_frame

HUGE, LARGEST = 1 << 60, (1 << 64) - 1
START = varint(frames.MAGIC_VERSION)


def one_column(tag, column_body):
    # Nothing follows the column: the body ends where the decoder runs dry.
    return START + varint(1) + field("a", bytes([tag]) + column_body)


def table_metadata(map_bytes):
    return START + varint(0) + map_bytes


# The engine's own tests hold one case of every count; here, one of each kind.
HOSTILE = [
    ("2^60 fields", START + varint(HUGE), 1),
    ("2^64-1 fields after one", START + varint(LARGEST) + field("a", column(INT64)), 1),
    ("2^60 name bytes", START + varint(1) + varint(HUGE) + b"abc", HUGE - 3),
    ("2^60 Int64 values", one_column(INT64, varint(HUGE) + signed(-1) + b"\xfd\x00\x00"), 6),
    ("2^64-1 decimals", one_column(DECIMAL, varint(LARGEST) + signed(2)), 1),
    ("2^60 bytes of one text", one_column(STRING, varint(2) + text("x") + varint(HUGE) + b"zz"), HUGE - 2),
    ("2^60 table entries", table_metadata(b"\x01" + varint(HUGE) + text("obj") + frames.variant(STRING, "x")), 1),
    ("2^60 bytes of a value", table_metadata(b"\x01" + varint(1) + text("b") + bytes([BYTES]) + varint(HUGE)), HUGE),
]


@pytest.mark.parametrize("content, additional", [case[1:] for case in HOSTILE], ids=[case[0] for case in HOSTILE])
def test_announced_counts_fail_with_the_missing_bytes(content, additional):
    with pytest.raises(ValueError) as info:
        parse_table_frame(body(content))
    assert (
        str(info.value) == f"Invalid table frame: Failed to decode table: UnexpectedEnd {{ additional: {additional} }}"
    )


# Parses one body from stdin in a fresh interpreter whose address space is
# limited to what it holds after the imports plus 64 times the body plus
# 256 MiB: an allocation sized by an announced count, or by many columns
# times the row count, fails there with MemoryError.
CHILD = r"""
import json, resource, sys
from pyvorl import parse_table_frame

body = sys.stdin.buffer.read()
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
limit = size + 64 * len(body) + (256 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    _, _, columns = parse_table_frame(body)
    outcome = [len(array) for _, array in columns[:2]] + [len(columns)]
except BaseException as error:
    outcome = f"{type(error).__name__}: {error}"
print(json.dumps(outcome))
"""


def parse_in_limited_address_space(frame_body):
    run = subprocess.run(
        [sys.executable, "-c", CHILD],
        input=frame_body,
        capture_output=True,
        check=True,
        env={**os.environ, "OPENBLAS_NUM_THREADS": "1"},
    )
    return json.loads(run.stdout)


@pytest.mark.parametrize("content", [case[1] for case in HOSTILE[:6]], ids=[case[0] for case in HOSTILE[:6]])
def test_announced_counts_reserve_nothing_they_cannot_hold(content):
    assert parse_in_limited_address_space(body(content)).startswith("ValueError: Invalid table frame:")


def test_many_null_columns_cost_memory_linear_in_the_body():
    # A million one-byte values, then 3,000 Null fields of 4 bytes each: as
    # separate bool arrays they would ask for 3 GB.
    rows, nulls = 1_000_000, 3_000
    fields = [field("i", bytes([INT64]) + varint(rows) + bytes(rows))] + [field("", column(frames.NULL))] * nulls
    assert parse_in_limited_address_space(body(START + varint(len(fields)) + b"".join(fields) + b"\x00\x00")) == [
        rows,
        rows,
        nulls + 1,
    ]
