// A D64 read or built as one little-endian 64-bit word: the magnitude sits
// big-endian in bytes 0..6 and the flags in byte 7, so one byte swap turns
// the word into the number. The plain loops and the vector kernels share
// these definitions.
#pragma once

#include <cstdint>

#include "core/byte_order.hpp"
#include "core/decimal.hpp"

namespace vorl {

// The magnitude with the sign bit applied: D64::magnitude() and is_negative()
// in one load, a byte swap and no branch.
inline std::int64_t d64_signed_magnitude(const D64& value) noexcept {
    const auto word = load_le<std::uint64_t>(value.bytes.data());
    const std::uint64_t magnitude = __builtin_bswap64(word) >> 8;
    const std::uint64_t negative = (word >> 56) & D64::SIGN_BIT;
    return static_cast<std::int64_t>((magnitude ^ (0 - negative)) + negative);
}

// The D64 word of a signed value as the decimal reader builds it: the low 56
// bits of its absolute value as the magnitude, its sign, `scale`, no other
// flags (D64::from_parts in one byte swap).
inline std::uint64_t d64_word(std::uint64_t value, unsigned scale) noexcept {
    const std::uint64_t negative = value >> 63;
    const std::uint64_t magnitude = ((value ^ (0 - negative)) + negative) & D64_MAX_MAGNITUDE;
    return __builtin_bswap64(magnitude << 8) | (std::uint64_t{(scale << 4) | negative} << 56);
}

// The double of the D64 word of a running sum: d64_to_double(d64_word(sum, scale)).
inline double d64_sum_to_double(std::uint64_t sum, unsigned scale) noexcept {
    D64 decimal;
    store_le(decimal.bytes.data(), d64_word(sum, scale));
    return d64_to_double(decimal);
}

}  // namespace vorl
