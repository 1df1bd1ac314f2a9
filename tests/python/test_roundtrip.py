from fractions import Fraction

import numpy as np
import pytest

import frames
from pyvorl import check_table_frame, pack_table_frame, parse_table_frame

NAT = -(2**63)
LIMIT = 2**56  # D64 magnitudes stay below this
SEEDS = range(12)


pytestmark = pytest.mark.usefixtures("utc")


def round_trip(columns, places=None, obj="x"):
    packed = pack_table_frame(obj, columns, places)
    assert check_table_frame(packed[:8]) == len(packed) - 8
    table, name, parsed = parse_table_frame(packed[8:])
    assert (table, name) == ("", obj)
    assert [column_name for column_name, _ in parsed] == [column_name for column_name, _ in columns]
    return [array for _, array in parsed]


# ---- random columns ------------------------------------------------------------------

CODE_POINTS = [(0x0, 0x7F), (0x80, 0x7FF), (0x800, 0xD7FF), (0xE000, 0xFFFF), (0x10000, 0x10FFFF)]


def random_text(rng):
    pools = rng.integers(0, len(CODE_POINTS), rng.integers(0, 12))
    return "".join(chr(int(rng.integers(*CODE_POINTS[pool], endpoint=True))) for pool in pools)


def random_length(rng):
    return int(rng.choice([0, 1, 2, 11, int(rng.integers(3, 400))]))


def random_ints(rng, dtype):
    info = np.iinfo(dtype)
    values = rng.integers(info.min, info.max, random_length(rng), dtype=dtype, endpoint=True)
    # Small values too, so that every varint width turns up.
    values[::3] >>= rng.integers(0, info.bits, len(values[::3])).astype(dtype)
    return np.concatenate([values, np.array([info.min, info.max, 0, -1], dtype)])


def random_float_bits(rng, dtype):
    unsigned = np.uint64 if dtype == np.float64 else np.uint32
    bits = rng.integers(0, np.iinfo(unsigned).max, random_length(rng), dtype=unsigned, endpoint=True)
    # NaN payloads (quiet and signalling), infinities, zeros of both signs.
    extras = [np.inf, -np.inf, 0.0, -0.0, np.nan]
    return np.concatenate([bits.view(dtype), np.array(extras, dtype)])


