import random
import socket
import threading

import numpy as np
import pytest

from pyvorl import FrameDecoder, dumps, read_frames


def market_frame(i):
    rows = (i * 37) % 900
    columns = {
        "ts": np.arange(rows).astype("datetime64[ms]"),
        "px": np.round(np.linspace(100.0, 101.0, rows), 2),
        "qty": np.arange(rows, dtype=np.int32),
        "sym": np.array([("AAPL", "MSFT", "")[j % 3] for j in range(rows)], dtype=object),
    }
    return dumps(columns, obj=f"frame{i}", decimals={"px": 2})


FRAMES = [market_frame(i) for i in range(60)]


def send_in_random_chunks(sock, seed):
    """Writer thread: the frames back to back, cut at random points, then end of stream."""
    data, rng, position = b"".join(FRAMES), random.Random(seed), 0
    with sock:
        while position < len(data):
            step = rng.randint(1, 7000)
            sock.sendall(data[position : position + step])
            position += step
        sock.shutdown(socket.SHUT_WR)


def receive_with_read_frames(sock, buffering):
    with sock.makefile("rb", buffering=buffering) as stream:
        return [table.obj for table in read_frames(stream)]


def receive_with_decoder(sock, seed):
    decoder, names, rng = FrameDecoder(), [], random.Random(seed + 1)
    while chunk := sock.recv(rng.randint(1, 7000)):
        names += [table.obj for table in decoder.feed(chunk)]
    decoder.close()
    return names


RECEIVERS = {
    "read_frames over a raw socket file": lambda sock, seed: receive_with_read_frames(sock, 0),
    "read_frames over a buffered socket file": lambda sock, seed: receive_with_read_frames(sock, -1),
    "FrameDecoder fed from recv": receive_with_decoder,
}


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("receiver", list(RECEIVERS), ids=list(RECEIVERS))
def test_every_frame_crosses_a_loopback_socket_intact(receiver, seed):
    reader, writer = socket.socketpair()
    reader.settimeout(20)  # a broken writer fails the test instead of hanging it
    thread = threading.Thread(target=send_in_random_chunks, args=(writer, seed))
    thread.start()
    with reader:
        names = RECEIVERS[receiver](reader, seed)
    thread.join()
    assert names == [f"frame{i}" for i in range(len(FRAMES))]


def test_frames_arrive_with_their_values_over_tcp_on_127_0_0_1():
    with socket.create_server(("127.0.0.1", 0)) as server:
        port = server.getsockname()[1]
        thread = threading.Thread(target=lambda: send_in_random_chunks(socket.create_connection(("127.0.0.1", port)), 3))
        thread.start()
        connection, _ = server.accept()
        connection.settimeout(20)
        with connection, connection.makefile("rb") as stream:
            received = list(read_frames(stream))
        thread.join()
    assert len(received) == len(FRAMES)
    table = received[59]
    rows = (59 * 37) % 900
    assert table.obj == "frame59"
    assert table["qty"].tolist() == list(range(rows))
    assert table["sym"].tolist() == [("AAPL", "MSFT", "")[j % 3] for j in range(rows)]
