"""Correct use of pyvorl's typed interface: mypy --strict must accept this file,
and it runs as it stands."""

import io
from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import pyvorl
from pyvorl import FrameDecoder, FrameError, read_frames, write_frame

prices = np.array([0.29, 101.5])
columns: list[pyvorl.Column] = [("price", prices), ("symbol", ["AAPL", "MSFT"])]

frame = pyvorl.pack_table_frame("quotes", columns, {"price": 2})
assert_type(frame, bytes)
body_length = pyvorl.check_table_frame(frame[:8])
assert_type(body_length, int)
table, obj, parsed = pyvorl.parse_table_frame(frame[8:])
assert_type(parsed, list[tuple[str, NDArray[Any]]])
pyvorl.set_local_zone(tz=0)
assert_type(pyvorl.get_local_offset(), int)

stream = io.BytesIO()
written = write_frame(stream, {"n": np.arange(3), "x": np.zeros(3)}, obj="ticks")
write_frame(stream, {"price": prices, "symbol": ["AAPL", "MSFT"]}, obj="quotes", decimals={"price": 2})
stream.seek(0)
for table_read in read_frames(stream, max_frame_size=1 << 20):
    for _column_name, array in table_read.items():
        assert_type(array, NDArray[Any])

decoder = FrameDecoder(max_frame_size=1 << 20)
try:
    received: list[pyvorl.Table] = decoder.feed(memoryview(frame))
    decoder.close()
except FrameError as error:
    assert_type(error.offset, int)
    received = error.frames
assert_type(decoder.buffered, int)


whole = pyvorl.dumps({"price": prices, "symbol": ["AAPL", "MSFT"]}, obj="quotes", decimals={"price": 2})
assert_type(whole, bytes)
loaded = pyvorl.loads(memoryview(whole), strings="stringdtype")
assert_type(loaded, pyvorl.Table)
assert_type(loaded["price"], NDArray[Any])
assert_type(loaded.num_rows, int)
again = pyvorl.dumps(pyvorl.Table([("n", np.arange(2))], name="t", metadata={"at": np.datetime64(0, "us")}))
assert loaded.decimals == {"price": 2} and pyvorl.loads(again).equals(pyvorl.loads(again))
