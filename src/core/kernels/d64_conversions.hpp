// Whole columns between floating point and D64. The plain loops
// (d64_conversions_scalar.cpp) apply d64_from_float and d64_to_double value
// by value and define the results; the core's d64_columns.hpp is the
// interface the rest of the system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/decimal.hpp"
#include "core/kernels/isa.hpp"

namespace vorl {

struct D64ConversionKernels {
    const char* name;
    // d64_from_float(values[i], places, Binary64) into out[i]; returns the index
    // of the first value refused (out is then filled up to it), or count.
    std::size_t (*from_doubles)(const double* values, std::size_t count, unsigned places, D64* out) noexcept;
    // The same for float values (Binary32).
    std::size_t (*from_floats)(const float* values, std::size_t count, unsigned places, D64* out) noexcept;
    // d64_signed_magnitude of from_doubles' decimal of each value into out[i], a NaN refused
    // too when nan_refused: the values the decimal column writer takes differences of.
    std::size_t (*signed_from_doubles)(const double* values, std::size_t count, unsigned places, bool nan_refused,
                                       std::int64_t* out) noexcept;
    // The same for float values (Binary32).
    std::size_t (*signed_from_floats)(const float* values, std::size_t count, unsigned places, bool nan_refused,
                                      std::int64_t* out) noexcept;
    // d64_to_double of each value into out[i]; out may be the values' own memory.
    void (*to_doubles)(const D64* values, std::size_t count, double* out) noexcept;
    // A decimal column read straight to doubles: the count differences at slots + 8i (int64)
    // become the doubles of their running sums as the decimal reader's D64 words at `scale`
    // (d64_sum_to_double), in place, continued from `running`, which is updated.
    void (*sums_to_doubles)(std::uint8_t* slots, std::size_t count, unsigned scale, std::uint64_t& running) noexcept;
};

extern const D64ConversionKernels D64_CONVERSIONS_PLAIN;
#if VORL_KERNELS_AVX2
extern const D64ConversionKernels D64_CONVERSIONS_AVX2;
#endif
#if VORL_KERNELS_AVX512
// Doubles to D64 and D64 words to doubles eight at a time.
extern const D64ConversionKernels D64_CONVERSIONS_AVX512;
#endif

std::span<const D64ConversionKernels* const> usable_d64_conversion_kernels() noexcept;
const D64ConversionKernels& d64_conversion_kernels() noexcept;

}  // namespace vorl
