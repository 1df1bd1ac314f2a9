// D64: an exact decimal in eight bytes. Bytes 0..6 hold the magnitude as an
// unsigned 56-bit big-endian integer (the one big-endian field in a frame);
// byte 7 holds the flags: bit 0 sign, bit 1 NaN, bit 2 infinity, bit 3
// reserved, bits 4..7 the scale (digits after the point, 0..15).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "core/result.hpp"

namespace vorl {

inline constexpr std::uint64_t D64_MAX_MAGNITUDE = (std::uint64_t{1} << 56) - 1;
inline constexpr unsigned D64_MAX_SCALE = 15;

struct D64 {
    static constexpr std::uint8_t SIGN_BIT = 0x01;
    static constexpr std::uint8_t NAN_BIT = 0x02;
    static constexpr std::uint8_t INFINITY_BIT = 0x04;

    // Stored exactly as it travels; no alignment requirement.
    std::array<std::uint8_t, 8> bytes{};

    // magnitude must be at most D64_MAX_MAGNITUDE and scale at most D64_MAX_SCALE.
    static constexpr D64 from_parts(bool negative, std::uint64_t magnitude, unsigned scale) noexcept {
        D64 value;
        for (int i = 6; i >= 0; --i) {
            value.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(magnitude & 0xFF);
            magnitude >>= 8;
        }
        value.bytes[7] = static_cast<std::uint8_t>((scale << 4) | (negative ? SIGN_BIT : 0));
        return value;
    }
    static constexpr D64 nan() noexcept { return with_flags(NAN_BIT); }
    static constexpr D64 infinity() noexcept { return with_flags(INFINITY_BIT); }

    constexpr std::uint64_t magnitude() const noexcept {
        std::uint64_t result = 0;
        for (std::size_t i = 0; i < 7; ++i) result = (result << 8) | bytes[i];
        return result;
    }
    constexpr std::uint8_t flags() const noexcept { return bytes[7]; }
    constexpr bool is_negative() const noexcept { return (flags() & SIGN_BIT) != 0; }
    constexpr bool is_nan() const noexcept { return (flags() & NAN_BIT) != 0; }
    constexpr bool is_infinite() const noexcept { return (flags() & INFINITY_BIT) != 0; }
    constexpr bool is_special() const noexcept { return (flags() & (NAN_BIT | INFINITY_BIT)) != 0; }
    constexpr unsigned scale() const noexcept { return flags() >> 4; }

    friend constexpr bool operator==(const D64&, const D64&) = default;

private:
    static constexpr D64 with_flags(std::uint8_t flags) noexcept {
        D64 value;
        value.bytes[7] = flags;
        return value;
    }
};

static_assert(sizeof(D64) == 8 && alignof(D64) == 1);

enum class D64ParseError : std::uint8_t {
    Empty,             // nothing left after trimming white space
    InvalidCharacter,  // a byte outside digits, '-' and '.'
    OutOfRange,        // magnitude of 2^56 or more, or more than 15 digits after the point
};

// Rescaling or converting would need a magnitude of 2^56 or more.
struct D64Overflow {};

// Parses text such as " 12.50 ", "-0.5", "nan", "INF". A '-' anywhere sets the
// sign; a later '.' replaces an earlier one; no other characters are allowed.
Result<D64, D64ParseError> parse_d64(std::string_view text) noexcept;

// Gives value the scale new_scale (<= 15) without changing the number it
// denotes: lowering truncates surplus digits, raising multiplies the magnitude.
// NaN and infinity stay as they are. On overflow the value is left unchanged.
Result<void, D64Overflow> set_decimal(D64& value, unsigned new_scale) noexcept;

// x * 10^scale truncated toward zero (no rounding); NaN gives zero at scale.
// scale must be <= 15. Products of 2^56 or more in magnitude (and infinities)
// are refused.
Result<D64, D64Overflow> d64_from_double(double x, unsigned scale) noexcept;

// The precision of a floating-point value that becomes a decimal.
enum class FloatWidth : std::uint8_t { Binary64, Binary32 };

// x at `scale` keeping the digits that were meant: when exactly one decimal
// with at most `scale` places rounds to x in its own precision (x is then a
// float value when width is Binary32), that decimal; otherwise
// d64_from_double's truncation. So 0.29 at scale 2 is 29, while 2.675 (just
// below 2.675 in binary) stays 267. NaN gives zero at scale; products of 2^56
// or more in magnitude (and infinities) are refused.
Result<D64, D64Overflow> d64_from_float(double x, unsigned scale, FloatWidth width) noexcept;

// (-1)^sign * magnitude / 10^scale. The NaN and infinity flags are not
// consulted: both special values (magnitude 0) give 0.0.
double d64_to_double(D64 value) noexcept;

// Exact binary64 powers of ten for scales 0..15.
double power_of_ten(unsigned scale) noexcept;

}  // namespace vorl
