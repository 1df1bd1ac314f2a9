"""The demo's table: a day's trades, and the checks of what comes back."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from pyvorl import Table

OBJECT_NAME = "trades"
PRICE_PLACES = 2
SYMBOLS = ("AAPL", "MSFT", "NVDA", "AMZN", "GOOG", "META", "TSLA", "BRK.B")
OPENING = np.datetime64("2024-01-02T09:30:00", "us")


@dataclass(frozen=True)
class MarketData:
    timestamps: NDArray[np.datetime64]
    prices: NDArray[np.float64]
    quantities: NDArray[np.int32]
    buys: NDArray[np.bool_]
    symbols: NDArray[np.object_]

    def __len__(self) -> int:
        return len(self.prices)

    def columns(self, start: int, stop: int) -> dict[str, NDArray[Any]]:
        return {
            "ts": self.timestamps[start:stop],
            "price": self.prices[start:stop],
            "qty": self.quantities[start:stop],
            "buy": self.buys[start:stop],
            "symbol": self.symbols[start:stop],
        }

    def raw_bytes(self) -> int:
        """What the columns take as NumPy arrays, the texts as fixed-width bytes."""
        texts = self.symbols.astype(np.bytes_)
        return sum(a.nbytes for a in (self.timestamps, self.prices, self.quantities, self.buys, texts))


def make_market_data(rows: int, seed: int = 7) -> MarketData:
    """Trades 1 ms apart from the opening bell, prices on a random walk in cents."""
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, 0.02, rows)
    return MarketData(
        timestamps=OPENING + np.arange(rows).astype("timedelta64[ms]"),
        prices=np.round(150.0 + np.cumsum(steps), PRICE_PLACES),
        quantities=rng.integers(1, 1000, rows, dtype=np.int32),
        buys=rng.random(rows) < 0.5,
        symbols=np.asarray(SYMBOLS, dtype=object)[rng.integers(0, len(SYMBOLS), rows)],
    )


def check_frame(data: MarketData, start: int, stop: int, table: Table) -> list[str]:
    """The differences between a table read back and rows start:stop."""
    problems = []
    if (table.name, table.obj) != ("", OBJECT_NAME):
        problems.append(f"names {(table.name, table.obj)!r}, expected {('', OBJECT_NAME)!r}")
    expected = data.columns(start, stop)
    if list(table.column_names) != list(expected):
        return problems + [f"columns {list(table.column_names)}, expected {list(expected)}"]
    for name, values in expected.items():
        problem = _compare(table[name], values)
        if problem:
            problems.append(f"column {name!r}: {problem}")
    return problems


def _compare(got: NDArray[Any], expected: NDArray[Any]) -> str | None:
    if got.dtype != expected.dtype:
        return f"dtype {got.dtype}, expected {expected.dtype}"
    if got.shape != expected.shape:
        return f"{len(got)} values, expected {len(expected)}"
    wrong = np.flatnonzero(got != expected)
    if wrong.size == 0:
        return None
    first = wrong[0]
    return (
        f"{wrong.size} of {len(got)} values differ, first at row {first}: got {got[first]}, expected {expected[first]}"
    )
