"""The benchmark's columns: each case holds the same data in the form that
pyvorl, pyarrow and pickle each take, and the NumPy arrays whose copy is the
memory-speed floor for it."""

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
    # (pack/copy, parse/copy) limits, or None where the goal is against pyarrow
    copy_goal: float | None
    arrow_goal: bool = False  # pack+parse no slower than pyarrow write+read
    size_goal: float | None = None  # frame size at most this fraction of the IPC stream
    notes: str = ""


def _symbols(rng: np.random.Generator, rows: int) -> list[str]:
    """rows ASCII texts of 8 to 12 capital letters."""
    letters = rng.integers(ord("A"), ord("Z") + 1, size=(rows, 12), dtype=np.uint8)
    lengths = rng.integers(8, 13, size=rows)
    letters[np.arange(12)[None, :] >= lengths[:, None]] = 0  # 'S12' drops the trailing zeros
    return letters.view("S12").ravel().astype("U12").tolist()


def _text_bytes(texts: list[str]) -> np.ndarray:
    return np.frombuffer("".join(texts).encode(), dtype=np.uint8)


def _prices(rng: np.random.Generator, rows: int) -> np.ndarray:
    """A random walk in cents around 100.00, as float64 with two places."""
    ticks = 10_000 + np.cumsum(rng.integers(-3, 4, size=rows))
    return ticks.astype(np.float64) / 100.0


def _one_column(name: str, data: np.ndarray, copy_goal: float, decimal_places: int | None = None,
                notes: str = "") -> Case:
    return Case(
        name=name,
        columns=[("x", data)],
        decimal_fields=None if decimal_places is None else {"x": decimal_places},
        arrow_columns={"x": data},
        pickle_object={"x": data},
        floor_arrays=[data],
        copy_goal=copy_goal,
        notes=notes,
    )


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


def _strings(name: str, rng: np.random.Generator, rows: int) -> Case:
    symbols = _symbols(rng, rows)
    return Case(
        name=name,
        columns=[("x", symbols)],
        decimal_fields=None,
        arrow_columns={"x": symbols},
        pickle_object={"x": np.array(symbols, dtype=object)},
        floor_arrays=[_text_bytes(symbols)],
        copy_goal=None,
        arrow_goal=True,
        notes="8-12 char ASCII symbols; the floor is a copy of their UTF-8 bytes",
    )


def _mixed(name: str, rng: np.random.Generator, rows: int) -> Case:
    gaps_ms = rng.exponential(20.0, size=rows).astype(np.int64)
    times = (EPOCH_2024_US + np.cumsum(gaps_ms) * 1000).astype("datetime64[us]")
    prices = _prices(rng, rows)
    quantities = np.maximum(1, rng.lognormal(4.0, 1.2, size=rows)).astype(np.int32)
    sides = rng.integers(0, 2, size=rows).astype(bool)
    venue_names = ["XNAS", "XNYS", "ARCX", "BATS", "EDGX", "IEXG", "XCHI", "MEMX"]
    venues = [venue_names[i] for i in rng.integers(0, len(venue_names), size=rows)]
    return Case(
        name=name,
        columns=[("time", times), ("price", prices), ("qty", quantities), ("buy", sides), ("venue", venues)],
        decimal_fields={"price": 2},
        arrow_columns={"time": times, "price": prices, "qty": quantities, "buy": sides, "venue": venues},
        pickle_object={"time": times, "price": prices, "qty": quantities, "buy": sides,
                       "venue": np.array(venues, dtype=object)},
        floor_arrays=[times, prices, quantities, sides, _text_bytes(venues)],
        copy_goal=None,
        arrow_goal=True,
        size_goal=0.5,
        notes="ms timestamps (exponential gaps, mean 20 ms), prices as decimals with 2 places, "
              "int32 quantities, bool side, venue texts; pyarrow and pickle get the prices as float64",
    )


def _column(build, copy_goal: float, decimal_places: int | None = None, notes: str = ""):
    def make(name: str, rng: np.random.Generator, rows: int) -> Case:
        return _one_column(name, build(rng, rows), copy_goal, decimal_places, notes)
    return make


_BUILDERS = {
    "float64": _column(lambda rng, n: rng.standard_normal(n), 1.5),
    "float32": _column(lambda rng, n: rng.standard_normal(n).astype(np.float32), 1.5),
    "bool": _column(lambda rng, n: rng.integers(0, 2, size=n).astype(bool), 1.5),
    "int64 small": _column(lambda rng, n: rng.integers(-100, 101, size=n, dtype=np.int64), 2.0),
    "int32 small": _column(lambda rng, n: rng.integers(-100, 101, size=n, dtype=np.int32), 2.0),
    "int64 random": _column(lambda rng, n: rng.integers(-(2**61), 2**61, size=n, dtype=np.int64), 4.0,
                            notes="62-bit values: 9 bytes each in a frame"),
    "datetime 1s": _column(
        lambda rng, n: (EPOCH_2024_US + np.arange(n, dtype=np.int64) * 1_000_000).astype("datetime64[us]"), 2.0,
        notes="datetime64[us] at a regular 1 s spacing"),
    "decimal prices": _column(_prices, 3.0, decimal_places=2,
                              notes="float64 packed as decimals with 2 places; pyarrow and pickle get the float64"),
    "strings": _strings,
    "mixed table": _mixed,
}
