"""Correct use of pyvorl's typed interface: mypy --strict must accept this file, and it runs as it stands."""

import io
import sys
from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import pyvorl
from pyvorl import FrameDecoder, FrameError, ParsedFrame, read_frames, write_frame

columns: list[pyvorl.Column] = [("price", np.array([0.25, 101.5])), ("symbol", ["AAPL", "MSFT"])]
frame = pyvorl.pack_table_frame("quotes", columns, {"price": 2})
assert_type(pyvorl.check_table_frame(frame[:8]), int)
table, obj, parsed = pyvorl.parse_table_frame(frame[8:])
assert_type(parsed, list[tuple[str, NDArray[Any]]])
pyvorl.set_local_zone(tz=0)
assert_type(pyvorl.get_local_offset(), int)

stream = io.BytesIO()
# write_frame takes any sequence, so an inferred list of arrays needs no annotation.
write_frame(stream, "ticks", [("n", np.arange(3)), ("x", np.zeros(3))])
written = write_frame(stream, "quotes", columns, decimal_fields={"price": 2})
stream.seek(0)
for _table, _obj, frame_columns in read_frames(stream, max_frame_size=1 << 20):
    assert_type(frame_columns[0][1], NDArray[Any])

decoder = FrameDecoder(max_frame_size=1 << 20)
try:
    received: list[ParsedFrame] = decoder.feed(memoryview(frame))
    decoder.close()
except FrameError as error:
    assert_type(error.offset, int)
    received = error.frames
assert_type(decoder.buffered, int)


whole = pyvorl.dumps({"price": np.array([0.29, 8.2]), "symbol": ["AAPL", "MSFT"]}, obj="quotes", decimals={"price": 2})
assert_type(whole, bytes)
loaded = pyvorl.loads(memoryview(whole), strings="stringdtype")
assert_type(loaded, pyvorl.Table)
assert_type(loaded["price"], NDArray[Any])
assert_type(loaded.num_rows, int)
again = pyvorl.dumps(pyvorl.Table([("n", np.arange(2))], name="t", metadata={"at": np.datetime64(0, "us")}))
assert loaded.decimals == {"price": 2} and pyvorl.loads(again).equals(pyvorl.loads(again))


def misuse() -> None:
    """Never called: each line must be an error of exactly the kind its comment silences,
    since --strict also reports a silenced line that is no error at all."""
    pyvorl.pack_table_frame(1, [])  # type: ignore[arg-type]
    pyvorl.pack_table_frame("x", [("a", (1, 2))])  # type: ignore[list-item]
    pyvorl.pack_table_frame(obj="x", columns=[])  # type: ignore[call-arg]
    _name: int = pyvorl.parse_table_frame(b"")[0]  # type: ignore[assignment]
    write_frame(sys.stdout, "x", [])  # type: ignore[arg-type]
    FrameDecoder().feed("text")  # type: ignore[arg-type]
    for _table, _obj in read_frames(sys.stdin.buffer):  # type: ignore[misc]
        pass
    pyvorl.dumps({"a": [1]}, decimals={"a": "2"})  # type: ignore[dict-item]
    pyvorl.loads(b"", strings=1)  # type: ignore[arg-type]
