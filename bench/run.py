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
from cases import Case, case_names, make_cases  # noqa: E402

ROWS = 2_000_000
OBJECT_NAME = "bench"


# ---- the operations -----------------------------------------------------------

def vorl_pack(case: Case) -> bytes:
    return pyvorl.pack_table_frame(OBJECT_NAME, case.columns, case.decimal_fields)


def vorl_parse(body: bytes):
    return pyvorl.parse_table_frame(body)


def vorl_dumps(case: Case) -> bytes:
    return pyvorl.dumps(case.columns, obj=OBJECT_NAME, decimals=case.decimal_fields)


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
    sizes = {
        "frame": len(frame),
        "arrow_ipc": ipc.size,
        "pickle": len(in_band),
        "pickle_oob": len(oob_data) + sum(memoryview(b).nbytes for b in oob_buffers),
        "floor": sum(array.nbytes for array in case.floor_arrays),
    }
    return {"seconds": seconds, "bytes": sizes}


# ---- the primary API: dumps/loads beside pack/parse, and two threads --------------------

EPOCH_US = 1_704_067_200_000_000


def two_thread_throughput(rows: int, repeat: int) -> dict:
    """Rows per second of dumps+loads of a numeric table: one thread alone, and two
    threads each with a table of its own (the lock is released while frames are
    encoded and decoded, so the second thread can use the second core)."""
    def numeric_table(seed: int) -> dict[str, np.ndarray]:
        rng = np.random.default_rng(seed)
        stamps = EPOCH_US + 1000 * np.arange(rows, dtype=np.int64) + rng.integers(0, 50, rows)
        return {"i": rng.integers(0, 1 << 40, rows), "f": rng.random(rows), "t": stamps.view("M8[us]")}

    tables = [numeric_table(0), numeric_table(1)]
    work = lambda table: pyvorl.loads(pyvorl.dumps(table))  # noqa: E731

    def both() -> None:
        threads = [threading.Thread(target=work, args=(table,)) for table in tables]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    one = best_time(lambda: work(tables[0]), repeat)
    two = best_time(both, repeat)
    return {"rows": rows, "one_thread_rows_per_s": rows / one, "two_threads_rows_per_s": 2 * rows / two,
            "speedup": 2 * one / two}


def print_api_report(results: list[dict], threads: dict | None) -> None:
    print("\ndumps/loads (whole frames, exact round trip) beside pack/parse, milliseconds\n")
    header = f"{'case':15} {'pack':>8} {'dumps':>8} {'parse':>8} {'loads':>8}"
    print(header)
    print("-" * len(header))
    for entry in results:
        s = entry["seconds"]
        print(f"{entry['case']:15} " + " ".join(f"{s[key] * 1e3:8.2f}" for key in ("pack", "dumps", "parse", "loads")))
    if threads:
        print(f"\ndumps+loads of {threads['rows']:,} numeric rows: "
              f"one thread {threads['one_thread_rows_per_s'] / 1e6:.1f} M rows/s, "
              f"two threads {threads['two_threads_rows_per_s'] / 1e6:.1f} M rows/s (x{threads['speedup']:.2f})")


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
    return {
        "pack_per_copy": s["pack"] / s["copy"],
        "parse_per_copy": s["parse"] / s["copy"],
        "pack_per_copyto": s["pack"] / s["copyto"],
        "parse_per_copyto": s["parse"] / s["copyto"],
        "vs_arrow": vorl / (s["arrow_write"] + s["arrow_read"]),
        "vs_arrow_with_build": vorl / (s["arrow_build_write"] + s["arrow_read"]),
        "vs_pickle": vorl / (s["pickle_dumps"] + s["pickle_loads"]),
        "vs_pickle_oob": vorl / (s["pickle_oob_dumps"] + s["pickle_oob_loads"]),
        "size_per_arrow": b["frame"] / b["arrow_ipc"],
        "size_per_pickle": b["frame"] / b["pickle"],
    }


