"""Packing, parsing and the local offset from several Python threads at once."""

import sys
import threading

import numpy as np
import pytest

from pyvorl import get_local_offset, pack_table_frame, parse_table_frame, set_local_zone

THREADS = 4
ROUNDS = 100
HOUR = 3_600_000_000


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def run_together(work, count=THREADS):
    """Runs work(index) on `count` threads released at the same moment; returns their results."""
    barrier = threading.Barrier(count)
    results, errors = [None] * count, []

    def target(index):
        barrier.wait()
        try:
            results[index] = work(index)
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=target, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    if errors:
        raise errors[0]
    return results


def table(seed, rows=500):
    rng = np.random.default_rng(seed)
    floats = rng.normal(size=rows) * 1000
    floats[::17] = np.nan
    columns = [
        ("int64", rng.integers(-(1 << 62), 1 << 62, size=rows, dtype=np.int64)),
        ("float64", floats),
        ("int32", rng.integers(-(1 << 31), (1 << 31) - 1, size=rows, dtype=np.int32)),
        ("float32", rng.normal(size=rows).astype(np.float32)),
        ("bool", rng.integers(0, 2, size=rows).astype(bool)),
        ("when", (1_700_000_000_000_000 + np.arange(rows) * 1_000_000 * (seed + 1)).astype("datetime64[us]")),
        ("texts", [f"thread {seed} row {i} " + "\u00e9" * (i % 5) for i in range(rows)]),
        ("price", np.round(rng.uniform(-100, 100, size=rows), 2)),
        ("quote", [f"{i}.{seed}5" for i in range(rows)]),
    ]
    return f"object {seed}", columns, {"price": 2, "quote": 2}


def pack_and_parse(obj, columns, places):
    frame = pack_table_frame(obj, columns, places)
    return frame, parse_table_frame(frame[8:])


def assert_same_columns(columns, want_columns):
    assert [name for name, _ in columns] == [name for name, _ in want_columns]
    for (_, array), (_, want) in zip(columns, want_columns):
        assert array.dtype == want.dtype
        if array.dtype == object:
            assert array.tolist() == want.tolist()
        else:
            assert np.array_equal(array, want, equal_nan=array.dtype.kind == "f")


def assert_same_result(actual, expected):
    (frame, (table_name, obj, columns)), (want_frame, (want_table, want_obj, want_columns)) = actual, expected
    assert frame == want_frame
    assert (table_name, obj) == (want_table, want_obj)
    assert_same_columns(columns, want_columns)


def test_threads_packing_one_table_match_a_single_thread():
    obj, columns, places = table(0)
    expected = pack_and_parse(obj, columns, places)
    counts = [sys.getrefcount(array) for _, array in columns]

    def work(_):
        for _ in range(ROUNDS):
            assert_same_result(pack_and_parse(obj, columns, places), expected)

    run_together(work)
    assert [sys.getrefcount(array) for _, array in columns] == counts


def test_threads_packing_their_own_tables_match_a_single_thread():
    tables = [table(seed) for seed in range(THREADS)]
    expected = [pack_and_parse(*arguments) for arguments in tables]

    def work(index):
        for _ in range(ROUNDS):
            assert_same_result(pack_and_parse(*tables[index]), expected[index])

    run_together(work)


def test_threads_parsing_one_frame_get_independent_arrays():
    obj, columns, places = table(1)
    body = pack_table_frame(obj, columns, places)[8:]
    expected = parse_table_frame(body)

    def work(index):
        kept = []
        for _ in range(ROUNDS // 2):
            _, _, parsed = parse_table_frame(body)
            parsed[0][1][:] = index  # writes must stay in this thread's own copy
            kept.append(parsed)
        return kept

    for index, kept in enumerate(run_together(work)):
        for parsed in kept:
            assert np.all(parsed[0][1] == index)
            assert_same_columns(parsed[1:], expected[2][1:])


def test_readers_never_see_an_offset_that_was_not_set(restore_offset):
    zones = [-25, -11, -3, 0, 1, 5, 14, 25]
    allowed = {zone * HOUR for zone in zones} | {get_local_offset()}
    epoch_body = pack_table_frame("x", [("t", np.zeros(1, dtype="datetime64[us]"))])[8:]

    def work(index):
        if index == 0:
            for round_ in range(ROUNDS * 20):
                set_local_zone(zones[round_ % len(zones)])
            return set()
        seen = set()
        for _ in range(ROUNDS * 10):
            seen.add(get_local_offset())
            _, _, [(_, shifted)] = parse_table_frame(epoch_body)
            seen.add(int(shifted.astype(np.int64)[0]))
        return seen

    assert set().union(*run_together(work)) <= allowed
