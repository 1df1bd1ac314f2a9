"""The demo's table: a day's trades, and the checks of what comes back."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from pyvorl._framing import Column, ParsedFrame
from pyvorl._vorl import get_local_offset

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
    symbols: list[str]

    def __len__(self) -> int:
        return len(self.prices)

    def columns(self, start: int, stop: int) -> list[Column]:
        return [
            ("ts", self.timestamps[start:stop]),
            ("price", self.prices[start:stop]),
            ("qty", self.quantities[start:stop]),
            ("buy", self.buys[start:stop]),
            ("symbol", self.symbols[start:stop]),
        ]

    def raw_bytes(self) -> int:
        """What the columns take as NumPy arrays, the texts as fixed-width bytes."""
        texts = np.array(self.symbols, dtype=np.bytes_)
        return sum(a.nbytes for a in (self.timestamps, self.prices, self.quantities, self.buys, texts))

    def expected_prices(self) -> NDArray[np.float64]:
        # Each price is the float nearest a whole cent, and the packer keeps the
        # one decimal with 2 places that rounds to it: every price comes back.
        result: NDArray[np.float64] = self.prices.copy()
        return result


def make_market_data(rows: int, seed: int = 7) -> MarketData:
    """Trades 1 ms apart from the opening bell, prices on a random walk in cents."""
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, 0.02, rows)
    return MarketData(
        timestamps=OPENING + np.arange(rows).astype("timedelta64[ms]"),
        prices=np.round(150.0 + np.cumsum(steps), PRICE_PLACES),
        quantities=rng.integers(1, 1000, rows, dtype=np.int32),
        buys=rng.random(rows) < 0.5,
        symbols=np.asarray(SYMBOLS)[rng.integers(0, len(SYMBOLS), rows)].tolist(),
    )


def check_frame(
    data: MarketData, expected_prices: NDArray[np.float64], start: int, stop: int, frame: ParsedFrame
) -> list[str]:
    """The differences between a frame read back and rows start:stop."""
    table, obj, columns = frame
    problems = []
    if (table, obj) != ("", OBJECT_NAME):
        problems.append(f"names {(table, obj)!r}, expected {('', OBJECT_NAME)!r}")
    names = [name for name, _ in columns]
    wanted = [name for name, _ in data.columns(start, stop)]
    if names != wanted:
        return problems + [f"columns {names}, expected {wanted}"]
    got = dict(columns)
    # The reader shows date-times in local time; the frame holds UTC.
    local = np.timedelta64(get_local_offset(), "us")
    expected: dict[str, NDArray[Any]] = {
        "ts": data.timestamps[start:stop] + local,
        "price": expected_prices[start:stop],
        "qty": data.quantities[start:stop],
        "buy": data.buys[start:stop],
        "symbol": np.array(data.symbols[start:stop], dtype=object),
    }
    for name in wanted:
        problem = _compare(got[name], expected[name])
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
    return f"{wrong.size} of {len(got)} values differ, first at row {first}: got {got[first]}, expected {expected[first]}"
