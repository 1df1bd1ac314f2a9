"""Null fields: a body whose many Null columns each stand for the row count of
the first must cost memory in proportion to the body, not to rows times fields.
(Hostile counts have their tests with the engine.)"""

import json
import os
import subprocess
import sys

from frames import INT64, NULL, body, column, field, payload, varint

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


def test_many_null_columns_cost_memory_linear_in_the_body():
    # A million one-byte values, then 3,000 Null fields of 4 bytes each: as
    # separate bool arrays they would ask for 3 GB.
    rows, nulls = 1_000_000, 3_000
    fields = [field("i", bytes([INT64]) + varint(rows) + bytes(rows))] + [field("", column(NULL))] * nulls
    environment = {**os.environ, "OPENBLAS_NUM_THREADS": "1"}
    run = subprocess.run(
        [sys.executable, "-c", CHILD], input=body(payload(fields)), capture_output=True, check=True, env=environment
    )
    assert json.loads(run.stdout) == [rows, rows, nulls + 1]