def goals(case: Case, r: dict) -> list[tuple[str, bool]]:
    checks = []
    if case.copy_goal is not None:
        checks.append((f"pack/copy<={case.copy_goal}", r["pack_per_copy"] <= case.copy_goal))
        checks.append((f"parse/copy<={case.copy_goal}", r["parse_per_copy"] <= case.copy_goal))
    if case.arrow_goal:
        checks.append(("vs arrow<=1", r["vs_arrow"] <= 1.0))
    if case.size_goal is not None:
        checks.append((f"size/arrow<={case.size_goal}", r["size_per_arrow"] <= case.size_goal))
    return checks


def print_report(results: list[dict], rows: int) -> None:
    ms = lambda seconds: f"{seconds * 1e3:8.2f}"  # noqa: E731
    print(f"\n{rows:,} rows; milliseconds are the best of the repetitions\n")
    header = (f"{'case':15} {'pack':>8} {'parse':>8} {'copy':>8} {'copyto':>8} {'arrow w':>8} {'arrow r':>8} "
              f"{'pickle d':>8} {'pickle l':>8}")
    print(header)
    print("-" * len(header))
    for entry in results:
        s = entry["seconds"]
        print(f"{entry['case']:15} {ms(s['pack'])} {ms(s['parse'])} {ms(s['copy'])} {ms(s['copyto'])} "
              f"{ms(s['arrow_write'])} {ms(s['arrow_read'])} {ms(s['pickle_dumps'])} {ms(s['pickle_loads'])}")

    print()
    header = (f"{'case':15} {'pack/cp':>7} {'parse/cp':>8} {'vs arrow':>8} {'+build':>7} {'vs pkl':>7} "
              f"{'vs oob':>7} {'size/arw':>8} {'size/pkl':>8} {'frame MB':>8}  goals")
    print(header)
    print("-" * (len(header) + 30))
    for entry in results:
        r = entry["ratios"]
        marks = " ".join(f"{name}:{'ok' if met else 'MISSED'}" for name, met in entry["goals"])
        print(f"{entry['case']:15} {r['pack_per_copy']:7.2f} {r['parse_per_copy']:8.2f} {r['vs_arrow']:8.2f} "
              f"{r['vs_arrow_with_build']:7.2f} {r['vs_pickle']:7.2f} {r['vs_pickle_oob']:7.2f} "
              f"{r['size_per_arrow']:8.3f} {r['size_per_pickle']:8.3f} {entry['bytes']['frame'] / 1e6:8.2f}  {marks}")

    if any("memory" in entry for entry in results):
        print("\npeak memory beyond input and output, MB (RSS high-water mark, fresh process per cell)\n")
        header = f"{'case':15} " + " ".join(f"{name:>11}" for name in MEMORY_OPERATIONS)
        print(header)
        print("-" * len(header))
        for entry in results:
            if "memory" not in entry:
                continue
            cells = " ".join(f"{entry['memory'][name]['beyond_io'] / 1e6:11.2f}" for name in MEMORY_OPERATIONS)
            print(f"{entry['case']:15} {cells}")


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
        entry["goals"] = goals(case, entry["ratios"])
        results.append(entry)
    if not args.no_memory:
        for entry in results:
            print(f"memory {entry['case']} ...", file=sys.stderr, flush=True)
            entry["memory"] = measure_memory(entry["case"], args.rows)

    print("timing two threads ...", file=sys.stderr, flush=True)
    threads = two_thread_throughput(args.rows, args.repeat)
    print_report(results, args.rows)
    print_api_report(results, threads)
    report = {"rows": args.rows, "repeat": args.repeat, "machine": machine(), "results": results,
              "two_threads": threads}
    args.json.write_text(json.dumps(report, indent=2) + "\n")
    print(f"\nwritten to {args.json}")


if __name__ == "__main__":
    main()
