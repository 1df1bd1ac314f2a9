// Whole columns between floating point and D64, for the binding: it hands
// over arrays and gets decimals or doubles back, never touching a D64 byte.
#pragma once

#include <cstddef>
#include <span>

#include "core/buffer.hpp"
#include "core/decimal.hpp"

namespace vorl {

// d64_from_float(values[i], places, Binary64) into out[i] (places <= 15): the
// one decimal that rounds to the value when there is exactly one, else the
// truncated product; NaN gives zero at `places`. Returns the index of the
// first value whose decimal does not fit (out is filled up to it), or
// values.size() when all fit.
std::size_t doubles_to_d64(std::span<const double> values, unsigned places, D64* out) noexcept;

// The same for float32 values, whose own precision (binary32) decides which
// decimal they hold.
std::size_t floats_to_d64(std::span<const float> values, unsigned places, D64* out) noexcept;

// d64_to_double of each decoded value, each at its own scale, into out[i];
// out may be the values' own memory (a double takes its decimal's place).
void d64_to_doubles(std::span<const D64> values, double* out) noexcept;

// The index of the first NaN among values, or values.size(): for callers that
// refuse NaN where the conversions above would give zero.
std::size_t first_nan(std::span<const double> values) noexcept;
std::size_t first_nan(std::span<const float> values) noexcept;

}  // namespace vorl
