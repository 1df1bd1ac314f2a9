"""Packing, parsing and the local offset from several Python threads at once."""

import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from pyvorl import get_local_offset, pack_table_frame, parse_table_frame, set_local_zone

THREADS, ROUNDS, HOUR = 4, 100, 3_600_000_000


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def run_together(work):
    """Runs work(index) on THREADS threads released at the same moment; returns their results."""
    barrier = threading.Barrier(THREADS)

    def released(index):
        barrier.wait()
        return work(index)

    with ThreadPoolExecutor(THREADS) as pool:  # errors reach the caller through map
        return list(pool.map(released, range(THREADS), timeout=120))


def table(seed, rows=500):
    rng = np.random.default_rng(seed)
    return (
        f"object {seed}",
        [
            ("int64", rng.integers(-(1 << 62), 1 << 62, size=rows)),
            ("float32", rng.normal(size=rows).astype(np.float32)),
            ("when", (1_700_000_000_000_000 + np.arange(rows) * 1_000_000 * (seed + 1)).astype("datetime64[us]")),
            ("texts", [f"thread {seed} row {i} " + "\u00e9" * (i % 5) for i in range(rows)]),
            ("price", np.round(rng.uniform(-100, 100, size=rows), 2)),
            ("quote", [f"{i}.{seed}5" for i in range(rows)]),
        ],
        {"price": 2, "quote": 2},
    )


def pack_and_parse(obj, columns, places):
    frame = pack_table_frame(obj, columns, places)
    table_name, obj, parsed = parse_table_frame(frame[8:])
    return frame, table_name, obj, [(name, array.dtype, array.tolist()) for name, array in parsed]


def test_threads_packing_and_parsing_match_a_single_thread():
    tables = [table(seed) for seed in range(THREADS)] + [table(THREADS)]
    expected = [pack_and_parse(*arguments) for arguments in tables]
    shared = tables[-1][1]
    counts = [sys.getrefcount(array) for _, array in shared]

    def work(index):
        for round_ in range(ROUNDS):
            which = index if round_ % 2 else -1  # its own table, then the one they all share
            assert pack_and_parse(*tables[which]) == expected[which]

    run_together(work)
    assert [sys.getrefcount(array) for _, array in shared] == counts


def test_readers_never_see_an_offset_that_was_not_set(restore_offset):
    zones = [-25, -11, -3, 0, 1, 5, 14, 25]
    allowed = {zone * HOUR for zone in zones} | {get_local_offset()}
    epoch_body = pack_table_frame("x", [("t", np.zeros(1, dtype="datetime64[us]"))])[8:]

    def work(index):
        seen = set()
        for round_ in range(ROUNDS * 10):
            if index == 0:
                set_local_zone(zones[round_ % len(zones)])
                continue
            seen.add(get_local_offset())
            seen.add(int(parse_table_frame(epoch_body)[2][0][1].astype(np.int64)[0]))
        return seen

    assert set().union(*run_together(work)) <= allowed
