"""pyvorl.dask.read_frames of 8 local files on a two-worker cluster against one process reading them with open_frames.

    .venv/bin/python bench/dask_read.py [--rows 500000] [--repeat 3]

Both sides make pandas DataFrames of every frame and reduce them (a sum of every numeric column, or of one
column, where Dask's selection reaches loads(columns=...) and one process asks loads the same); the files are
read once before timing, so both read from the page cache. Prints the best time of --repeat and the throughput
in MB of frames per second.
"""

from __future__ import annotations

import argparse
import functools
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import pyvorl
import pyvorl.dask

FILES, FRAMES_PER_FILE = 8, 2


def write_files(directory: Path, rows: int) -> int:
    rng = np.random.default_rng(7)
    for number in range(FILES):
        with open(directory / f"part.{number}.vorl", "wb") as stream:
            for _ in range(FRAMES_PER_FILE):
                frame = pd.DataFrame(
                    {
                        "ts": pd.Timestamp("2024-01-02", tz="UTC") + pd.to_timedelta(np.arange(rows) * 20, "ms"),
                        "price": np.round(100 + rng.normal(0, 1, rows), 2),
                        "qty": rng.lognormal(4, 1, rows).astype(np.int32),
                        "side": rng.random(rows) < 0.5,
                    }
                )
                stream.write(pyvorl.dumps(frame, decimals={"price": 2}))
    return sum(path.stat().st_size for path in directory.iterdir())


def one_process(directory: Path, columns: list[str] | None) -> float:
    total = 0.0
    for path in sorted(directory.iterdir()):
        with pyvorl.open_frames(path, columns=columns) as frames:
            for table in frames:
                total += float(table.to_pandas().sum(numeric_only=True).sum())
    return total


def on_cluster(directory: Path, columns: list[str] | None) -> float:
    ddf = pyvorl.dask.read_frames(directory)
    selected = ddf if columns is None else ddf[columns]
    return float(selected.sum(numeric_only=True).sum().compute())


def best(run: Callable[[], float], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=500_000, help="rows per frame")
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        size = write_files(directory, options.rows)
        print(f"{FILES} files x {FRAMES_PER_FILE} frames x {options.rows:,} rows: {size / 1e6:.0f} MB of frames")
        with (
            LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None) as cluster,
            Client(cluster),
        ):
            for label, columns in (("all columns", None), ("price only", ["price"])):
                assert np.isclose(one_process(directory, columns), on_cluster(directory, columns))  # and warm up
                for side, run in (("one process", one_process), ("dask, 2 workers", on_cluster)):
                    seconds = best(functools.partial(run, directory, columns), options.repeat)
                    print(f"{label:12} {side:16} {seconds * 1e3:8.0f} ms {size / 1e6 / seconds:8.0f} MB/s")


if __name__ == "__main__":
    main()
