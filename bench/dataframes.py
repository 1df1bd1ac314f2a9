"""Whole-table figures: a realistic DataFrame through pandas and polars against each library's own
Arrow IPC round trip, and reading a few columns of a wide frame against reading all of them."""

from __future__ import annotations

import io

import numpy as np

import pyvorl

DATAFRAME_ROWS = 336_776
# Ratios to the library's own IPC round trip; a projection's time to the whole frame's.
DATAFRAME_GOALS = {"pandas": 1.0, "polars": 1.0}
PROJECTION_GOAL = 0.3


def flights(rows: int):
    """A flights-like pandas DataFrame: ints, floats and datetimes with gaps, and five text columns
    from a handful of distinct values to nearly all distinct, in pandas' default `str` dtype."""
    import pandas as pd

    rng = np.random.default_rng(2013)
    gaps = lambda share: rng.random(rows) < share  # noqa: E731
    departure = np.datetime64("2013-01-01", "ns") + np.sort(rng.integers(0, 365 * 86_400, rows)).astype("m8[s]")
    data = {
        "year": np.full(rows, 2013, np.int16),
        "month": rng.integers(1, 13, rows).astype(np.int8),
        "day": rng.integers(1, 32, rows).astype(np.int8),
        "dep_time": pd.array(rng.integers(1, 2400, rows), dtype="Int32"),
        "sched_dep_time": rng.integers(500, 2400, rows).astype(np.int32),
        "dep_delay": pd.array(np.round(rng.normal(12, 40, rows)), dtype="Float64"),
        "arr_time": pd.array(rng.integers(1, 2400, rows), dtype="Int32"),
        "arr_delay": rng.normal(7, 44, rows),
        "flight": rng.integers(1, 8500, rows),
        "air_time": rng.normal(150, 90, rows).round(),
        "distance": rng.integers(17, 4983, rows),
        "hour": rng.integers(5, 24, rows),
        "minute": rng.integers(0, 60, rows),
        "price": np.round(rng.lognormal(5, 0.5, rows), 2),
        "time_hour": pd.Series(departure).dt.tz_localize("UTC").dt.tz_convert("America/New_York"),
        "departed": pd.Series(departure + rng.integers(-600, 3600, rows).astype("m8[s]")),
        "carrier": rng.choice([f"C{i}" for i in range(16)], rows),
        "origin": rng.choice(["EWR", "JFK", "LGA"], rows),
        "dest": rng.choice([f"D{i:03}" for i in range(105)], rows),
        "tailnum": rng.choice([f"N{i:05}" for i in range(4044)], rows).astype(object),
        "note": [f"flight {i} to somewhere {i * 7919 % 100_003}" for i in range(rows)],
    }
    frame = pd.DataFrame(data)
    for name, share in (("dep_time", 0.025), ("dep_delay", 0.025), ("arr_time", 0.026)):
        frame.loc[gaps(share), name] = pd.NA
    frame.loc[gaps(0.0075), "tailnum"] = None
    frame.loc[gaps(0.02), "departed"] = pd.NaT
    for name in ("carrier", "origin", "dest", "note"):
        frame[name] = frame[name].astype("str")
    return frame


def pandas_figures(frame, best_time, repeat: int) -> dict:
    import pyarrow as pa

    def arrow_round_trip():
        table = pa.Table.from_pandas(frame)
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, table.schema) as writer:
            writer.write_table(table)
        return pa.ipc.open_stream(sink.getvalue()).read_all().to_pandas()

    frame_bytes = pyvorl.dumps(frame)
    times = {
        "vorl": best_time(lambda: pyvorl.loads(pyvorl.dumps(frame)).to_pandas(), repeat, most=20),
        "dumps": best_time(lambda: pyvorl.dumps(frame), repeat, most=20),
        "loads": best_time(lambda: pyvorl.loads(frame_bytes), repeat, most=20),
        "arrow": best_time(arrow_round_trip, repeat, most=20),
    }
    return {**times, "ratio": times["vorl"] / times["arrow"], "frame_bytes": len(frame_bytes)}


def polars_figures(frame, best_time, repeat: int) -> dict:
    import polars as pl

    table = pl.from_pandas(frame)

    def polars_round_trip():
        sink = io.BytesIO()
        table.write_ipc_stream(sink)
        return pl.read_ipc_stream(sink.getvalue())

    times = {
        "vorl": best_time(lambda: pl.DataFrame(pyvorl.loads(pyvorl.dumps(table))), repeat, most=20),
        "polars": best_time(polars_round_trip, repeat, most=20),
    }
    return {**times, "ratio": times["vorl"] / times["polars"]}


def projection_figure(rows: int, best_time, repeat: int) -> dict:
    """Two of twenty columns of a frame of int64, float64, decimal and datetime columns."""
    rng = np.random.default_rng(20)
    columns = {}
    for i in range(5):
        columns[f"int{i}"] = rng.integers(-(2**20), 2**20, rows)
        columns[f"float{i}"] = rng.random(rows)
        columns[f"price{i}"] = np.round(100 + rng.standard_normal(rows), 2)
        columns[f"at{i}"] = np.datetime64("2026-01-01", "us") + np.cumsum(rng.exponential(1e4, rows).astype("m8[us]"))
    frame = pyvorl.dumps(columns, decimals={f"price{i}": 2 for i in range(5)})
    whole = best_time(lambda: pyvorl.loads(frame), repeat, most=50)
    two = best_time(lambda: pyvorl.loads(frame, columns=["int0", "price3"]), repeat, most=50)
    return {"whole": whole, "two": two, "ratio": two / whole}


def print_figures(dataframes: dict, projection: dict) -> None:
    ms = lambda seconds: f"{seconds * 1e3:.1f} ms"  # noqa: E731
    print(f"\nDataFrame round trips ({DATAFRAME_ROWS:,} rows, 21 columns with nulls and five text columns)\n")
    for library, figures in dataframes.items():
        if "skipped" in figures:
            print(f"{library}: skipped ({figures['skipped']})")
            continue
        own = figures.get("arrow", figures.get("polars"))
        goal = DATAFRAME_GOALS[library]
        mark = "ok" if figures["ratio"] <= goal else "MISSED"
        parts = f"dumps {ms(figures['dumps'])}, loads {ms(figures['loads'])}, " if "dumps" in figures else ""
        print(
            f"{library}: pyvorl {ms(figures['vorl'])} ({parts}frame {figures.get('frame_bytes', 0) / 1e6:.1f} MB), "
            f"own IPC {ms(own)}  ratio {figures['ratio']:.2f}<={goal} {mark}"
        )
    mark = "ok" if projection["ratio"] <= PROJECTION_GOAL else "MISSED"
    print(
        f"\nloads of 2 of 20 columns: {ms(projection['two'])} against {ms(projection['whole'])} for all  "
        f"ratio {projection['ratio']:.2f}<={PROJECTION_GOAL} {mark}"
    )


def whole_table_figures(rows: int, best_time, repeat: int) -> dict:
    dataframes: dict[str, dict] = {}
    frame = flights(DATAFRAME_ROWS)
    for library, figures in (("pandas", pandas_figures), ("polars", polars_figures)):
        try:
            dataframes[library] = figures(frame, best_time, repeat)
        except (TypeError, ValueError) as error:  # a type this build cannot take yet
            dataframes[library] = {"skipped": str(error)[:200]}
    projection = projection_figure(rows, best_time, repeat)
    print_figures(dataframes, projection)
    return {"dataframes": dataframes, "projection": projection}
