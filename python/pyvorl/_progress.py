"""A one-line text progress bar that appears only when a step takes a while."""

from __future__ import annotations

import time
from typing import TextIO


class ProgressBar:
    """Redraws `label [####....] done/total unit` in place on a terminal once
    `delay` seconds have passed; draws nothing on other streams, so that logs
    and captured output stay clean."""

    WIDTH = 30

    def __init__(self, label: str, total: int, unit: str, stream: TextIO, delay: float = 0.5) -> None:
        self._label = label
        self._total = max(total, 1)
        self._unit = unit
        self._stream = stream
        self._start = time.monotonic() + delay
        self._enabled = stream.isatty()
        self._drawn = 0

    def update(self, done: int) -> None:
        if not self._enabled or time.monotonic() < self._start:
            return
        filled = self.WIDTH * done // self._total
        line = f"\r{self._label} [{'#' * filled}{'.' * (self.WIDTH - filled)}] {done}/{self._total} {self._unit}"
        self._stream.write(line)
        self._stream.flush()
        self._drawn = len(line)

    def finish(self) -> None:
        """Clear the bar, so that the report that follows starts on a clean line."""
        if self._drawn:
            self._stream.write("\r" + " " * self._drawn + "\r")
            self._stream.flush()
            self._drawn = 0
