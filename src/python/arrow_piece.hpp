// One column's share of one Arrow batch, checked before anything reads it: the C data interface
// gives no buffer sizes, so what can be checked (counts, offsets, view bounds, the buffers a
// layout needs) is, and nothing is read past what the checked counts and offsets allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/arrow_abi.hpp"
#include "python/arrow_format.hpp"

namespace pyvorl {

struct ArrowPiece {
    const ArrowArray* array = nullptr;
    std::uint64_t offset = 0;                // of the first row, in the array's buffers
    std::uint64_t length = 0;                // rows
    const std::uint8_t* validity = nullptr;  // nullptr when no row is null

    bool is_valid(std::uint64_t row) const noexcept {
        const std::uint64_t bit = offset + row;
        return validity == nullptr || ((validity[bit / 8] >> (bit % 8)) & 1u) != 0;
    }
    const std::uint8_t* buffer(std::size_t i) const noexcept {
        return static_cast<const std::uint8_t*>(array->buffers[i]);
    }
};

// `array` as a piece of `length` rows from `parent_offset` on, checked for `layout` (the buffers
// it needs and their count); the fault when it is not one.
std::optional<std::string> make_piece(const ArrowArray* array, std::uint64_t parent_offset, std::uint64_t length,
                                      ArrowLayout layout, ArrowPiece& out);

// The values of a Text, TextView, Bytes or BytesView piece ("" under nulls), appended to `out`,
// after checking that every offset and view stays inside its data.
std::optional<std::string> piece_slices(const ArrowPiece& piece, ArrowLayout layout, std::uint8_t width,
                                        std::vector<std::string_view>& out);

// The index of row `row` of a dictionary piece, as a signed 64-bit value (unsigned 64-bit
// indexes above INT64_MAX come back negative, which no dictionary has).
std::int64_t piece_index(const ArrowPiece& piece, std::uint8_t width, bool is_signed, std::uint64_t row) noexcept;

// Whether any of the `length` bits from `offset` on is 0.
bool any_zero_bit(const std::uint8_t* bits, std::uint64_t offset, std::uint64_t length) noexcept;

}  // namespace pyvorl
