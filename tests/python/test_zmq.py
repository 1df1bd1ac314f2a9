import numpy as np
import pytest

import pyvorl

zmq = pytest.importorskip("zmq")


def trades(i):
    return {"px": 100 + np.arange(1000) * 0.25 + i, "qty": np.arange(1000, dtype=np.int32) + i}


def test_table_frames_cross_pub_sub_without_copies():
    context = zmq.Context()
    publisher = context.socket(zmq.XPUB)  # a PUB that sees subscriptions, so nothing is sent before one arrives
    subscriber = context.socket(zmq.SUB)
    try:
        port = publisher.bind_to_random_port("tcp://127.0.0.1")
        subscriber.connect(f"tcp://127.0.0.1:{port}")
        subscriber.subscribe(b"trades")
        subscriber.rcvtimeo = publisher.rcvtimeo = 10_000
        assert publisher.recv() == b"\x01trades"
        for i in range(5):
            publisher.send_multipart([b"trades", pyvorl.dumps(trades(i), obj="t", decimals={"px": 2})], copy=False)
        for i in range(5):
            topic, frame = subscriber.recv_multipart(copy=False)
            table = pyvorl.loads(frame.buffer)  # read in place from the message
            assert topic.bytes == b"trades" and table.decimals == {"px": 2}
            assert all(np.array_equal(table[name], values) for name, values in trades(i).items())
    finally:
        publisher.close(linger=0)
        subscriber.close(linger=0)
        context.term()
