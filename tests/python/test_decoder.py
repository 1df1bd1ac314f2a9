import random
import struct
import threading

import numpy as np
import pytest

import pyvorl._decoder
from pyvorl import DEFAULT_MAX_FRAME_SIZE, FrameDecoder, FrameError, dumps

FRAME = dumps({"a": np.array([1, -1, 300])}, obj="x")
BODY = len(FRAME) - 8


def header(body_length):
    return b"\x7c\x4d\x01\x00" + struct.pack("<I", body_length)


def names(frames):
    return [table.obj for table in frames]


PIECES = [
    [FRAME * 3],
    [FRAME[:3], FRAME[3:8], FRAME[8:] + FRAME, FRAME[:-1], FRAME[-1:]],
    [FRAME[i : i + 1] for i in range(len(FRAME))] * 2,
    [b"", FRAME, b""],
]


@pytest.mark.parametrize("pieces", PIECES)
def test_frames_come_out_of_the_feed_that_completes_them(pieces):
    decoder, frames = FrameDecoder(), []
    for piece in pieces:
        frames += decoder.feed(piece)
    assert len(frames) == sum(map(len, pieces)) // len(FRAME)
    assert all(table.obj == "x" and table["a"].tolist() == [1, -1, 300] for table in frames)
    assert decoder.buffered == 0 and decoder.offset == len(frames) * len(FRAME)
    decoder.close()


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, dtype=np.uint8)])
def test_feed_takes_any_buffer_in_pieces_of_any_size(kind):
    stream = FRAME * 5
    cuts = sorted(random.Random(7).sample(range(1, len(stream)), 12))
    decoder, frames = FrameDecoder(), []
    for start, end in zip([0, *cuts], [*cuts, len(stream)]):
        frames += decoder.feed(kind(stream[start:end]))
    assert names(frames) == ["x"] * 5 and decoder.buffered == 0


def test_many_small_frames_in_one_feed_all_come_out_and_the_rest_waits():
    decoder = FrameDecoder()
    assert len(decoder.feed(FRAME * 20_000 + FRAME[:10])) == 20_000
    assert decoder.buffered == 10 and decoder.offset == 20_000 * len(FRAME)
    assert len(decoder.feed(FRAME[10:] + FRAME * 3)) == 4


@pytest.mark.parametrize(
    "max_frame_size, body_length",
    [(DEFAULT_MAX_FRAME_SIZE, 0xFFFFFFFF), (1 << 20, 5 << 20)],
)
def test_an_oversized_header_is_refused_with_its_eighth_byte(max_frame_size, body_length):
    decoder = FrameDecoder(max_frame_size)
    for byte in header(body_length)[:7]:
        assert decoder.feed(bytes([byte])) == []
    with pytest.raises(FrameError) as caught:
        decoder.feed(header(body_length)[7:])
    expected = f"frame at offset 0: announced body of {body_length} bytes exceeds max_frame_size {max_frame_size}"
    assert str(caught.value) == expected
    assert decoder.buffered == 0


@pytest.mark.parametrize("bad, error", [(0, ValueError), ((4 << 30) + 1, ValueError), (True, TypeError)])
def test_max_frame_size_must_be_from_1_to_4_gib(bad, error):
    with pytest.raises(error):
        FrameDecoder(bad)


def test_frames_before_a_damaged_one_travel_on_the_error_and_the_decoder_stays_unusable():
    damaged = bytearray(FRAME)
    damaged[-1] ^= 1
    decoder = FrameDecoder()
    decoder.feed(FRAME[:5])
    with pytest.raises(FrameError) as caught:
        decoder.feed(FRAME[5:] + FRAME + bytes(damaged) + FRAME)
    error = caught.value
    bad = 2 * len(FRAME)
    assert str(error).startswith(f"frame at offset {bad}: ") and str(error).endswith("Table frame CRC32 check failed")
    assert error.offset == bad
    assert names(error.frames) == ["x", "x"]
    assert decoder.buffered == 0
    with pytest.raises(ValueError, match=rf"^FrameDecoder is unusable after an earlier error: frame at offset {bad}: "):
        decoder.feed(FRAME)
    decoder.close()  # the error was already reported


PARTIAL = [
    (FRAME[:3], "stream ended inside the header, 5 of 8 header bytes missing"),
    (FRAME[:20], f"stream ended inside the body, {len(FRAME) - 20} of {BODY} body bytes missing"),
]


@pytest.mark.parametrize("rest, text", PARTIAL)
def test_close_reports_a_partial_frame_and_ends_the_decoder(rest, text):
    decoder = FrameDecoder()
    decoder.feed(FRAME + rest)
    assert decoder.buffered == len(rest)
    with pytest.raises(EOFError) as caught:
        decoder.close()
    assert str(caught.value) == f"frame at offset {len(FRAME)}: {text}"
    assert decoder.buffered == 0
    with pytest.raises(ValueError, match="^FrameDecoder is closed$"):
        decoder.feed(FRAME)
    decoder.close()


def test_a_feed_of_the_wrong_type_changes_nothing():
    decoder = FrameDecoder()
    decoder.feed(FRAME[:4])
    with pytest.raises(TypeError):
        decoder.feed("text")
    assert names(decoder.feed(FRAME[4:])) == ["x"]


@pytest.mark.parametrize("held", [0, 5])
def test_an_error_other_than_frame_error_loses_no_frame_and_repeats_none(monkeypatch, held):
    real_decode, offsets = pyvorl._decoder.decode, []

    def out_of_memory_at_the_second_frame(frame, offset, options):
        offsets.append(offset)
        if len(offsets) == 2:
            raise MemoryError
        return real_decode(frame, offset, options)

    monkeypatch.setattr(pyvorl._decoder, "decode", out_of_memory_at_the_second_frame)
    stream = b"".join(dumps({"a": np.arange(i)}, obj=f"f{i}") for i in range(4))
    decoder = FrameDecoder()
    assert decoder.feed(stream[:held]) == []
    with pytest.raises(MemoryError):
        decoder.feed(stream[held:-3])
    with pytest.raises(ValueError, match=r"^FrameDecoder holds frames that an earlier error interrupted: feed\(b''\)"):
        decoder.close()
    assert names(decoder.feed(b"") + decoder.feed(stream[-3:])) == ["f0", "f1", "f2", "f3"]
    decoder.close()


def test_a_call_while_feed_runs_is_refused_and_changes_nothing():
    decoder, inside, release, fed = FrameDecoder(), threading.Event(), threading.Event(), []

    class ArrivingLate:
        def __buffer__(self, flags):
            inside.set()
            release.wait(timeout=60)
            return memoryview(FRAME)

    worker = threading.Thread(target=lambda: fed.extend(decoder.feed(ArrivingLate())))
    worker.start()
    inside.wait(timeout=60)
    for call in (lambda: decoder.feed(FRAME), decoder.close):
        with pytest.raises(RuntimeError, match="^FrameDecoder is already in a feed or close call"):
            call()
    release.set()
    worker.join(timeout=60)
    assert names(fed) == ["x"] and decoder.offset == len(FRAME) and decoder.buffered == 0