def micros_of(unit, values):
    if unit == "us":
        return values
    if unit == "ns":  # the quotient truncated toward zero
        return [-(-value // 1000) if value < 0 else value // 1000 for value in values]
    factor = {"ms": 1000, "s": 1_000_000}[unit]
    return [frames.wrap64(value * factor) for value in values]


DATETIME_KINDS = ["anywhere", "grid", "epoch"]


def random_datetimes(rng, kind):
    n = random_length(rng)
    if kind == "anywhere":  # in the 64-bit range
        values = rng.integers(NAT, 2**63 - 1, n, endpoint=True)
    elif kind == "grid":  # regular timestamps that leave their grid after a while
        values = 1_700_000_000_000_000 + 60_000_000 * np.arange(n) + (np.arange(n) > 12) * rng.integers(-5, 5, n)
    else:  # near the epoch, with NaT
        values = rng.integers(-10**6, 10**6, n)
        values[rng.random(n) < 0.1] = NAT
    return values.astype(np.int64)


def decimal_case(rng, dtype):
    """Floats whose products at the chosen places fit a D64, and the places."""
    places = int(rng.integers(0, 16))
    n = random_length(rng)
    limit = LIMIT / 10.0**places * 0.999
    values = np.sign(rng.random(n) - 0.5) * limit * rng.random(n) ** 8
    values = np.concatenate([values, [0.29, 1.005, -1.239, -0.0, np.nan, 2.675]]).astype(dtype)
    return values, places


def rounds_to(candidate, places, value, dtype):
    """Whether candidate / 10**places rounds to value in dtype (to nearest, ties to even)."""
    exact = Fraction(candidate, 10**places)
    below, above = (Fraction(float(np.nextafter(value, step, dtype=dtype))) for step in (-np.inf, np.inf))
    low, high = (below + Fraction(float(value))) / 2, (Fraction(float(value)) + above) / 2
    even = int(np.array(value, dtype).view(np.int64 if dtype == np.float64 else np.int32)) % 2 == 0
    return low < exact < high or (even and exact in (low, high))


def meant_or_truncated(value, places, dtype):
    """What the packer stores: the one decimal with `places` places that rounds to the
    value in its own precision, else the binary64 product truncated toward zero."""
    product = float(value) * 10.0**places
    if product != product:
        return 0
    if value == 0:
        return 0
    nearest = round(Fraction(float(value)) * 10**places)
    meant = [c for c in range(nearest - 3, nearest + 4) if rounds_to(c, places, dtype(value), dtype)]
    return meant[0] if len(meant) == 1 else int(product)


def as_float(signed_magnitude, scale):
    value = float(signed_magnitude)
    return value / 10.0**scale if scale else value


def decimal_text_case(rng):
    """Texts at their own scale, the column's places and the signed magnitudes stored
    at those places; None where rescaling overflows, which makes the value NaN."""
    places = int(rng.integers(0, 16))
    texts, stored = [], []
    for _ in range(random_length(rng)):
        scale = int(rng.integers(0, 16))
        magnitude = int(rng.integers(0, LIMIT)) >> int(rng.integers(0, 56))
        sign = "-" if rng.random() < 0.5 else ""
        digits = str(magnitude).rjust(scale + 1, "0")
        texts.append(f" {sign}{digits[:len(digits) - scale]}.{digits[len(digits) - scale:]}" if scale else sign + digits)
        if places >= scale:
            rescaled = magnitude * 10 ** (places - scale)
            if rescaled >= LIMIT:
                stored.append(None)
                continue
        else:
            rescaled = magnitude // 10 ** (scale - places)
        stored.append(-rescaled if sign else rescaled)
    return texts, places, stored


# ---- round trips ------------------------------------------------------------------------


@pytest.mark.parametrize("seed", SEEDS)
def test_fixed_width_columns_come_back_bit_identical(seed):
    rng = np.random.default_rng(seed)
    columns = [
        ("i64", random_ints(rng, np.int64)),
        ("i32", random_ints(rng, np.int32)),
        ("f64", random_float_bits(rng, np.float64)),
        ("f32", random_float_bits(rng, np.float32)),
        ("bool", rng.integers(0, 2, random_length(rng)).astype(np.bool_)),
        ("", np.array([], np.int64)),
        ("i64", np.array([], np.float32)),
    ]
    for (_, sent), received in zip(columns, round_trip(columns)):
        assert received.dtype == sent.dtype
        assert received.tobytes() == sent.tobytes()


@pytest.mark.parametrize("seed", SEEDS)
def test_bool_arrays_holding_other_bytes_come_back_as_truth_values(seed):
    rng = np.random.default_rng(seed)
    raw = rng.integers(0, 256, random_length(rng), dtype=np.uint8)
    [received] = round_trip([("b", raw.view(np.bool_))])
    assert received.view(np.uint8).tolist() == (raw != 0).astype(np.uint8).tolist()


@pytest.mark.parametrize("seed", SEEDS)
def test_texts_and_names_come_back_unchanged(seed):
    rng = np.random.default_rng(seed)
    columns = [(random_text(rng), [random_text(rng) for _ in range(random_length(rng))]) for _ in range(4)]
    columns.append(("\x00🙂", ["\x00", "🙂" * 3, "", "\U0010ffff"]))
    obj = random_text(rng)
    for (_, sent), received in zip(columns, round_trip(columns, obj=obj)):
        assert received.dtype == object
        assert received.tolist() == sent


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", DATETIME_KINDS)
@pytest.mark.parametrize("unit", ["us", "ms", "s", "ns"])
def test_datetimes_come_back_exactly_in_microseconds(seed, kind, unit):
    rng = np.random.default_rng(seed)
    values = random_datetimes(rng, kind)
    [received] = round_trip([("t", values.view(f"M8[{unit}]"))])
    assert received.dtype == np.dtype("M8[us]")
    assert received.view(np.int64).tolist() == micros_of(unit, values.tolist())


@pytest.mark.parametrize(
    "values",
    [
        [0] * 12,
        [0] * 10 + [5, -7],
        [0] * 9 + [-1, 2**63 - 1],
        [0] * 9 + [-1, NAT],
        [NAT, 2**63 - 1, NAT, 0],
        [NAT] * 3,
        [7] * 11 + [8],
        [-(2**62), 2**62, -(2**62), 3],
    ],
)
def test_datetimes_with_awkward_steps_come_back_exactly(values):
    [received] = round_trip([("t", np.array(values, np.int64).view("M8[us]"))])
    assert received.view(np.int64).tolist() == values


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_float_decimals_keep_the_meant_decimal(seed, dtype):
    rng = np.random.default_rng(seed)
    values, places = decimal_case(rng, dtype)
    packed = pack_table_frame("x", [("d", values)], {"d": places})
    expected = [meant_or_truncated(value, places, dtype) for value in values.tolist()]
    _, _, (scale, stored) = frames.read_column(packed)
    assert scale == places
    assert [-magnitude if negative else magnitude for negative, magnitude in stored] == expected
    [(_, received)] = parse_table_frame(packed[8:])[2]
    assert received.tolist() == [as_float(value, places) for value in expected]


@pytest.mark.parametrize("seed", SEEDS)
def test_text_decimals_are_rescaled_to_the_column_places(seed):
    rng = np.random.default_rng(seed)
    texts, places, expected = decimal_text_case(rng)
    packed = pack_table_frame("x", [("d", texts)], {"d": places})
    _, _, (scale, stored) = frames.read_column(packed)
    # The column scale is that of the first number; a NaN is written as 0.
    assert scale == (places if any(value is not None for value in expected) else 0)
    expected = [value or 0 for value in expected]
    assert [-magnitude if negative else magnitude for negative, magnitude in stored] == expected
    [(_, received)] = parse_table_frame(packed[8:])[2]
    assert received.tolist() == [as_float(value, scale) for value in expected]


@pytest.mark.parametrize("seed", SEEDS)
def test_mixed_table_keeps_every_column(seed):
    rng = np.random.default_rng(seed)
    floats, places = decimal_case(rng, np.float64)
    datetimes = random_datetimes(rng, DATETIME_KINDS[seed % 3])
    columns = [
        ("i", random_ints(rng, np.int64)),
        ("t", datetimes.view("M8[ms]")),
        ("s", [random_text(rng) for _ in range(random_length(rng))]),
        ("d", floats),
        ("f", floats),
        ("n", []),
    ]
    received = round_trip(columns, {"d": places, "n": places})
    assert received[0].tolist() == columns[0][1].tolist()
    assert received[1].view(np.int64).tolist() == micros_of("ms", datetimes.tolist())
    assert received[2].tolist() == columns[2][1]
    assert received[3].tolist() == [as_float(meant_or_truncated(value, places, np.float64), places) for value in floats.tolist()]
    assert received[4].tobytes() == floats.tobytes()
    assert (received[5].dtype, len(received[5])) == (np.float64, 0)
