"""Null fields: a body whose many Null columns each stand for the row count of
the first must cost memory in proportion to the body, not to rows times fields.
(Hostile counts have their tests with the engine.)"""

import json
import os
import subprocess
import sys

import pytest

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


# Frames shaped so that each of their few bytes becomes an object of its own
# in loads: the memory at the peak of the call must stay within 64 times the
# frame (measured as the growth of the child's peak resident size).
LOADS_MEMORY = r"""
import resource, sys
sys.path.insert(0, sys.argv[1])
from frames import BOOL, NULL, STRING, column, field, frame, payload, variant
import pyvorl

names = [chr(a) + chr(b) for a in range(33, 127) for b in range(33, 127)]
shape = sys.argv[2]
if shape == "null fields beside a long column":
    fields = [field("data", column(BOOL, [1] * 200_000))] + [field(name, column(NULL)) for name in names[:4000]]
elif shape == "unique null fields":
    fields = [field(name, column(NULL)) for name in names]
elif shape == "fields of one name":
    fields = [field("", column(NULL))] * 300_000
else:  # field metadata
    fields = [field(name, column(NULL), field_metadata=[("", variant(NULL))]) for name in names]
data = frame(payload(fields, [("obj", variant(STRING, "x"))]))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
try:
    pyvorl.loads(data)
except pyvorl.FrameError:
    pass
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before) / len(data))
"""


@pytest.mark.parametrize(
    "shape", ["null fields beside a long column", "unique null fields", "fields of one name", "field metadata"]
)
def test_loads_memory_stays_within_64_times_the_frame(shape):
    here = os.path.dirname(os.path.abspath(__file__))
    run = subprocess.run([sys.executable, "-c", LOADS_MEMORY, here, shape], capture_output=True, text=True, check=True)
    assert float(run.stdout) < 64
