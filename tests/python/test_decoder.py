import struct

import numpy as np
import pytest

from pyvorl import DEFAULT_MAX_FRAME_SIZE, FrameDecoder, FrameError, pack_table_frame

FRAME = pack_table_frame("x", [("a", np.array([1, -1, 300]))])


def header(body_length):
    return b"\x7c\x4d\x01\x00" + struct.pack("<I", body_length)


@pytest.mark.parametrize(
    "kind", [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, np.uint8), lambda b: np.frombuffer(b, np.int8)]
)
@pytest.mark.parametrize("seed", range(3))
def test_frames_come_out_of_the_feed_that_completes_them(kind, seed):
    rng = np.random.default_rng(seed)
    stream = FRAME * 5
    cuts = sorted(rng.integers(0, len(stream), 12).tolist())
    decoder, frames = FrameDecoder(), []
    for start, end in zip([0, *cuts], [*cuts, len(stream)]):
        frames += decoder.feed(kind(stream[start:end]))
        assert decoder.offset + decoder.buffered == end
    assert [(obj, columns[0][1].tolist()) for _, obj, columns in frames] == [("x", [1, -1, 300])] * 5
    assert decoder.buffered == 0
    decoder.close()


@pytest.mark.parametrize("limit, body_length", [(DEFAULT_MAX_FRAME_SIZE, 0xFFFFFFFF), (100, 101)])
def test_an_oversized_header_is_refused_with_its_eighth_byte(limit, body_length):
    decoder = FrameDecoder(limit)
    assert decoder.feed(header(body_length)[:7]) == []
    with pytest.raises(FrameError) as caught:
        decoder.feed(header(body_length)[7:])
    assert (
        str(caught.value) == f"frame at offset 0: announced body of {body_length} bytes exceeds max_frame_size {limit}"
    )
    assert decoder.buffered == 0
    assert FrameDecoder(max_frame_size=4 << 30).feed(header(0xFFFFFFFF)) == []


@pytest.mark.parametrize(
    "bad, error", [(0, ValueError), ((4 << 30) + 1, ValueError), ("1", TypeError), (True, TypeError)]
)
def test_max_frame_size_must_be_from_1_to_4_gib(bad, error):
    with pytest.raises(error):
        FrameDecoder(bad)


def test_frames_before_a_damaged_one_travel_on_the_error_and_the_decoder_stays_unusable():
    damaged = FRAME[:-1] + bytes([FRAME[-1] ^ 1])
    decoder = FrameDecoder()
    decoder.feed(FRAME[:5])
    with pytest.raises(FrameError) as caught:
        decoder.feed(FRAME[5:] + FRAME + damaged + FRAME)
    bad = 2 * len(FRAME)
    assert (str(caught.value), caught.value.offset) == (f"frame at offset {bad}: Table frame CRC32 check failed", bad)
    assert [obj for _, obj, _ in caught.value.frames] == ["x", "x"] and decoder.buffered == 0
    with pytest.raises(ValueError, match=rf"^FrameDecoder is unusable after an earlier error: frame at offset {bad}: "):
        decoder.feed(FRAME)
    decoder.close()  # the error was already reported


@pytest.mark.parametrize(
    "rest, text",
    [
        (FRAME[:3], "stream ended inside the header, 5 of 8 header bytes missing"),
        (FRAME[:20], f"stream ended inside the body, {len(FRAME) - 20} of {len(FRAME) - 8} body bytes missing"),
    ],
)
def test_close_reports_a_partial_frame_and_ends_the_decoder(rest, text):
    decoder = FrameDecoder()
    decoder.feed(FRAME + rest)
    with pytest.raises(EOFError, match=f"^frame at offset {len(FRAME)}: {text}$"):
        decoder.close()
    with pytest.raises(ValueError, match="^FrameDecoder is closed$"):
        decoder.feed(FRAME)
    decoder.close()


def test_a_feed_of_the_wrong_type_changes_nothing():
    decoder = FrameDecoder()
    decoder.feed(FRAME[:4])
    with pytest.raises(TypeError):
        decoder.feed("text")
    assert [obj for _, obj, _ in decoder.feed(FRAME[4:])] == ["x"]
