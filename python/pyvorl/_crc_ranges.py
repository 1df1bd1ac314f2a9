"""The CRC-32 of any stretch of a file from the running CRC at its two ends,
so that checking many overlapping candidate frames reads each byte once.

With R(i) the CRC-32 (zlib's) of the bytes from a fixed start up to i,
the CRC of the bytes [a, b) is R(b) xor R(a)·x^(8(b-a)), the product taken
modulo the CRC polynomial: the identity behind zlib's crc32_combine.
Polynomials are 32-bit words in the reflected order zlib uses, where the
top bit is x^0.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

POLYNOMIAL = 0xEDB88320
ONE = 1 << 31  # x^0

Words = NDArray[np.uint64]


def multiply(a: Words, b: Words) -> Words:
    """a·b modulo the polynomial, element by element."""
    product = np.zeros(np.broadcast(a, b).shape, np.uint64)
    b = np.array(b, np.uint64, copy=True)
    for bit in range(31, -1, -1):
        product ^= np.where(a & np.uint64(1 << bit), b, np.uint64(0))
        b = (b >> np.uint64(1)) ^ ((b & np.uint64(1)) * np.uint64(POLYNOMIAL))
    return product


def _powers() -> list[Words]:
    """x^(8·j·256^d) for d from 0 to 3 and j from 0 to 255: each byte of a length picks one."""
    tables = []
    generator = np.array([ONE >> 8], np.uint64)  # x^8, then x^(8·256), ...
    for _ in range(4):
        row = np.array([ONE], np.uint64)
        while len(row) < 256:  # row[i] = generator^i; doubled by the next len(row) powers
            row = np.concatenate([row, multiply(row, multiply(row[-1:], generator))])
        tables.append(row)
        generator = multiply(row[-1:], generator)
    return tables


_POWERS: list[Words] = []


def shift(crc: Words, lengths: NDArray[Any]) -> Words:
    """crc·x^(8·length): the CRC `crc` carried over `length` more bytes of zeros, without the zeros."""
    if not _POWERS:
        _POWERS.extend(_powers())
    lengths = lengths.astype(np.uint64)
    factor = _POWERS[0][lengths & np.uint64(255)]
    for digit in range(1, 4):
        factor = multiply(factor, _POWERS[digit][(lengths >> np.uint64(8 * digit)) & np.uint64(255)])
    return multiply(factor, crc)


def range_crcs(before: NDArray[Any], after: NDArray[Any], lengths: NDArray[Any]) -> Words:
    """The CRC of each stretch from the running CRC `before` its start and `after` its end, and its length."""
    return np.asarray(after, np.uint64) ^ shift(np.asarray(before, np.uint64), lengths)
