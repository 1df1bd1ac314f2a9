"""Writes frame bodies of every packable column type as starting points for fuzz_parse."""

import sys
from pathlib import Path

import numpy as np

from pyvorl import pack_table_frame

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


def main(directory):
    target = Path(directory)
    target.mkdir(parents=True, exist_ok=True)
    for name, (obj, columns, places) in SEEDS.items():
        frame = pack_table_frame(obj, columns, places)
        # Even first byte: fuzz_parse takes the input as a raw body.
        (target / f"seed-{name}").write_bytes(frame[8:])


if __name__ == "__main__":
    main(sys.argv[1])
