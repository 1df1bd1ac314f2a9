"""Buffers and arrays that another thread changes while pyvorl reads them.

Each case runs in a child interpreter, so that a crash fails one test instead
of the whole run.
"""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import mmap, tempfile, threading
import numpy as np
import pyvorl

def flipping(write, versions, stop):
    def run():
        while not stop.is_set():
            for version in versions:
                write(version)
    thread = threading.Thread(target=run)
    thread.start()
    return thread
"""


def run_child(code, timeout=120):
    """Runs code after PRELUDE in a fresh interpreter; returns its stdout."""
    run = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )
    assert run.returncode == 0, f"child ended with {run.returncode}: {run.stderr[-2000:]}"
    return run.stdout


# Two frames of one size, above the size at which loads lets the lock go,
# whose text columns have different length bytes: one of 600,000 one-letter
# texts, one of 300,000 three-letter texts. NumPy copies them into the buffer
# without the lock, so the writer runs while loads reads.
LOADS_CHANGING = """
a = pyvorl.dumps({"t": np.array(["x"] * 600_000, dtype=object)})
b = pyvorl.dumps({"t": np.array(["abc"] * 300_000, dtype=object)})
assert len(a) == len(b)
expected = [pyvorl.loads(a)["t"].tolist(), pyvorl.loads(b)["t"].tolist()]
kind = __KIND__
if kind == "mmap":
    file = tempfile.TemporaryFile()
    file.write(a)
    file.flush()
    buffer = mmap.mmap(file.fileno(), len(a))
elif kind == "numpy":
    buffer = np.frombuffer(a, dtype=np.uint8).copy()
else:
    buffer = bytearray(a)
target = np.frombuffer(buffer, dtype=np.uint8)
versions = [np.frombuffer(a, dtype=np.uint8), np.frombuffer(b, dtype=np.uint8)]
stop = threading.Event()
thread = flipping(lambda version: np.copyto(target, version), versions, stop)
outcomes = 0
try:
    for _ in range(60):
        try:
            values = pyvorl.loads(memoryview(buffer) if kind == "memoryview" else buffer)["t"].tolist()
        except pyvorl.FrameError:
            values = None
        assert values is None or values in expected, "a table that neither frame holds"
        outcomes += 1
finally:
    stop.set()
    thread.join()
print(outcomes)
"""


@pytest.mark.parametrize("kind", ["bytearray", "numpy", "memoryview", "mmap"])
def test_loads_of_a_buffer_changed_meanwhile_gives_one_of_its_frames_or_frame_error(kind):
    assert run_child(LOADS_CHANGING.replace("__KIND__", repr(kind))).split() == ["60"]


# dumps reads arrays in place: a column flipped between two versions gives
# frames that pass their own checksum and hold, value by value, old or new.
# The writer holds the lock, which dumps lets go for columns this large.
DUMPS_CHANGING = """
column = __COLUMN__
reference = column.copy()
old = column[__AT__]
new = __CHANGED__
versions = np.array([old, new])

def flip():
    while not stop.is_set():
        column[__AT__] = new
        column[__AT__] = old

stop = threading.Event()
thread = threading.Thread(target=flip)
thread.start()
try:
    for _ in range(300):
        values = pyvorl.loads(pyvorl.dumps({"c": column}))["c"]
        assert values[__AT__] in versions, "a value that was never in the column"
        values[__AT__] = old
        assert (values == reference).all(), f"row {np.flatnonzero(values != reference)[0]} changed"
finally:
    stop.set()
    thread.join()
print("ok")
"""


@pytest.mark.parametrize(
    ("column", "at", "changed"),
    [
        # Millisecond timestamps; one value moves off the millisecond grid.
        (
            "(1_700_000_000_000_000 + np.arange(1_000_000) * 1000).astype('M8[us]')",
            500_000,
            "old + np.timedelta64(1, 'us')",
        ),
        # The last value lies in the checksum kernels' tail.
        ("np.linspace(0, 1, 1_000_003)", -1, "-old"),
    ],
    ids=["datetime", "float64"],
)
def test_dumps_of_a_column_changed_meanwhile_gives_whole_values(column, at, changed):
    code = DUMPS_CHANGING.replace("__COLUMN__", column).replace("__AT__", str(at)).replace("__CHANGED__", changed)
    assert run_child(code).split() == ["ok"]
