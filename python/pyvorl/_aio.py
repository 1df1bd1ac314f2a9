"""Frames over asyncio streams, with the limits and errors of the blocking pair."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator
from typing import TYPE_CHECKING, Any

from pyvorl._framing import (
    DEFAULT_MAX_FRAME_SIZE,
    HEADER_SIZE,
    RESERVE_LIMIT,
    decode,
    frame_length,
    require_methods,
    truncated,
    validate_max_frame_size,
)

if TYPE_CHECKING:
    from pyvorl import Table


async def aread_frames(
    reader: asyncio.StreamReader, *, max_frame_size: int = DEFAULT_MAX_FRAME_SIZE, **options: Any
) -> AsyncIterator[Table]:
    """`async for table in aread_frames(reader)`: one `Table` per frame
    (`pyvorl.loads(frame, **options)`) until the stream ends on a frame
    boundary; EOFError when it ends inside a frame, FrameError for a damaged
    or oversized one, as `read_frames` raises them."""
    require_methods(reader, "reader", "readexactly")
    validate_max_frame_size(max_frame_size)
    offset = 0
    while True:
        frame = bytearray(await _read_up_to(reader, HEADER_SIZE))
        if not frame:
            return
        if len(frame) < HEADER_SIZE:
            raise truncated(offset, len(frame), None)
        length = frame_length(frame, offset, max_frame_size)
        await _read_body(reader, frame, offset, length)
        yield decode(frame, offset, options)
        offset += length


async def awrite_frame(writer: asyncio.StreamWriter, table: Any, **options: Any) -> int:
    """Write `pyvorl.dumps(table, **options)` and wait until the writer has
    room again (`drain`); the number of bytes written."""
    from pyvorl import dumps

    require_methods(writer, "writer", "write")
    frame = dumps(table, **options)
    writer.write(frame)
    await writer.drain()
    return len(frame)


async def _read_up_to(reader: asyncio.StreamReader, size: int) -> bytes:
    try:
        return await reader.readexactly(size)
    except asyncio.IncompleteReadError as short:
        return short.partial


async def _read_body(reader: asyncio.StreamReader, frame: bytearray, offset: int, end: int) -> None:
    """Append the body to the header in `frame` up to the frame's end, chunk by chunk as the reader holds it."""
    if end - HEADER_SIZE <= RESERVE_LIMIT:
        frame += bytes(end - HEADER_SIZE)
        with memoryview(frame) as view:
            filled = HEADER_SIZE
            while filled < end:
                chunk = await reader.read(end - filled)
                if not chunk:
                    raise truncated(offset, filled, end)
                view[filled : filled + len(chunk)] = chunk
                filled += len(chunk)
        return
    while len(frame) < end:
        chunk = await reader.read(min(end - len(frame), RESERVE_LIMIT))
        if not chunk:
            raise truncated(offset, len(frame), end)
        frame += chunk
