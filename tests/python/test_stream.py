import io
import random
import socket
import struct
import threading

import numpy as np
import pytest

import pyvorl
from pyvorl import FrameDecoder, FrameError, pack_table_frame, read_frames, write_frame


def sample_frame(i):
    rows = (i * 37) % 300
    texts, prices = [f"t{j}" * (i % 4) for j in range(rows)], np.linspace(100.0, 101.0, rows)
    return pack_table_frame(f"obj{i}", [("n", np.arange(rows) * i), ("s", texts), ("p", prices)], {"p": 2})


FRAMES = [sample_frame(i) for i in range(12)]
STREAM = b"".join(FRAMES)
SECOND = len(FRAMES[0])  # offset of the second frame


def summary(parsed):
    return [(table, obj, [(n, a.dtype, a.tolist()) for n, a in columns]) for table, obj, columns in parsed]


def assert_frames_equal(got, frames):
    assert summary(got) == summary(pyvorl.parse_table_frame(frame[8:]) for frame in frames)


class TrickleReader(io.RawIOBase):
    """A raw stream that returns at most `step` bytes per read, like a pipe or socket."""

    def __init__(self, data, step):
        self._data, self._position, self._step = data, 0, step

    def readable(self):
        return True

    def readinto(self, buffer):
        chunk = self._data[self._position : self._position + min(self._step, len(buffer))]
        buffer[: len(chunk)] = chunk
        self._position += len(chunk)
        return len(chunk)


def via_decoder(data):
    decoder, frames = FrameDecoder(), []
    for start in range(0, len(data), 7):
        frames += decoder.feed(data[start : start + 7])
    decoder.close()
    return frames


READERS = {
    "BytesIO": lambda data: list(read_frames(io.BytesIO(data))),
    "trickle": lambda data: list(read_frames(TrickleReader(data, 3))),
    "read only": lambda data: list(read_frames(type("ReadOnly", (), {"read": TrickleReader(data, 5).read})())),
    "decoder": via_decoder,
}


def flip(frame, index):
    return frame[:index] + bytes([frame[index] ^ 0x10]) + frame[index + 1 :]


ENDINGS = [
    (b"", None),
    (FRAMES[1][:1], "stream ended inside the header, 7 of 8 header bytes missing"),
    (FRAMES[1][:8], f"stream ended inside the body, {len(FRAMES[1]) - 8} of {len(FRAMES[1]) - 8} body bytes missing"),
    (FRAMES[1][:-1], f"stream ended inside the body, 1 of {len(FRAMES[1]) - 8} body bytes missing"),
    (flip(FRAMES[1], 12) + FRAMES[2], "Table frame CRC32 check failed"),
    (b"\x00" + FRAMES[1][1:], "buffer is not a table frame"),
    (FRAMES[1][:4] + struct.pack("<I", 2) + b"ab", "Invalid table frame: Content and footer too short"),
]


@pytest.mark.parametrize("reader", list(READERS))
@pytest.mark.parametrize("ending, text", ENDINGS)
def test_every_reader_yields_the_frames_then_names_the_offset_of_a_bad_ending(reader, ending, text):
    if text is None:
        assert_frames_equal(READERS[reader](STREAM), FRAMES)
        return
    with pytest.raises((EOFError, FrameError)) as caught:
        READERS[reader](FRAMES[0] + ending)
    assert str(caught.value) == f"frame at offset {SECOND}: {text}"
    assert isinstance(caught.value, EOFError if text.startswith("stream ended") else ValueError)


def test_read_frames_yields_the_frames_before_a_damaged_one():
    frames = read_frames(io.BytesIO(FRAMES[0] + FRAMES[1] + flip(FRAMES[2], 20)))
    assert_frames_equal([next(frames), next(frames)], FRAMES[:2])
    with pytest.raises(FrameError, match="CRC32"):
        next(frames)


def test_read_frames_limits_the_body_and_costs_only_the_bytes_sent(monkeypatch):
    header = FRAMES[1][:4] + struct.pack("<I", 1001)
    with pytest.raises(FrameError, match=r"^frame at offset 0: announced body of 1001 bytes exceeds max_frame_size"):
        list(read_frames(io.BytesIO(header + bytes(1001)), max_frame_size=1000))
    with pytest.raises(EOFError, match=r"4294967195 of 4294967295 body bytes missing"):
        list(read_frames(io.BytesIO(FRAMES[1][:4] + b"\xff" * 4 + bytes(100)), max_frame_size=4 << 30))
    monkeypatch.setattr("pyvorl._stream._RESERVE_LIMIT", 5)  # bodies above the reservation grow with the data
    assert_frames_equal(list(read_frames(TrickleReader(STREAM, 4))), FRAMES)


def test_a_non_blocking_stream_without_data_is_refused():
    with pytest.raises(BlockingIOError, match="FrameDecoder"):
        list(read_frames(type("NoDataYet", (io.RawIOBase,), {"readinto": lambda self, buffer: None})()))


class ShortWriter(io.RawIOBase):
    def __init__(self, step):
        self.data, self._step = bytearray(), step

    def writable(self):
        return True

    def write(self, buffer):
        accepted = bytes(buffer[: self._step])
        self.data += accepted
        return len(accepted) if self._step else None


COLUMNS = [("p", np.array([0.25, -1.5])), ("s", ["a", "b"])]


@pytest.mark.parametrize("step", [1, 10_000])
def test_write_frame_writes_the_whole_frame_through_short_writes(step):
    stream = ShortWriter(step)
    expected = pack_table_frame("x", COLUMNS, {"p": 2})
    assert write_frame(stream, "x", tuple(COLUMNS), {"p": 2}) == len(expected)
    assert bytes(stream.data) == expected
    with pytest.raises(BlockingIOError):
        write_frame(ShortWriter(0), "x", COLUMNS)


def send_in_random_chunks(sock, seed):
    data, rng, position = STREAM * 5, random.Random(seed), 0
    with sock:
        while position < len(data):
            step = rng.randint(1, 7000)
            sock.sendall(data[position : position + step])
            position += step
        sock.shutdown(socket.SHUT_WR)


def receive_with_decoder(sock):
    decoder, frames = FrameDecoder(), []
    while chunk := sock.recv(random.randint(1, 7000)):
        frames += decoder.feed(chunk)
    decoder.close()
    return frames


@pytest.mark.parametrize(
    "receive",
    [
        lambda sock: list(read_frames(sock.makefile("rb", buffering=0))),
        lambda sock: list(read_frames(sock.makefile("rb"))),
        receive_with_decoder,
    ],
    ids=["raw socket file", "buffered socket file", "decoder"],
)
def test_every_frame_crosses_a_socket_intact(receive):
    reader, writer = socket.socketpair()
    reader.settimeout(20)  # a broken writer fails the test instead of hanging it
    thread = threading.Thread(target=send_in_random_chunks, args=(writer, 1))
    thread.start()
    with reader:
        received = receive(reader)
    thread.join()
    assert_frames_equal(received, FRAMES * 5)
