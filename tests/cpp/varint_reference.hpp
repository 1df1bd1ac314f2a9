// The simplest reader of a run of varints, written from the format's rules one
// byte at a time. It shares nothing with the engine's readers (neither the
// loop every varint kernel runs nor SliceReader's checked read, nor their
// constants or byte loads), so a fault in those shows up as a difference from
// it instead of passing as agreement between kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/decode_error.hpp"
#include "core/encoding.hpp"
#include "core/result.hpp"

namespace vorl::testing {

// `count` values of T (std::int32_t or std::int64_t zigzag-mapped,
// std::uint32_t or std::uint64_t) from the front of `reader` into `out`, with
// the first error met; on success the reader is moved past the values read.
// The same contract as a varint kernel's read, for comparing the two.
template <class T>
Result<void, DecodeError> reference_read_varint_run(SliceReader& reader, std::uint64_t count, T* out) noexcept {
    using Bits = std::make_unsigned_t<T>;
    constexpr bool wide = sizeof(T) == 8;
    constexpr bool is_signed = std::is_signed_v<T>;
    // An error names the field's type and the width a refused marker announces,
    // both in their signed forms for a signed field.
    constexpr IntegerType field =
        wide ? (is_signed ? IntegerType::I64 : IntegerType::U64) : (is_signed ? IntegerType::I32 : IntegerType::U32);
    constexpr IntegerType announced_u64 = is_signed ? IntegerType::I64 : IntegerType::U64;
    constexpr IntegerType announced_u128 = is_signed ? IntegerType::I128 : IntegerType::U128;

    const std::uint8_t* const bytes = reader.position();
    const std::size_t size = reader.remaining();
    std::size_t at = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (at == size) return err(DecodeError::unexpected_end(1));
        const std::uint8_t first = bytes[at];
        std::size_t width = 0;  // bytes after the marker
        if (first <= 250) {
            width = 0;
        } else if (first == 0xFB) {
            width = 2;
        } else if (first == 0xFC) {
            width = 4;
        } else if (first == 0xFD) {
            if (!wide) return err(DecodeError::invalid_integer_type(field, announced_u64));
            width = 8;
        } else if (first == 0xFE) {
            return err(DecodeError::invalid_integer_type(field, announced_u128));
        } else {
            return err(DecodeError::invalid_integer_type(field, IntegerType::Reserved));
        }

        std::uint64_t value = first;
        if (width != 0) {
            const std::size_t available = size - at;  // the marker included
            if (available < 1 + width) return err(DecodeError::unexpected_end(1 + width - available));
            value = 0;
            for (std::size_t k = 0; k < width; ++k) value |= std::uint64_t{bytes[at + 1 + k]} << (8 * k);
        }
        at += 1 + width;

        const auto bits = static_cast<Bits>(value);  // a 32-bit field never reads more than 4 bytes
        if constexpr (is_signed) {
            out[i] = static_cast<T>(static_cast<Bits>((bits >> 1) ^ (Bits{0} - (bits & 1))));
        } else {
            out[i] = bits;
        }
    }
    reader.advance(at);
    return {};
}

}  // namespace vorl::testing
