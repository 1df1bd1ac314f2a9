"""Following a file of frames that a writer is still appending to, like `tail -f`."""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

from pyvorl._frame_file import FrameFile

if TYPE_CHECKING:
    from pyvorl import Table


def follow(
    path: str | os.PathLike[str],
    poll_interval: float = 0.1,
    stop: Callable[[], object] | None = None,
    **options: Any,
) -> Iterator[Table]:
    """Every frame of the file at `path` as a `Table` (`pyvorl.loads(frame,
    **options)`), the ones already there first, then each one as a writer
    completes it, looking for more every `poll_interval` seconds.

    A frame the writer is still writing is waited for. Without `stop` it
    follows the file for ever; with it, it asks `stop()` before each look and
    ends after the frames that look found once `stop()` is true, so that a
    writer can finish, then make `stop()` true, and no frame is missed.
    Raises EOFError when the file shrinks (a writer starting over) and
    FrameError for bytes that are not a frame or a damaged frame.
    """
    if isinstance(poll_interval, bool) or not isinstance(poll_interval, (int, float)):
        raise TypeError(f"poll_interval must be a number of seconds, not {type(poll_interval).__name__}")
    if not poll_interval >= 0:
        raise ValueError(f"poll_interval must be at least 0, got {poll_interval}")
    if stop is not None and not callable(stop):
        raise TypeError(f"stop must be callable or None, not {type(stop).__name__}")
    return _follow(path, poll_interval, stop, options)


def _follow(
    path: str | os.PathLike[str], poll_interval: float, stop: Callable[[], object] | None, options: dict[str, Any]
) -> Iterator[Table]:
    with FrameFile(path, partial_tail="ignore", **options) as frames:
        shown = 0
        while True:
            stopping = stop is not None and bool(stop())
            frames.refresh()
            while shown < len(frames):
                table = frames[shown]
                shown += 1
                yield table
            if stopping:
                return
            time.sleep(poll_interval)
