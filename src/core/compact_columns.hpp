// The compact DateTime and Decimal column bodies: a shared parameter (the step
// of the timestamps, the scale of the decimals), then zigzag differences of
// consecutive values, so regular timestamps and prices at one scale cost about
// one byte per value.
#pragma once

#include <cstdint>
#include <span>

#include "core/buffer.hpp"
#include "core/decimal.hpp"
#include "core/encoding.hpp"

namespace vorl {

// N = count + 1, scale (zigzag, always the byte 2*scale), count differences of
// the signed magnitudes. The scale is that of the first element that is
// neither NaN nor infinity; every element is written against it unscaled.
template <class Sink>
void d64_array_bincode_encode(std::span<const D64> values, Sink& sink);

// Elements come back with the one column scale and no NaN/infinity flags.
Result<Buffer<D64>, DecodeError> d64_array_bincode_decode(SliceReader& reader);

// N = count + 1, step g, t(0)/g, then (t(i) - t(i-1))/g, all zigzag.
template <class Sink>
void datetime_array_bincode_encode(std::span<const std::int64_t> values, Sink& sink);

Result<Buffer<std::int64_t>, DecodeError> datetime_array_bincode_decode(SliceReader& reader);

// The step written for a column: the greatest common divisor of the non-zero
// values among the first ten (with the format's sign rule) whenever it divides
// the first value and every difference exactly; otherwise a step that does, so
// every column survives the round trip. Never 0 for a non-empty column.
std::int64_t datetime_column_step(std::span<const std::int64_t> values) noexcept;

}  // namespace vorl
