// The compact decimal column's hot loops: the zigzag varints of the
// differences of consecutive signed magnitudes (writing), and running sums of
// differences turned into D64 words (reading). The plain loops
// (decimal_differences_scalar.cpp) define the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/decimal.hpp"
#include "core/kernels/isa.hpp"

namespace vorl {

struct DecimalDifferenceKernels {
    const char* name;
    // Bytes of the zigzag varints of differences [begin, end), where
    // difference i is d64_signed_magnitude(values[i]) - that of values[i - 1]
    // (wrapping); begin >= 1.
    std::uint64_t (*size)(const D64* values, std::size_t begin, std::size_t end) noexcept;
    // Writes them at `out`, which has room for 9 bytes per difference; returns
    // the bytes written.
    std::size_t (*write)(std::uint8_t* out, const D64* values, std::size_t begin, std::size_t end) noexcept;
    // The count differences at slots + 8i (int64) become the d64_word of the
    // running sum at `scale`, continued from `running`, which is updated.
    void (*accumulate)(std::uint8_t* slots, std::size_t count, unsigned scale, std::uint64_t& running) noexcept;
};

extern const DecimalDifferenceKernels DECIMAL_DIFFERENCES_PLAIN;
#if VORL_KERNELS_AVX2
extern const DecimalDifferenceKernels DECIMAL_DIFFERENCES_AVX2;
#endif
#if VORL_KERNELS_AVX512
// Differences sized and written eight at a time; running sums eight at a time.
extern const DecimalDifferenceKernels DECIMAL_DIFFERENCES_AVX512;
#endif

std::span<const DecimalDifferenceKernels* const> usable_decimal_difference_kernels() noexcept;
const DecimalDifferenceKernels& decimal_difference_kernels() noexcept;

}  // namespace vorl
