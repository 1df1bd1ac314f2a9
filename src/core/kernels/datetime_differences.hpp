// The compact datetime column's hot loops over the differences of
// consecutive values: whether they are all equal, whether the step divides
// them, the zigzag varints of their quotients by the step (writing), and the
// running products that restore the values (reading). The plain loops
// (datetime_differences_scalar.cpp) define the results. Difference i is
// values[i] - values[i - 1], wrapping; every `begin` is at least 1. Every
// kernel is defined for any values and any step (see step_divider.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/kernels/isa.hpp"

namespace vorl {

struct DatetimeDifferenceKernels {
    const char* name;
    // Whether every difference equals the first one (true below 3 values).
    bool (*one_difference)(const std::int64_t* values, std::size_t count) noexcept;
    // Whether `step` divides every difference in [begin, end).
    bool (*step_divides)(const std::int64_t* values, std::size_t begin, std::size_t end, std::int64_t step) noexcept;
    // Bytes of the zigzag varints of safe_quotient(difference i, step) for i in [begin, end).
    std::uint64_t (*quotients_size)(const std::int64_t* values, std::size_t begin, std::size_t end,
                                    std::int64_t step) noexcept;
    // Writes them at `out` (room for 9 bytes each); returns the bytes written.
    std::size_t (*write_quotients)(std::uint8_t* out, const std::int64_t* values, std::size_t begin, std::size_t end,
                                   std::int64_t step) noexcept;
    // Reading: the count differences at `values` become (running + d(0) + ...
    // + d(i)) * g in place, wrapping; running is updated.
    void (*accumulate)(std::int64_t* values, std::size_t count, std::uint64_t g, std::uint64_t& running) noexcept;
};

extern const DatetimeDifferenceKernels DATETIME_DIFFERENCES_PLAIN;
#if VORL_KERNELS_AVX2
extern const DatetimeDifferenceKernels DATETIME_DIFFERENCES_AVX2;
#endif
#if VORL_KERNELS_AVX512
// Quotients sized and written eight at a time; running products eight at a time.
extern const DatetimeDifferenceKernels DATETIME_DIFFERENCES_AVX512;
#endif

std::span<const DatetimeDifferenceKernels* const> usable_datetime_difference_kernels() noexcept;
const DatetimeDifferenceKernels& datetime_difference_kernels() noexcept;

}  // namespace vorl
