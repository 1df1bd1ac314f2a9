"""The README's NATS JetStream recipe against a real nats-server: tables cut to the server's max_payload,
reassembled by a durable pull consumer across a restart, and damaged parts terminated, never acked."""

import asyncio
import json
import shutil
import socket
import subprocess
import time

import numpy as np
import pytest

import pyvorl
from recipes import recipe

nats = pytest.importorskip("nats")
bus = recipe("nats")

MAX_PAYLOAD = 65536  # small, so that a table of a few hundred KB takes several messages
OPTIONS = {"obj": "trades", "decimals": {"px": 2}}


@pytest.fixture(scope="module")
def nats_url(tmp_path_factory):
    """A JetStream server of its own on a free port of 127.0.0.1, storing into a temporary folder."""
    server = shutil.which("nats-server")
    if server is None:
        pytest.skip("needs nats-server (Debian package nats-server)")
    folder = tmp_path_factory.mktemp("nats")
    (folder / "server.conf").write_text(f"max_payload: {MAX_PAYLOAD}\n")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    command = [server, "-js", "-sd", folder / "store", "-a", "127.0.0.1", "-p", str(port), "-c", folder / "server.conf"]
    with open(folder / "server.log", "wb") as log:
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 10
        while True:
            if process.poll() is not None or time.monotonic() > deadline:
                pytest.fail(f"nats-server did not start:\n{(folder / 'server.log').read_text()}")
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        yield f"nats://127.0.0.1:{port}"
    finally:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def run(scenario):
    return asyncio.run(asyncio.wait_for(scenario, 15))


async def connect(url):
    return await nats.connect(url, connect_timeout=2, allow_reconnect=False)


async def close(nc):
    await nc.flush(timeout=5)  # the acks and naks reach the server before the connection goes
    await nc.close()


def trades(seed, rows=30_000):
    rng = np.random.default_rng(seed)
    return {
        "px": np.round(100 + rng.random(rows) * 10, 2),
        "qty": rng.integers(1, 1000, rows, dtype=np.int32),
        "venue": rng.choice(["XPAR", "XETR", "XAMS"], rows).astype(object),
    }


def as_sent(columns):
    return pyvorl.loads(pyvorl.dumps(columns, **OPTIONS))


def test_tables_cross_in_parts_and_a_new_reader_goes_on_where_the_acks_left_off(nats_url):
    async def scenario():
        nc = await connect(nats_url)
        js = nc.jetstream()
        await js.add_stream(name="TRADES", subjects=["trades.>"])
        assert nc.max_payload == MAX_PAYLOAD
        for seed in (0, 1):
            await bus.publish_table(js, "trades.eu", trades(seed), nc.max_payload, **OPTIONS)
        stored = (await js.stream_info("TRADES")).state.messages
        reader = await bus.open_reader(js, "trades.eu", durable="risk")
        first = await reader.next_table()
        await reader.stop()  # it holds parts of the second table, fetched in the same batch
        await close(nc)

        nc = await connect(nats_url)
        js = nc.jetstream()
        reader = await bus.open_reader(js, "trades.eu", durable="risk")
        second = await reader.next_table()
        with pytest.raises(nats.errors.TimeoutError):  # the first table's parts were acked: never again
            await reader.next_table(timeout=0.5)
        info = await js.consumer_info("TRADES", "risk")
        await close(nc)
        return stored, first, second, info

    stored, first, second, info = run(scenario())
    sent = [list(pyvorl.dumps_chunks(trades(seed), MAX_PAYLOAD - bus.HEADER_ROOM, **OPTIONS)) for seed in (0, 1)]
    assert stored == len(sent[0]) + len(sent[1]) and min(map(len, sent)) > 1
    assert first.equals(as_sent(trades(0))) and second.equals(as_sent(trades(1)))
    assert (info.num_ack_pending, info.num_pending, info.ack_floor.stream_seq) == (0, 0, stored)
    assert info.num_redelivered == 0  # acked or handed back: nothing waited for ack_wait


def test_a_damaged_part_is_terminated_with_the_rest_of_its_table_and_never_acked(nats_url):
    frames = list(pyvorl.dumps_chunks(trades(2, rows=6000), 20_000, **OPTIONS))
    damaged = bytearray(frames[1])
    damaged[len(damaged) // 2] ^= 0x55

    async def scenario():
        nc = await connect(nats_url)
        js = nc.jetstream()
        await js.add_stream(name="AUDIT", subjects=["audit.>"])
        terminated = await nc.subscribe("$JS.EVENT.ADVISORY.CONSUMER.MSG_TERMINATED.AUDIT.audit")
        await nc.flush(timeout=5)
        sequences = []
        for part, frame in enumerate([frames[0], bytes(damaged), *frames[2:]], 1):
            headers = {bus.TABLE: "spoiled", bus.PART: f"{part}/{len(frames)}"}
            sequences.append((await js.publish("audit.eu", frame, headers=headers, timeout=5)).seq)
        await bus.publish_table(js, "audit.eu", trades(3), nc.max_payload, **OPTIONS)
        reader = await bus.open_reader(js, "audit.eu", durable="audit")
        after = await reader.next_table()
        advisories = [json.loads((await terminated.next_msg(timeout=5)).data) for _ in sequences]
        info = await js.consumer_info("AUDIT", "audit")
        await close(nc)
        return sequences, reader.rejected, after, advisories, info

    sequences, rejected, after, advisories, info = run(scenario())
    assert after.equals(as_sent(trades(3)))
    [(message, error)] = rejected
    assert isinstance(error, pyvorl.FrameError) and message.data == damaged
    assert sorted(advisory["stream_seq"] for advisory in advisories) == sequences
    assert (info.num_ack_pending, info.num_redelivered) == (0, 0)
