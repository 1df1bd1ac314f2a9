"""The benchmark's columns and its goals: each case holds the same data in the
form that pyvorl, pyarrow and pickle each take, and the NumPy arrays whose copy
is the memory-speed floor for it. The data is realistic rather than friendly:
integers whose varint widths change unpredictably, prices of many instruments,
irregular exchange timestamps, millions of distinct texts."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

SEED = 20_240_607
EPOCH_2024_US = 1_704_067_200_000_000  # 2024-01-01T00:00:00 UTC in microseconds


@dataclass
class Case:
    name: str
    # pyvorl: pack_table_frame("bench", columns, decimal_fields)
    columns: list[tuple[str, object]]
    decimal_fields: dict[str, int] | None
    # pyarrow: pa.table({name: pa.array(value)}) from these
    arrow_columns: dict[str, object]
    # pickle: this dict of NumPy arrays (object arrays for texts)
    pickle_object: dict[str, np.ndarray]
    # the floor: a copy of these arrays (the column's bytes)
    floor_arrays: list[np.ndarray]
    notes: str = ""


# ---- goals --------------------------------------------------------------------
#
# metric -> limit, per case. Metrics (computed in run.py):
#   pack/copy, parse/copy   pyvorl time over a copy of the column's bytes
#   vs arrow+build          (pack + parse) / (pyarrow table build + IPC write + read + to_numpy)
#   stringdtype vs arrow    (pack + loads(strings="stringdtype")) / the same pyarrow time
#   size/arrow              frame bytes / IPC stream bytes
#   threads                 throughput of two threads / one thread (a larger-is-better goal)

FIXED = {"pack/copy": 1.2, "parse/copy": 1.2}
INTS = {"pack/copy": 2.5, "parse/copy": 2.5}
DECIMALS = {"pack/copy": 2.5, "parse/copy": 2.5}
DATETIMES = {"pack/copy": 2.0, "parse/copy": 2.0}

GOALS: dict[str, dict[str, float]] = {
    "float64": FIXED,
    "float32": FIXED,
    "bool": FIXED,
    **{f"{kind} {mix}": INTS for kind in ("int64", "int32") for mix in ("w1", "w1/3", "w1/3/5")},
    "int64 w9": INTS,
    "decimal walk": DECIMALS,
    "decimal cross": DECIMALS,
    "datetime regular": DATETIMES,
    "datetime irregular": DATETIMES,
    "strings": {"vs arrow+build": 0.7, "stringdtype vs arrow": 0.4},
    "mixed table": {"vs arrow+build": 0.7, "size/arrow": 0.35},
}
THREADS_GOAL = 1.7  # two threads' throughput over one thread's
SMALL_TABLE_GOAL = 1.5  # dumps over pack_table_frame, loads over parse_table_frame, on 10 rows


def small_table() -> tuple[dict, list]:
    """Ten rows of an int64, a float64 and a text column: what a call costs around the engine.
    The same columns as dumps takes them and as pack_table_frame takes them."""
    texts = [f"s{i}" for i in range(10)]
    columns = {"i": np.arange(10), "f": np.linspace(0, 1, 10), "t": np.array(texts, dtype=object)}
    return columns, [("i", columns["i"]), ("f", columns["f"]), ("t", texts)]


def larger_is_better(metric: str) -> bool:
    return metric == "threads"


# ---- data -----------------------------------------------------------------------


def _symbols(rng: np.random.Generator, rows: int) -> list[str]:
    """rows ASCII texts of 8 to 12 capital letters (practically all distinct)."""
    letters = rng.integers(ord("A"), ord("Z") + 1, size=(rows, 12), dtype=np.uint8)
    lengths = rng.integers(8, 13, size=rows)
    letters[np.arange(12)[None, :] >= lengths[:, None]] = 0  # 'S12' drops the trailing zeros
    return letters.view("S12").ravel().astype("U12").tolist()


def _text_bytes(texts: list[str]) -> np.ndarray:
    return np.frombuffer("".join(texts).encode(), dtype=np.uint8)


# Zigzag values whose varint takes 1, 3, 5 or 9 bytes (one byte up to 250,
# then a marker and 2, 4 or 8 bytes).
_WIDTH_RANGES = {1: (0, 250), 3: (251, 2**16 - 1), 5: (2**16, 2**32 - 1), 9: (2**32, 2**62)}


def _mixed_widths(rng: np.random.Generator, rows: int, widths: tuple[int, ...], dtype) -> np.ndarray:
    """Signed integers whose varint widths are drawn uniformly from `widths`, in random order."""
    chosen = rng.choice(np.array(widths), size=rows)
    zigzag = np.empty(rows, dtype=np.uint64)
    for width in widths:
        low, high = _WIDTH_RANGES[width]
        where = chosen == width
        zigzag[where] = rng.integers(low, high, size=int(where.sum()), dtype=np.uint64, endpoint=True)
    # un-zigzag: even -> n/2, odd -> -(n+1)/2
    values = (zigzag >> np.uint64(1)).astype(np.int64) ^ -(zigzag & np.uint64(1)).astype(np.int64)
    return values.astype(dtype)


def _price_walk(rng: np.random.Generator, rows: int) -> np.ndarray:
    """One instrument: a random walk in cents around 100.00, float64 with two places."""
    ticks = 10_000 + np.cumsum(rng.integers(-3, 4, size=rows))
    return ticks.astype(np.float64) / 100.0


def _price_cross_section(rng: np.random.Generator, rows: int) -> np.ndarray:
    """Many instruments interleaved: 100 + N(0, 1), rounded to cents, so neighbours
    differ by about a dollar and the differences need two-byte varints mostly."""
    return np.round(100.0 + rng.standard_normal(rows), 2)


def _irregular_times_us(rng: np.random.Generator, rows: int, mean_gap_us: float) -> np.ndarray:
    """Exchange timestamps: exponential gaps (many near zero, a long tail)."""
    gaps = rng.exponential(mean_gap_us, size=rows).astype(np.int64)
    return EPOCH_2024_US + np.cumsum(gaps)


def _one_column(name: str, data: np.ndarray, decimal_places: int | None = None, notes: str = "") -> Case:
    return Case(
        name=name,
        columns=[("x", data)],
        decimal_fields=None if decimal_places is None else {"x": decimal_places},
        arrow_columns={"x": data},
        pickle_object={"x": data},
        floor_arrays=[data],
        notes=notes,
    )


def _column(build, decimal_places: int | None = None, notes: str = ""):
    def make(name: str, rng: np.random.Generator, rows: int) -> Case:
        return _one_column(name, build(rng, rows), decimal_places, notes)

    return make


def _ints(dtype, widths: tuple[int, ...]):
    return _column(
        lambda rng, n: _mixed_widths(rng, n, widths, dtype),
        notes=f"varint widths {'/'.join(map(str, widths))} bytes, in random order",
    )


def _strings(name: str, rng: np.random.Generator, rows: int) -> Case:
    symbols = _symbols(rng, rows)
    return Case(
        name=name,
        columns=[("x", symbols)],
        decimal_fields=None,
        arrow_columns={"x": symbols},
        pickle_object={"x": np.array(symbols, dtype=object)},
        floor_arrays=[_text_bytes(symbols)],
        notes="8-12 char ASCII symbols, all distinct; the floor is a copy of their UTF-8 bytes",
    )


def _mixed(name: str, rng: np.random.Generator, rows: int) -> Case:
    times = (_irregular_times_us(rng, rows, 20_000.0) // 1000 * 1000).astype("datetime64[us]")  # ms stamps
    prices = _price_cross_section(rng, rows)
    sizes = np.maximum(1, rng.lognormal(4.0, 1.2, size=rows)).astype(np.int32)
    sides = rng.integers(0, 2, size=rows).astype(bool)
    venue_names = ["XNAS", "XNYS", "ARCX", "BATS", "EDGX", "IEXG", "XCHI", "MEMX"]
    venues = [venue_names[i] for i in rng.integers(0, len(venue_names), size=rows)]
    columns = {"time": times, "price": prices, "size": sizes, "buy": sides, "venue": venues}
    return Case(
        name=name,
        columns=list(columns.items()),
        decimal_fields={"price": 2},
        arrow_columns=columns,
        pickle_object={**columns, "venue": np.array(venues, dtype=object)},
        floor_arrays=[times, prices, sizes, sides, _text_bytes(venues)],
        notes="ms timestamps (exponential gaps, mean 20 ms), cross-section prices as decimals with 2 places, "
        "int32 sizes, bool side, venue texts; pyarrow and pickle get the prices as float64",
    )


_BUILDERS = {
    "float64": _column(lambda rng, n: rng.standard_normal(n)),
    "float32": _column(lambda rng, n: rng.standard_normal(n).astype(np.float32)),
    "bool": _column(lambda rng, n: rng.integers(0, 2, size=n).astype(bool)),
    "int64 w1": _ints(np.int64, (1,)),
    "int64 w1/3": _ints(np.int64, (1, 3)),
    "int64 w1/3/5": _ints(np.int64, (1, 3, 5)),
    "int64 w9": _ints(np.int64, (9,)),
    "int32 w1": _ints(np.int32, (1,)),
    "int32 w1/3": _ints(np.int32, (1, 3)),
    "int32 w1/3/5": _ints(np.int32, (1, 3, 5)),
    "decimal walk": _column(
        _price_walk,
        decimal_places=2,
        notes="one instrument's random walk in cents; float64 packed as decimals with 2 places",
    ),
    "decimal cross": _column(
        _price_cross_section,
        decimal_places=2,
        notes="many instruments: 100 + N(0,1) in cents, packed as decimals with 2 places",
    ),
    "datetime regular": _column(
        lambda rng, n: (EPOCH_2024_US + np.arange(n, dtype=np.int64) * 1_000_000).astype("datetime64[us]"),
        notes="datetime64[us] at a regular 1 s spacing",
    ),
    "datetime irregular": _column(
        lambda rng, n: _irregular_times_us(rng, n, 500.0).astype("datetime64[us]"),
        notes="datetime64[us] exchange timestamps, exponential gaps with a mean of 500 us",
    ),
    "strings": _strings,
    "mixed table": _mixed,
}


def make_cases(rows: int, only: str | None = None) -> list[Case]:
    """Every case, or only the one named; each draws from its own seeded generator,
    so a case is the same whether it is built alone or with the others."""
    cases = []
    for index, (name, build) in enumerate(_BUILDERS.items()):
        if only is None or name == only:
            cases.append(build(name, np.random.default_rng([SEED, index]), rows))
    return cases


def case_names() -> list[str]:
    return list(_BUILDERS)


def thread_tables(rows: int, count: int) -> list[list[tuple[str, np.ndarray]]]:
    """`count` numeric tables (float64, mixed-width int64, irregular timestamps) for the two-thread figure."""
    tables = []
    for index in range(count):
        rng = np.random.default_rng([SEED, 1000 + index])
        tables.append(
            [
                ("f", rng.standard_normal(rows)),
                ("i", _mixed_widths(rng, rows, (1, 3), np.int64)),
                ("t", _irregular_times_us(rng, rows, 500.0).astype("datetime64[us]")),
            ]
        )
    return tables
