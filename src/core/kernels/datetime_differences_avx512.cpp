// AVX-512 datetime difference kernels: running products eight at a time with
// 64-bit multiplies, for any differences; the writing side is the AVX2
// kernels'.
#include "core/kernels/datetime_differences.hpp"

#if VORL_KERNELS_AVX2

#include "core/kernels/avx512_blocks.hpp"

namespace vorl {
namespace {

// The running sums times the step.
struct TimesStep {
    __m512i step;
    VORL_TARGET_AVX512 __m512i operator()(__m512i sums) const noexcept { return _mm512_mullo_epi64(sums, step); }
};

VORL_TARGET_AVX512 void accumulate(std::int64_t* values, std::size_t count, std::uint64_t g,
                                   std::uint64_t& running_sum) noexcept {
    __m512i carry = _mm512_set1_epi64(static_cast<long long>(running_sum));
    const TimesStep times_step{_mm512_set1_epi64(static_cast<long long>(g))};
    const std::size_t done = avx512::running_sums64(values, count, carry, times_step);
    running_sum = avx512::first_lane64(carry);
    DATETIME_DIFFERENCES_PLAIN.accumulate(values + done, count - done, g, running_sum);
}

bool one_difference(const std::int64_t* values, std::size_t count) noexcept {
    return DATETIME_DIFFERENCES_AVX2.one_difference(values, count);
}
bool step_divides(const std::int64_t* values, std::size_t begin, std::size_t end, std::int64_t step) noexcept {
    return DATETIME_DIFFERENCES_AVX2.step_divides(values, begin, end, step);
}
std::uint64_t quotients_size(const std::int64_t* values, std::size_t begin, std::size_t end,
                             std::int64_t step) noexcept {
    return DATETIME_DIFFERENCES_AVX2.quotients_size(values, begin, end, step);
}
std::size_t write_quotients(std::uint8_t* out, const std::int64_t* values, std::size_t begin, std::size_t end,
                            std::int64_t step) noexcept {
    return DATETIME_DIFFERENCES_AVX2.write_quotients(out, values, begin, end, step);
}

}  // namespace

const DatetimeDifferenceKernels DATETIME_DIFFERENCES_AVX512{"avx512",       one_difference,  step_divides,
                                                            quotients_size, write_quotients, accumulate};

}  // namespace vorl

#endif
