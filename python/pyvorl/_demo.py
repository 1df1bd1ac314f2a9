"""`pyvorl demo`: market data through a file of frames and back, checked and timed."""

from __future__ import annotations

import os
import tempfile
import time
from typing import TextIO

import numpy as np

from pyvorl._framing import ParsedFrame
from pyvorl._market_data import OBJECT_NAME, PRICE_PLACES, MarketData, check_frame, make_market_data
from pyvorl._progress import ProgressBar
from pyvorl._stream import read_frames, write_frame
from pyvorl._vorl import get_local_offset


def run_demo(rows: int, frames: int, path: str | None, out: TextIO, err: TextIO) -> int:
    data = make_market_data(rows)
    bounds = [int(b) for b in np.linspace(0, rows, frames + 1)]
    with tempfile.TemporaryDirectory(prefix="pyvorl-demo-") as scratch:
        file = path or os.path.join(scratch, "trades.vorl")
        try:
            write_seconds = _write(file, data, bounds, err)
            size = os.path.getsize(file)
            received, read_seconds = _read(file, frames, err)
        except (OSError, ValueError, EOFError) as error:
            print(f"pyvorl demo: {error}", file=err)
            return 1
    problems = _check(data, bounds, received)
    if problems:
        for problem in problems[:10]:
            print(f"pyvorl demo: check failed: {problem}", file=err)
        return 1
    _report(data, frames, size, path, write_seconds, read_seconds, out)
    return 0


def _write(file: str, data: MarketData, bounds: list[int], err: TextIO) -> float:
    bar = ProgressBar("pack+write", len(bounds) - 1, "frames", err)
    started = time.perf_counter()
    with open(file, "wb") as stream:
        for index, (start, stop) in enumerate(zip(bounds, bounds[1:])):
            write_frame(stream, OBJECT_NAME, data.columns(start, stop), {"price": PRICE_PLACES})
            bar.update(index + 1)
    seconds = time.perf_counter() - started
    bar.finish()
    return seconds


def _read(file: str, frames: int, err: TextIO) -> tuple[list[ParsedFrame], float]:
    bar = ProgressBar("read+parse", frames, "frames", err)
    received = []
    started = time.perf_counter()
    with open(file, "rb") as stream:
        for frame in read_frames(stream):
            received.append(frame)
            bar.update(len(received))
    seconds = time.perf_counter() - started
    bar.finish()
    return received, seconds


def _check(data: MarketData, bounds: list[int], received: list[ParsedFrame]) -> list[str]:
    if len(received) != len(bounds) - 1:
        return [f"{len(received)} frames read back, {len(bounds) - 1} written"]
    expected_prices = data.expected_prices()
    problems = []
    for index, (start, stop) in enumerate(zip(bounds, bounds[1:])):
        problems += [f"frame {index}: {p}" for p in check_frame(data, expected_prices, start, stop, received[index])]
    return problems


def _report(
    data: MarketData, frames: int, size: int, path: str | None, write_seconds: float, read_seconds: float, out: TextIO
) -> None:
    rows = len(data)
    raw = data.raw_bytes()
    offset_hours = get_local_offset() / 3_600_000_000
    lines = [
        f"pyvorl demo: {rows:,} rows of trades in {frames} frames; every value read back matches",
        f"  file        {size / 1e6:.1f} MB for {raw / 1e6:.1f} MB of raw NumPy columns ({size / max(raw, 1):.0%}); "
        + (path or "a temporary file, removed"),
    ]
    for label, seconds in (("pack+write", write_seconds), ("read+parse", read_seconds)):
        lines.append(
            f"  {label:<10}  {seconds:.3f} s  {_rate(raw, seconds) / 1e6:7.1f} MB/s of raw columns"
            f"  {_rate(rows, seconds) / 1e6:6.2f} M rows/s"
        )
    lines += [
        f"  datetimes   came back shifted by the local offset ({offset_hours:+g} h), compared after removing it",
        "  prices      came back to the cent: packing keeps the decimal each float stands for",
    ]
    print("\n".join(lines), file=out)


def _rate(amount: int, seconds: float) -> float:
    return amount / seconds if seconds > 0 else float("inf")
