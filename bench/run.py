"""pyvorl against the memory-speed floor, pyarrow IPC and pickle, side by side.

    make bench                      # everything, 2,000,000 rows (see bench/README.md)
    .venv/bin/python bench/run.py --cases float64 strings --repeat 5 --no-memory

Times are the best of at least --repeat calls (more for quick operations;
time.perf_counter, garbage collection off while timing). Peak memory beyond input and output is measured per case and
operation in a fresh subprocess from the kernel's resident-set high-water mark.
"""

from __future__ import annotations

import os

# NumPy's BLAS threads would only compete with the measured calls for the cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import ctypes  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import pickle  # noqa: E402
import platform  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pyarrow as pa  # noqa: E402

import pyvorl  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from cases import (  # noqa: E402
    GOALS,
    SMALL_TABLE_GOAL,
    THREADS_GOAL,
    Case,
    case_names,
    larger_is_better,
    make_cases,
    small_table,
    thread_tables,
)
from dataframes import whole_table_figures  # noqa: E402

ROWS = 2_000_000
OBJECT_NAME = "bench"


# ---- the operations -----------------------------------------------------------


def vorl_pack(case: Case) -> bytes:
    return pyvorl.pack_table_frame(OBJECT_NAME, case.columns, case.decimal_fields)


def vorl_parse(body: bytes):
    return pyvorl.parse_table_frame(body)


def vorl_dumps(case: Case) -> bytes:
    return pyvorl.dumps(case.columns, obj=OBJECT_NAME, decimals=case.decimal_fields)


def has_text_column(case: Case) -> bool:
    return any(isinstance(value, list) for _, value in case.columns)


def floor_copy(case: Case):
    return [array.copy() for array in case.floor_arrays]


def floor_copyto(targets: list[np.ndarray], case: Case):
    for target, array in zip(targets, case.floor_arrays):
        np.copyto(target, array)
    return targets


def arrow_table(case: Case) -> pa.Table:
    return pa.table({name: pa.array(value) for name, value in case.arrow_columns.items()})


def arrow_write(table: pa.Table) -> pa.Buffer:
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    return sink.getvalue()


def arrow_read(buffer: pa.Buffer) -> list[np.ndarray]:
    table = pa.ipc.open_stream(buffer).read_all()
    return [column.to_numpy(zero_copy_only=False) for column in table.columns]


def pickle_dumps_out_of_band(obj):
    buffers: list[pickle.PickleBuffer] = []
    data = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    return data, buffers


# ---- timing ---------------------------------------------------------------------


def best_time(operation, repeat: int, budget: float = 0.5, most: int = 200) -> float:
    """Seconds of the fastest call: at least `repeat` calls, more (up to `most`)
    while they fit in `budget` seconds, so that quick operations get enough tries
    for their minimum to settle. Results are dropped outside the clock."""
    gc.collect()
    gc.disable()
    try:
        best = float("inf")
        spent = 0.0
        calls = 0
        while calls < repeat or (spent < budget and calls < most):
            start = time.perf_counter()
            result = operation()
            elapsed = time.perf_counter() - start
            del result
            best = min(best, elapsed)
            spent += elapsed
            calls += 1
        return best
    finally:
        gc.enable()


def time_case(case: Case, repeat: int) -> dict:
    frame = vorl_pack(case)
    body = frame[8:]
    table = arrow_table(case)
    ipc = arrow_write(table)
    in_band = pickle.dumps(case.pickle_object, protocol=5)
    oob_data, oob_buffers = pickle_dumps_out_of_band(case.pickle_object)
    targets = [np.empty_like(array) for array in case.floor_arrays]
    floor_copyto(targets, case)  # the targets are warm before they are timed

    pyvorl.set_local_zone(0)
    seconds = {
        "pack": best_time(lambda: vorl_pack(case), repeat),
        "parse": best_time(lambda: vorl_parse(body), repeat),
        "dumps": best_time(lambda: vorl_dumps(case), repeat),
        "loads": best_time(lambda: pyvorl.loads(frame), repeat),
        "copy": best_time(lambda: floor_copy(case), repeat),
        "copyto": best_time(lambda: floor_copyto(targets, case), repeat),
        "arrow_write": best_time(lambda: arrow_write(table), repeat),
        "arrow_build_write": best_time(lambda: arrow_write(arrow_table(case)), repeat),
        "arrow_read": best_time(lambda: arrow_read(ipc), repeat),
        "pickle_dumps": best_time(lambda: pickle.dumps(case.pickle_object, protocol=5), repeat),
        "pickle_loads": best_time(lambda: pickle.loads(in_band), repeat),
        "pickle_oob_dumps": best_time(lambda: pickle_dumps_out_of_band(case.pickle_object), repeat),
        "pickle_oob_loads": best_time(lambda: pickle.loads(oob_data, buffers=oob_buffers), repeat),
    }
    if has_text_column(case):
        seconds["loads_stringdtype"] = best_time(lambda: pyvorl.loads(frame, strings="stringdtype"), repeat)
    sizes = {
        "frame": len(frame),
        "arrow_ipc": ipc.size,
        "pickle": len(in_band),
        "pickle_oob": len(oob_data) + sum(memoryview(b).nbytes for b in oob_buffers),
        "floor": sum(array.nbytes for array in case.floor_arrays),
    }
    return {"seconds": seconds, "bytes": sizes}


