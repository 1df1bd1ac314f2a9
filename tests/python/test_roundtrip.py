"""Floats packed as decimals keep the decimal that was meant, in either precision."""

from fractions import Fraction

import numpy as np
import pytest

import frames
from pyvorl import pack_table_frame, parse_table_frame

LIMIT = 2**56  # D64 magnitudes stay below this
SEEDS = range(6)


def rounds_to(candidate, places, value, dtype):
    """Whether candidate / 10**places rounds to value in dtype (to nearest, ties to even)."""
    exact = Fraction(candidate, 10**places)
    below, above = (Fraction(float(np.nextafter(value, step, dtype=dtype))) for step in (-np.inf, np.inf))
    low, high = (below + Fraction(float(value))) / 2, (Fraction(float(value)) + above) / 2
    even = int(np.array(value, dtype).view(np.int64 if dtype == np.float64 else np.int32)) % 2 == 0
    return low < exact < high or (even and exact in (low, high))


def stored_magnitude(value, places, dtype):
    """What the packer stores: the one decimal with `places` places that rounds to the
    value in its own precision, else the binary64 product truncated toward zero."""
    product = float(value) * 10.0**places
    if product != product or value == 0:
        return 0
    nearest = round(Fraction(float(value)) * 10**places)
    meant = [c for c in range(nearest - 3, nearest + 4) if rounds_to(c, places, dtype(value), dtype)]
    return meant[0] if len(meant) == 1 else int(product)


def decimal_floats(rng, dtype):
    """Floats whose products at the chosen places fit a D64, and the places."""
    places, n = int(rng.integers(0, 16)), int(rng.choice([0, 1, 2, 11, 16, 17, int(rng.integers(3, 400))]))
    values = np.sign(rng.random(n) - 0.5) * LIMIT / 10.0**places * 0.999 * rng.random(n) ** 8
    return np.concatenate([values, [0.29, 8.2, 1.005, -1.239, -0.0, np.nan, 2.675]]).astype(dtype), places


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_float_decimals_keep_the_meant_decimal(seed, dtype):
    values, places = decimal_floats(np.random.default_rng(seed), dtype)
    packed = pack_table_frame("x", [("d", values)], {"d": places})
    expected = [stored_magnitude(value, places, dtype) for value in values.tolist()]
    assert packed == frames.packed("d", bytes([frames.DECIMAL]) + frames.decimal_body(expected, places))
    [(_, received)] = parse_table_frame(packed[8:])[2]
    assert received.tolist() == [value / 10.0**places if places else float(value) for value in expected]
