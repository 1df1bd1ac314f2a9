import io
import socket
import struct
import threading

import numpy as np
import pytest

import pyvorl
from pyvorl import FrameDecoder, FrameError, dumps, read_frames, write_frame


def sample_frame(i):
    texts = np.array([f"t{j}" * (i % 4) for j in range(i % 5)], dtype=object)
    return dumps({"n": np.arange(i % 5, dtype=np.int64) * i, "s": texts}, obj=f"obj{i}")


def assert_frames_equal(got, frames):
    expected = [pyvorl.loads(frame) for frame in frames]
    assert len(got) == len(expected)
    assert all(table.equals(other) for table, other in zip(got, expected))


class TrickleReader(io.RawIOBase):
    """A raw stream that returns at most `step` bytes per read, like a pipe or socket."""

    def __init__(self, data, step):
        self._data, self._position, self._step = data, 0, step

    def readinto(self, buffer):
        chunk = self._data[self._position : self._position + min(self._step, len(buffer))]
        buffer[: len(chunk)] = chunk
        self._position += len(chunk)
        return len(chunk)


class ReadOnly:
    """A stream with `read` alone, no `readinto`."""

    def __init__(self, data, step):
        self.read = TrickleReader(data, step).read


def via_decoder(data):
    decoder, frames = FrameDecoder(), []
    for start in range(0, len(data), 7):
        frames += decoder.feed(data[start : start + 7])
    decoder.close()
    return frames


def via_socket(data):
    """read_frames over a raw socket file, fed from another thread."""
    reader, writer = socket.socketpair()
    threading.Thread(target=lambda: (writer.sendall(data), writer.close()), daemon=True).start()
    with reader, reader.makefile("rb", buffering=0) as stream:
        return list(read_frames(stream))


READERS = [
    lambda data: list(read_frames(io.BytesIO(data))),
    lambda data: list(read_frames(TrickleReader(data, 3))),
    lambda data: list(read_frames(ReadOnly(data, 5))),
    via_decoder,
    via_socket,
]
FRAMES = [sample_frame(i) for i in range(12)]
STREAM = b"".join(FRAMES)
SECOND = len(FRAMES[0])  # offset of the second frame


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("count", [0, 1, 12])
def test_every_frame_arrives_and_the_stream_ends_cleanly(reader, count):
    assert_frames_equal(reader(b"".join(FRAMES[:count])), FRAMES[:count])


def with_body_length(frame, length):
    return frame[:4] + struct.pack("<I", length) + frame[8:]


def flip(frame, index):
    damaged = bytearray(frame)
    damaged[index] ^= 0x10
    return bytes(damaged)


TRUNCATED = [
    (1, "stream ended inside the header, 7 of 8 header bytes missing"),
    (len(FRAMES[1]) - 1, f"stream ended inside the body, 1 of {len(FRAMES[1]) - 8} body bytes missing"),
]


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("kept, text", TRUNCATED)
def test_a_stream_ending_inside_a_frame_names_its_offset_and_the_missing_bytes(reader, kept, text):
    with pytest.raises(EOFError) as caught:
        reader(FRAMES[0] + FRAMES[1][:kept])
    assert str(caught.value) == f"frame at offset {SECOND}: {text}"


DAMAGED = [
    (flip(FRAMES[1], len(FRAMES[1]) - 1), "Table frame CRC32 check failed"),
    (FRAMES[1][:2] + b"\x02\x00" + FRAMES[1][4:], "buffer is not a table frame"),
    (FRAMES[1][:4] + struct.pack("<I", 2) + b"ab", "Invalid table frame: Content and footer too short"),
]


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("damaged, text", DAMAGED)
def test_a_damaged_frame_raises_with_its_offset_and_the_reader_text(reader, damaged, text):
    with pytest.raises(FrameError) as caught:
        reader(FRAMES[0] + damaged + FRAMES[2])
    assert str(caught.value).startswith(f"frame at offset {SECOND}: ") and str(caught.value).endswith(text)
    assert isinstance(caught.value, ValueError) and caught.value.offset == SECOND


def test_read_frames_yields_the_frames_before_a_damaged_one():
    frames = read_frames(io.BytesIO(FRAMES[0] + FRAMES[1] + flip(FRAMES[2], 20)))
    assert_frames_equal([next(frames), next(frames)], FRAMES[:2])
    with pytest.raises(FrameError, match="CRC32"):
        next(frames)


def test_read_frames_checks_its_limit_at_the_call_and_then_every_header():
    with pytest.raises(ValueError):
        read_frames(io.BytesIO(), max_frame_size=0)
    stream = io.BytesIO(with_body_length(FRAMES[1][:8], 1001) + bytes(1001))
    with pytest.raises(FrameError, match=r"^frame at offset 0: announced body of 1001 bytes exceeds max_frame_size"):
        list(read_frames(stream, max_frame_size=1000))


def test_a_header_announcing_4_gib_that_never_arrive_costs_only_the_bytes_sent():
    stream = with_body_length(FRAMES[1][:8], 0xFFFFFFFF) + bytes(100)
    with pytest.raises(EOFError, match=r"4294967195 of 4294967295 body bytes missing"):
        list(read_frames(io.BytesIO(stream), max_frame_size=4 << 30))


def test_bodies_above_the_reservation_grow_with_the_data(monkeypatch):
    monkeypatch.setattr("pyvorl._stream._RESERVE_LIMIT", 5)
    assert_frames_equal(list(read_frames(TrickleReader(STREAM, 4))), FRAMES)


def test_a_non_blocking_stream_without_data_is_refused():
    class NoDataYet(io.RawIOBase):
        def readinto(self, buffer):
            return None

    with pytest.raises(BlockingIOError, match="FrameDecoder"):
        list(read_frames(NoDataYet()))


class ShortWriter(io.RawIOBase):
    def __init__(self, step):
        self.data, self._step = bytearray(), step

    def writable(self):
        return True

    def write(self, buffer):
        accepted = bytes(buffer[: self._step])
        self.data += accepted
        return len(accepted)


COLUMNS = {"p": np.array([0.29, -1.5]), "s": np.array(["a", "b"], dtype=object)}


@pytest.mark.parametrize("step", [1, 10_000])
def test_write_frame_writes_the_whole_frame_through_short_writes(step):
    stream = ShortWriter(step)
    expected = dumps(COLUMNS, obj="x", decimals={"p": 2})
    assert write_frame(stream, COLUMNS, obj="x", decimals={"p": 2}) == len(expected)
    assert bytes(stream.data) == expected


@pytest.mark.parametrize("answer, error", [(None, BlockingIOError), (0, OSError)])
def test_write_frame_refuses_streams_that_take_nothing(answer, error):
    class Stuck(io.RawIOBase):
        def write(self, buffer):
            return answer

    with pytest.raises(error):
        write_frame(Stuck(), COLUMNS)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: read_frames(None), "stream must be a binary stream with readinto() or read(), not NoneType"),
        (lambda: write_frame(b"", {"a": [1]}), "stream must be a binary stream with write(), not bytes"),
        (lambda: anext(pyvorl.aread_frames(None)).send(None), "reader must be a binary stream with readexactly()"),
        (lambda: pyvorl.awrite_frame(None, {"a": [1]}).send(None), "writer must be a binary stream with write()"),
    ],
)
def test_streams_of_the_wrong_kind_are_refused_by_argument(call, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        call()