# ---- the primary API: dumps/loads beside pack/parse, and two threads --------------------


def print_api_report(results: list[dict]) -> None:
    print("\ndumps/loads (whole frames, exact round trip) beside pack/parse, milliseconds\n")
    header = f"{'case':15} {'pack':>8} {'dumps':>8} {'parse':>8} {'loads':>8}"
    print(header)
    print("-" * len(header))
    for entry in results:
        s = entry["seconds"]
        print(f"{entry['case']:15} " + " ".join(f"{s[key] * 1e3:8.2f}" for key in ("pack", "dumps", "parse", "loads")))


# ---- peak memory ------------------------------------------------------------------

MEMORY_OPERATIONS = ["pack", "parse", "copy", "arrow_write", "arrow_read"]


def _status_kib(key: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{key} missing from /proc/self/status")


def _output_bytes(result, source: pa.Buffer | None = None) -> int:
    """What the result itself occupies: new buffers, plus the str objects of
    object arrays. Arrays that view the source (pyarrow's zero-copy reads) add nothing."""
    if isinstance(result, (bytes, pa.Buffer)):
        return len(result) if isinstance(result, bytes) else result.size
    if isinstance(result, tuple):  # parse_table_frame
        result = [array for _, array in result[2]]
    total = 0
    for array in result:
        address = array.__array_interface__["data"][0]
        if source is not None and source.address <= address < source.address + source.size:
            continue
        total += array.nbytes
        if array.dtype == object:  # each distinct object once: equal texts may share one str
            distinct = {id(item): item for item in array}.values()
            total += sum((sys.getsizeof(item) + 15) // 16 * 16 for item in distinct)
    return total


def probe_memory(case_name: str, operation: str, rows: int) -> dict:
    """Run in a fresh process: RSS high-water mark growth of one call beyond
    its input and its output."""
    (case,) = make_cases(rows, only=case_name)
    pyvorl.set_local_zone(0)
    source = None
    if operation == "pack":
        run = lambda: vorl_pack(case)  # noqa: E731
    elif operation == "parse":
        body = vorl_pack(case)[8:]
        run = lambda: vorl_parse(body)  # noqa: E731
    elif operation == "copy":
        run = lambda: floor_copy(case)  # noqa: E731
    elif operation == "arrow_write":
        table = arrow_table(case)
        run = lambda: arrow_write(table)  # noqa: E731
    elif operation == "arrow_read":
        ipc = source = arrow_write(arrow_table(case))
        run = lambda: arrow_read(ipc)  # noqa: E731
    else:
        raise ValueError(operation)
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)  # freed heap memory would otherwise hide new allocations
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets the high-water mark to the current RSS
    before = _status_kib("VmRSS") * 1024
    result = run()
    peak = _status_kib("VmHWM") * 1024
    output = _output_bytes(result, source)
    return {"peak_growth": peak - before, "output": output, "beyond_io": peak - before - output}


def measure_memory(case_name: str, rows: int) -> dict:
    found = {}
    for operation in MEMORY_OPERATIONS:
        command = [sys.executable, __file__, "--probe-memory", case_name, operation, "--rows", str(rows)]
        completed = subprocess.run(command, capture_output=True, text=True, check=True)
        found[operation] = json.loads(completed.stdout)
    return found


# ---- report -------------------------------------------------------------------------


def ratios(entry: dict) -> dict:
    s, b = entry["seconds"], entry["bytes"]
    vorl = s["pack"] + s["parse"]
    arrow_with_build = s["arrow_build_write"] + s["arrow_read"]
    found = {
        "pack/copy": s["pack"] / s["copy"],
        "parse/copy": s["parse"] / s["copy"],
        "pack/copyto": s["pack"] / s["copyto"],
        "parse/copyto": s["parse"] / s["copyto"],
        "vs arrow": vorl / (s["arrow_write"] + s["arrow_read"]),
        "vs arrow+build": vorl / arrow_with_build,
        "vs pickle": vorl / (s["pickle_dumps"] + s["pickle_loads"]),
        "vs pickle oob": vorl / (s["pickle_oob_dumps"] + s["pickle_oob_loads"]),
        "size/arrow": b["frame"] / b["arrow_ipc"],
        "size/pickle": b["frame"] / b["pickle"],
    }
    if "loads_stringdtype" in s:
        found["stringdtype vs arrow"] = (s["pack"] + s["loads_stringdtype"]) / arrow_with_build
    return found


def goals(case_name: str, r: dict) -> list[dict]:
    """Each goal of the case beside its measured ratio; a ratio that could not be
    measured here (e.g. without pyvorl.loads) is reported as skipped."""
    checks = []
    for metric, limit in GOALS.get(case_name, {}).items():
        value = r.get(metric)
        met = None if value is None else (value >= limit if larger_is_better(metric) else value <= limit)
        checks.append({"metric": metric, "limit": limit, "value": value, "met": met})
    return checks


# ---- two threads --------------------------------------------------------------------


def thread_figure(rows: int, rounds: int = 3) -> dict:
    """Throughput of two threads, each packing and parsing its own numeric table
    with dumps + loads, over one thread doing the same work alone.
    Above 1 only where the calls release the GIL."""
    tables = thread_tables(rows, 2)

    def work(table):
        pyvorl.loads(pyvorl.dumps(dict(table)))

    api = "dumps+loads"

    def one_thread() -> float:
        start = time.perf_counter()
        for table in tables:
            work(table)
        return time.perf_counter() - start

    def two_threads() -> float:
        workers = [threading.Thread(target=work, args=(table,)) for table in tables]
        start = time.perf_counter()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        return time.perf_counter() - start

    work(tables[0])  # warm
    best_one = min(one_thread() for _ in range(rounds))
    best_two = min(two_threads() for _ in range(rounds))
    return {"api": api, "one_thread": best_one, "two_threads": best_two, "threads": best_one / best_two}


def small_table_figure(repeat: int) -> dict:
    """Microseconds per call on a 10-row table, where the work around the engine is what counts."""
    columns, pairs = small_table()
    frame = pyvorl.dumps(columns)
    body = pyvorl.pack_table_frame("", pairs)[8:]
    times = {
        "dumps": best_time(lambda: pyvorl.dumps(columns), repeat, most=100_000),
        "pack": best_time(lambda: pyvorl.pack_table_frame("", pairs), repeat, most=100_000),
        "loads": best_time(lambda: pyvorl.loads(frame), repeat, most=100_000),
        "parse": best_time(lambda: pyvorl.parse_table_frame(body), repeat, most=100_000),
    }
    return {**times, "dumps/pack": times["dumps"] / times["pack"], "loads/parse": times["loads"] / times["parse"]}


def print_small_table(small: dict) -> None:
    print("\nsmall table (10 rows, 3 columns), microseconds per call\n")
    print("  ".join(f"{key} {small[key] * 1e6:.2f}" for key in ("dumps", "pack", "loads", "parse")))
    for metric in ("dumps/pack", "loads/parse"):
        print(
            _goal_text(
                {
                    "metric": metric,
                    "value": small[metric],
                    "limit": SMALL_TABLE_GOAL,
                    "met": small[metric] <= SMALL_TABLE_GOAL,
                }
            )
        )


def print_report(results: list[dict], rows: int, threads: dict | None) -> None:
    ms = lambda seconds: f"{seconds * 1e3:8.2f}"  # noqa: E731
    width = max(len(entry["case"]) for entry in results) + 1
    print(f"\n{rows:,} rows; milliseconds are the best of the repetitions\n")
    header = (
        f"{'case':{width}} {'pack':>8} {'parse':>8} {'copy':>8} {'copyto':>8} {'arrow w':>8} {'arrow r':>8} "
        f"{'arrow bw':>8} {'pickle d':>8} {'pickle l':>8}"
    )
    print(header)
    print("-" * len(header))
    for entry in results:
        s = entry["seconds"]
        print(
            f"{entry['case']:{width}} {ms(s['pack'])} {ms(s['parse'])} {ms(s['copy'])} {ms(s['copyto'])} "
            f"{ms(s['arrow_write'])} {ms(s['arrow_read'])} {ms(s['arrow_build_write'])} "
            f"{ms(s['pickle_dumps'])} {ms(s['pickle_loads'])}"
        )

    print()
    header = (
        f"{'case':{width}} {'pack/cp':>7} {'parse/cp':>8} {'vs arrow':>8} {'+build':>7} {'vs pkl':>7} "
        f"{'size/arw':>8} {'frame MB':>8}  goals (ratio vs goal)"
    )
    print(header)
    print("-" * (len(header) + 30))
    for entry in results:
        r = entry["ratios"]
        marks = "  ".join(_goal_text(goal) for goal in entry["goals"])
        print(
            f"{entry['case']:{width}} {r['pack/copy']:7.2f} {r['parse/copy']:8.2f} {r['vs arrow']:8.2f} "
            f"{r['vs arrow+build']:7.2f} {r['vs pickle']:7.2f} "
            f"{r['size/arrow']:8.3f} {entry['bytes']['frame'] / 1e6:8.2f}  {marks}"
        )

    if threads is not None:
        goal = {
            "metric": "threads",
            "limit": THREADS_GOAL,
            "value": threads["threads"],
            "met": threads["threads"] >= THREADS_GOAL,
        }
        print(
            f"\ntwo threads ({threads['api']} of two numeric tables): one thread {ms(threads['one_thread'])} ms, "
            f"two threads {ms(threads['two_threads'])} ms  {_goal_text(goal, '>=')}"
        )

    if any("memory" in entry for entry in results):
        print("\npeak memory beyond input and output, MB (RSS high-water mark, fresh process per cell)\n")
        header = f"{'case':{width}} " + " ".join(f"{name:>11}" for name in MEMORY_OPERATIONS)
        print(header)
        print("-" * len(header))
        for entry in results:
            if "memory" not in entry:
                continue
            cells = " ".join(f"{entry['memory'][name]['beyond_io'] / 1e6:11.2f}" for name in MEMORY_OPERATIONS)
            print(f"{entry['case']:{width}} {cells}")


def _goal_text(goal: dict, relation: str = "<=") -> str:
    if goal["met"] is None:
        return f"{goal['metric']} skipped"
    mark = "ok" if goal["met"] else "MISSED"
    return f"{goal['metric']} {goal['value']:.2f}{relation}{goal['limit']} {mark}"


def machine() -> dict:
    return {
        "python": platform.python_version(),
        "numpy": np.__version__,
        "pyarrow": pa.__version__,
        "processor": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "load_average": os.getloadavg(),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=ROWS)
    parser.add_argument("--repeat", type=int, default=7, help="at least this many calls per time")
    parser.add_argument("--cases", nargs="*", choices=case_names(), help="default: every case")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    parser.add_argument("--no-threads", action="store_true", help="skip the two-thread figure")
    parser.add_argument("--json", type=Path, default=Path(__file__).resolve().parent / "results.json")
    parser.add_argument("--probe-memory", nargs=2, metavar=("CASE", "OPERATION"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.probe_memory:
        print(json.dumps(probe_memory(*args.probe_memory, args.rows)))
        return

    results = []
    wanted = set(args.cases or case_names())
    for name in case_names():
        if name not in wanted:
            continue
        (case,) = make_cases(args.rows, only=name)
        print(f"timing {case.name} ...", file=sys.stderr, flush=True)
        entry = {"case": case.name, "notes": case.notes, **time_case(case, args.repeat)}
        entry["ratios"] = ratios(entry)
        entry["goals"] = goals(case.name, entry["ratios"])
        results.append(entry)
    if not args.no_memory:
        for entry in results:
            print(f"memory {entry['case']} ...", file=sys.stderr, flush=True)
            entry["memory"] = measure_memory(entry["case"], args.rows)

    threads = None
    if not args.no_threads:
        print("timing two threads ...", file=sys.stderr, flush=True)
        threads = thread_figure(args.rows, args.repeat)

    small = small_table_figure(args.repeat)
    print_report(results, args.rows, threads)
    print_api_report(results)
    print_small_table(small)
    whole_tables = whole_table_figures(args.rows, best_time, args.repeat)
    report = {
        "rows": args.rows,
        "repeat": args.repeat,
        "machine": machine(),
        "results": results,
        "threads": threads,
        "small_table": small,
        "whole_tables": whole_tables,
    }
    args.json.write_text(json.dumps(report, indent=2) + "\n")
    print(f"\nwritten to {args.json}")


if __name__ == "__main__":
    main()
