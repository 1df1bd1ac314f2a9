import asyncio
import random

import numpy as np
import pytest

import pyvorl

TABLES = [{"n": np.arange(i * 97, dtype=np.int32), "s": np.array(["x"] * (i * 97), dtype=object)} for i in range(40)]
FRAMES = [pyvorl.dumps(t, obj=f"t{i}") for i, t in enumerate(TABLES)]
STREAM = b"".join(FRAMES)


async def read_all(data, seed, **options):
    """aread_frames over a StreamReader fed in random chunks from another task."""
    reader = asyncio.StreamReader()

    async def feed():
        rng, position = random.Random(seed), 0
        while position < len(data):
            step = rng.randint(1, 5000)
            reader.feed_data(data[position : position + step])
            position += step
            await asyncio.sleep(0)
        reader.feed_eof()

    task = asyncio.create_task(feed())
    try:
        return [table async for table in pyvorl.aread_frames(reader, **options)]
    finally:
        await task


def test_every_frame_arrives_through_random_chunks():
    tables = asyncio.run(read_all(STREAM, 1))
    assert [t.obj for t in tables] == [f"t{i}" for i in range(40)]
    assert tables[39]["n"].tolist() == list(range(39 * 97))


def test_the_blocking_errors_apply():
    second = len(FRAMES[0])
    with pytest.raises(EOFError, match=f"^frame at offset {second}: stream ended inside the body, 1 of"):
        asyncio.run(read_all(STREAM[: second + len(FRAMES[1]) - 1], 1))


def test_awrite_frame_over_a_loopback_connection():
    async def main():
        received = []

        async def serve(reader, writer):
            received.extend([t async for t in pyvorl.aread_frames(reader)])
            writer.close()

        server = await asyncio.start_server(serve, "127.0.0.1", 0)
        _, writer = await asyncio.open_connection(*server.sockets[0].getsockname()[:2])
        sizes = [await pyvorl.awrite_frame(writer, t, obj=f"t{i}") for i, t in enumerate(TABLES)]
        writer.close()
        await writer.wait_closed()
        async with server:
            while len(received) < len(TABLES):
                await asyncio.sleep(0.01)
        return sizes, received

    sizes, received = asyncio.run(asyncio.wait_for(main(), 20))
    assert sum(sizes) == len(STREAM)
    assert all(got.equals(pyvorl.loads(frame)) for got, frame in zip(received, FRAMES, strict=True))
