"""Byte-for-byte guard of the format: digests of the frames that about 1,900
inputs pack to (every column kind, lengths around the 16- and 32-value blocks
of the fast paths, every varint width, edge values, decimal errors), of what
parsing them gives, and of hostile mutations of them under a fixed CRC.

The test suite compares one digest per family of cases with
tests/python/golden_frames.json; after a deliberate change of output bytes,
regenerate that file and review which families changed:

    .venv/bin/python bench/format_check.py golden

For performance work, per-case digests show which case a fast path changed:

    .venv/bin/python bench/format_check.py write /tmp/reference.json    # before a change
    .venv/bin/python bench/format_check.py compare /tmp/reference.json  # after it
"""

import hashlib
import json
import sys
import zlib
from pathlib import Path

import numpy as np

import pyvorl

GOLDEN = Path(__file__).resolve().parents[1] / "tests" / "python" / "golden_frames.json"
LENGTHS = [0, 1, 2, 9, 10, 11, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 257, 1000, 4099]


def int_values(rng, n, kind, dtype):
    info = np.iinfo(dtype)
    if kind == "small":
        return rng.integers(-125, 126, n).astype(dtype)
    if kind == "edge":
        edges = np.array(
            [
                0,
                1,
                -1,
                125,
                -125,
                126,
                -126,
                127,
                -128,
                250,
                251,
                32767,
                -32768,
                32768,
                -32769,
                65535,
                65536,
                2**31 - 1,
                -(2**31),
            ],
            dtype=np.int64,
        )
        if dtype == np.int64:
            edges = np.concatenate([edges, np.array([2**32, -(2**32), 2**62, -(2**62), info.max, info.min], np.int64)])
        return rng.choice(edges.astype(dtype), n)
    if kind == "widths":
        exps = rng.integers(0, 64 if dtype == np.int64 else 32, n)
        mags = np.array([int(rng.integers(0, 2 ** int(e))) if e > 0 else 0 for e in exps], dtype=np.uint64)
        return mags.astype(dtype)
    if kind == "mostly_small":
        v = rng.integers(-100, 100, n).astype(dtype)
        idx = rng.random(n) < 0.05
        v[idx] = rng.integers(info.min, info.max, idx.sum(), dtype=dtype, endpoint=True)
        return v
    return rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)


def datetime_values(rng, n, kind):
    base = 1_704_067_200_000_000
    if kind == "regular":
        return base + np.arange(n, dtype=np.int64) * 1_000_000
    if kind == "regular_neg":
        return -base + np.arange(n, dtype=np.int64) * -60_000_000
    if kind == "ms_gaps":
        return base + np.cumsum(rng.integers(0, 60, n)) * 1000
    if kind == "us_gaps":
        return base + np.cumsum(rng.integers(-5, 5000, n))
    if kind == "grid_break":  # on a grid for the first ten, off it later
        v = base + np.arange(n, dtype=np.int64) * 1_000_000
        if n > 12:
            v[12:] += 7
        return v
    if kind == "zeros_then":
        v = np.zeros(n, np.int64)
        if n > 10:
            v[10:] = rng.integers(-(10**12), 10**12, n - 10)
        return v
    if kind == "all_zero":
        return np.zeros(n, np.int64)
    if kind == "extreme":
        return rng.choice(
            np.array([np.iinfo(np.int64).min, np.iinfo(np.int64).max, 0, -1, 1, -5, 5, 2**62, -(2**62)], np.int64), n
        )
    if kind == "neg_step":
        v = np.zeros(n, np.int64)
        if n > 1:
            v[1::2] = -5
        return v
    return rng.integers(-(2**62), 2**62, n)


def float_values(rng, n, kind):
    if kind == "prices":
        return (10_000 + np.cumsum(rng.integers(-3, 4, n))) / 100.0
    if kind == "wide":
        return rng.standard_normal(n) * 10.0 ** rng.integers(-3, 12, n)
    if kind == "negzero":
        return rng.choice(np.array([-0.0, 0.0, -0.004, 0.004, -1.5, 1.5, np.nan]), n)
    return rng.standard_normal(n) * 1000


def texts(rng, n, kind):
    if kind == "ascii":
        return ["".join(chr(c) for c in rng.integers(32, 127, rng.integers(0, 20))) for _ in range(n)]
    if kind == "unicode":
        pool = ["a", "é", "€", "😀", "ß", "中", "z", "\x00"]
        return ["".join(rng.choice(pool, rng.integers(0, 12))) for _ in range(n)]
    if kind == "long":
        return ["x" * int(rng.choice([0, 7, 8, 16, 17, 249, 250, 251, 300, 70000])) for _ in range(n)]
    return [str(int(v)) for v in rng.integers(0, 10**9, n)]


