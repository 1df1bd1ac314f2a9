"""Writes starting points for the fuzzers that read frames, into CORPUS/fuzz_parse
(bodies of every packable column type) and CORPUS/fuzz_loads (whole frames that
dumps writes: every column kind, the "pyvorl." keys, decimals and metadata)."""

import sys
from pathlib import Path

import numpy as np

from pyvorl import Table, dumps, pack_table_frame

SEEDS = {
    "empty": ("", [], None),
    "int64": ("x", [("a", np.array([1, -1, 300], dtype=np.int64))], None),
    "mixed": (
        "trades",
        [
            ("when", np.array([0, 60_000_000, 120_000_000], dtype="datetime64[us]")),
            ("price", np.array([1.5, 1.75, 1.25])),
            ("size", np.array([3, 1 << 40, -7], dtype=np.int64)),
            ("venue", ["XNYS", "\u00e9", ""]),
            ("ok", np.array([True, False, True])),
            ("small", np.array([1, -2, 250], dtype=np.int32)),
            ("ratio", np.array([0.5, -0.0, np.nan], dtype=np.float32)),
            ("quote", ["1.50", "nan", "-0.25"]),
        ],
        {"price": 2, "quote": 2},
    ),
}

NARROW = ["int8", "uint8", "int16", "uint16", "float16", "uint32", "uint64"]
TIMES = [f"{kind}8[{unit}]" for kind in "Mm" for unit in ("s", "ms", "ns")]
# Seconds beyond the microsecond range travel as Int64, the others as DateTime.
LOAD_SEEDS = {
    "narrow": {name: np.array([1, 0, 100], dtype=name) for name in NARROW},
    "times": {name: np.array([0, -1, 1 << 40], dtype="int64").astype(name) for name in TIMES},
    "far seconds": {"t": np.array([1 << 60], "int64").astype("M8[s]")},
    "texts": Table(
        {"s": ["a", "\u00e9", ""], "b": [b"\x00", b"", b"x"], "n": np.array([1.0, -2.5, 0.25])},
        obj="o",
        name="t",
        metadata={"i": 1, "u": 1 << 63, "f": 0.5, "b": True, "y": b"\xff", "d": np.datetime64(0, "us"), "s": "x"},
        field_metadata={"s": {"k": "v"}},
        decimals={"n": 2},
    ),
}


def main(corpus):
    parse, load = Path(corpus, "fuzz_parse"), Path(corpus, "fuzz_loads")
    for directory in (parse, load):
        directory.mkdir(parents=True, exist_ok=True)
    for name, (obj, columns, places) in SEEDS.items():
        frame = pack_table_frame(obj, columns, places)
        # Even first byte: fuzz_parse takes the input as a raw body.
        (parse / f"seed-{name}").write_bytes(frame[8:])
        (load / f"seed-{name}").write_bytes(frame)
    # A whole frame begins with an even byte, which fuzz_loads reads as a frame.
    for name, table in LOAD_SEEDS.items():
        (load / f"seed-{name.replace(' ', '-')}").write_bytes(dumps(table))


if __name__ == "__main__":
    main(sys.argv[1])