def columns():
    rng = np.random.default_rng(7)
    for n in LENGTHS:
        for kind in ["small", "edge", "widths", "mostly_small", "random"]:
            for dtype in (np.int64, np.int32):
                yield f"{dtype.__name__}-{kind}-{n}", [("c", int_values(rng, n, kind, dtype))], None
        for kind in [
            "regular",
            "regular_neg",
            "ms_gaps",
            "us_gaps",
            "grid_break",
            "zeros_then",
            "all_zero",
            "extreme",
            "neg_step",
            "random",
        ]:
            v = datetime_values(rng, n, kind)
            for unit in ("us", "ms", "s", "ns"):
                yield f"dt-{kind}-{unit}-{n}", [("t", v.astype(f"datetime64[{unit}]"))], None
        for kind in ["prices", "wide", "negzero", "random"]:
            f = float_values(rng, n, kind)
            yield f"f64-{kind}-{n}", [("f", f)], None
            yield f"f32-{kind}-{n}", [("f", f.astype(np.float32))], None
            for places in (0, 2, 4, 15):
                yield f"dec64-{kind}-{places}-{n}", [("f", f)], {"f": places}
                yield f"dec32-{kind}-{places}-{n}", [("f", f.astype(np.float32))], {"f": places}
        raw = rng.integers(0, 256, n).astype(np.uint8)
        raw[rng.random(n) < 0.5] = 0
        yield f"bool-raw-{n}", [("b", raw.view(np.bool_))], None
        yield f"bool-{n}", [("b", rng.random(n) < 0.5)], None
        for kind in ["ascii", "unicode", "long", "digits"]:
            if kind == "long" and n > 1000:
                continue
            t = texts(rng, n, kind)
            yield f"str-{kind}-{n}", [("s", t)], None
            yield f"strdec-{kind}-{n}", [("s", t)], {"s": 3}
        yield (
            f"mixed-{n}",
            [
                ("a", int_values(rng, n, "widths", np.int64)),
                ("t", datetime_values(rng, n, "ms_gaps").astype("datetime64[us]")),
                ("p", float_values(rng, n, "prices")),
                ("s", texts(rng, n, "ascii")),
                ("b", rng.random(n) < 0.5),
            ],
            {"p": 2},
        )


def outcome_digest(body):
    h = hashlib.sha256()
    try:
        table, obj, cols = pyvorl.parse_table_frame(body)
    except Exception as e:  # noqa: BLE001
        return f"{type(e).__name__}: {e}"
    h.update(repr((table, obj)).encode())
    for name, arr in cols:
        h.update(name.encode() + str(arr.dtype).encode() + str(arr.shape).encode())
        if arr.dtype == object:
            h.update(repr(arr.tolist()).encode())
        else:
            h.update(arr.tobytes())
    return h.hexdigest()


def mutations(frame, rng):
    content = bytearray(frame[8:-4])
    for _ in range(6):
        c = bytearray(content)
        if not c:
            break
        kind = rng.integers(0, 3)
        if kind == 0:
            for _ in range(rng.integers(1, 4)):
                c[rng.integers(0, len(c))] = int(rng.integers(0, 256))
        elif kind == 1:
            c = c[: rng.integers(0, len(c))]
        else:
            pos = rng.integers(0, len(c))
            c[pos:pos] = bytes(rng.integers(0, 256, rng.integers(1, 10)).astype(np.uint8))
        yield bytes(c) + zlib.crc32(bytes(c)).to_bytes(4, "little")


def run():
    """{case: {"pack": digest, "parse": digest, "mutated": digest}}, with datetimes read at UTC."""
    saved = pyvorl.get_local_offset()
    pyvorl.set_local_zone(0)
    try:
        return _run()
    finally:
        pyvorl.set_local_zone(saved // 3_600_000_000)


def _run():
    results = {}
    for name, cols, dec in columns():
        try:
            frame = pyvorl.pack_table_frame("obj", cols, dec)
        except Exception as e:  # noqa: BLE001
            results[name] = {"pack": f"{type(e).__name__}: {e}"}
            continue
        entry = {"pack": hashlib.sha256(frame).hexdigest(), "parse": outcome_digest(frame[8:])}
        # Each case draws its own mutations, so that a change in one case leaves the others' digests alone.
        rng = np.random.default_rng(zlib.crc32(name.encode()))
        entry["mutated"] = hashlib.sha256(
            "|".join(outcome_digest(m) for m in mutations(frame, rng)).encode()
        ).hexdigest()
        results[name] = entry
    return results


def family_digests(results):
    """{family: {outcome: digest}}: a family is the cases whose names share the part up to the first "-"."""
    families = {}
    for name, entry in results.items():
        for outcome, digest in entry.items():
            families.setdefault(name.split("-")[0], {}).setdefault(outcome, []).append(f"{name}={digest}")
    return {
        family: {
            outcome: hashlib.sha256("\n".join(cases).encode()).hexdigest()[:32] for outcome, cases in outcomes.items()
        }
        for family, outcomes in sorted(families.items())
    }


def main(argv):
    mode = argv[1]
    results = run()
    if mode == "golden":
        lines = [f"{json.dumps(family)}: {json.dumps(digests)}" for family, digests in family_digests(results).items()]
        GOLDEN.write_text("{\n" + ",\n".join(lines) + "\n}\n")
        print(f"{len(results)} cases in {GOLDEN}")
        return 0
    path = Path(argv[2])
    if mode == "write":
        path.write_text(json.dumps(results, indent=0))
        print(len(results), "cases written")
        return 0
    ref = json.loads(path.read_text())
    bad = [k for k in ref if ref[k] != results.get(k)]
    print(f"{len(ref)} cases, {len(bad)} differ")
    for k in bad[:20]:
        print(" ", k, ref[k], results.get(k))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
