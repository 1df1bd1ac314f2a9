// AVX-512 datetime difference kernels: the quotients of eight differences at
// a time, sized and written for every width mix without a branch per value
// (avx512_varints.hpp); running products eight at a time with 64-bit
// multiplies. The rest keeps the AVX2 kernels.
#include "core/kernels/datetime_differences.hpp"

#if VORL_KERNELS_AVX512

#include "core/kernels/avx512_blocks.hpp"
#include "core/kernels/avx512_varints.hpp"
#include "core/kernels/step_divider.hpp"

namespace vorl {
namespace {

const DatetimeDifferenceKernels& avx2 = DATETIME_DIFFERENCES_AVX2;
const DatetimeDifferenceKernels& plain = DATETIME_DIFFERENCES_PLAIN;

// StepDivider's fast quotient on eight lanes, for steps below 2^53 in
// magnitude: below 2^50 the nearest integer to x times the reciprocal is the
// quotient whenever the step divides x, and the product back (which cannot
// wrap at these sizes) tells whether it does. A step of 1 divides as it is.
template <bool UNIT>
class Quotients {
public:
    static bool usable(std::int64_t step) noexcept {
        return step != 0 && magnitude_of(step) < (std::uint64_t{1} << 53);
    }
    VORL_TARGET_AVX512 explicit Quotients(std::int64_t step) noexcept
        : step_(_mm512_set1_epi64(step)), reciprocal_(_mm512_set1_pd(1.0 / static_cast<double>(step))) {}

    // The zigzag forms of the quotients of differences i .. i+7; false when a
    // lane needs StepDivider.
    VORL_TARGET_AVX512 bool eight(const std::int64_t* values, std::size_t i, __m512i& bits) const noexcept {
        const __m512i x = _mm512_sub_epi64(_mm512_loadu_si512(values + i), _mm512_loadu_si512(values + i - 1));
        if constexpr (UNIT) {
            bits = avx512::zigzag64(x);
            return true;
        } else {
            const __m512i quotient = _mm512_cvtpd_epi64(_mm512_mul_pd(_mm512_cvtepi64_pd(x), reciprocal_));
            const __mmask8 small =
                _mm512_cmplt_epu64_mask(_mm512_add_epi64(x, _mm512_set1_epi64(std::int64_t{1} << 50)),
                                        _mm512_set1_epi64(std::int64_t{1} << 51));
            const __mmask8 back = _mm512_cmpeq_epi64_mask(_mm512_mullo_epi64(quotient, step_), x);
            bits = avx512::zigzag64(quotient);
            return (small & back) == 0xFF;
        }
    }

private:
    __m512i step_;
    __m512d reciprocal_;
};

template <bool UNIT>
VORL_TARGET_AVX512 std::uint64_t sized(const std::int64_t* values, std::size_t begin, std::size_t end,
                                       std::int64_t step) noexcept {
    const Quotients<UNIT> quotients(step);
    __m512i total = _mm512_setzero_si512();
    std::uint64_t undecided = 0;  // bytes of the blocks the plain loop sized
    std::size_t i = begin;
    for (; end - i >= 8; i += 8) {
        __m512i bits;
        if (quotients.eight(values, i, bits)) {
            total = _mm512_add_epi64(total, avx512::sizes(bits));
        } else {
            undecided += plain.quotients_size(values, i, i + 8, step);
        }
    }
    return avx512::lane_sum(total) + undecided + plain.quotients_size(values, i, end, step);
}

VORL_TARGET_AVX512 std::uint64_t quotients_size(const std::int64_t* values, std::size_t begin, std::size_t end,
                                                std::int64_t step) noexcept {
    if (!Quotients<false>::usable(step)) return plain.quotients_size(values, begin, end, step);
    return step == 1 ? sized<true>(values, begin, end, step) : sized<false>(values, begin, end, step);
}

template <bool UNIT>
VORL_TARGET_AVX512 std::size_t written(std::uint8_t* out, const std::int64_t* values, std::size_t begin,
                                       std::size_t end, std::int64_t step) noexcept {
    const Quotients<UNIT> quotients(step);
    std::uint8_t* const start = out;
    std::size_t i = begin;
    for (; end - i >= 16; i += 16) {
        __m512i a, b;
        if (quotients.eight(values, i, a) && quotients.eight(values, i + 8, b)) {
            out += avx512::write_sixteen(out, a, b);
        } else {
            out += plain.write_quotients(out, values, i, i + 16, step);
        }
    }
    for (; end - i >= 8; i += 8) {
        __m512i bits;
        if (quotients.eight(values, i, bits)) {
            out += avx512::write_eight(out, bits);
        } else {
            out += plain.write_quotients(out, values, i, i + 8, step);
        }
    }
    out += plain.write_quotients(out, values, i, end, step);
    return static_cast<std::size_t>(out - start);
}

VORL_TARGET_AVX512 std::size_t write_quotients(std::uint8_t* out, const std::int64_t* values, std::size_t begin,
                                               std::size_t end, std::int64_t step) noexcept {
    if (!Quotients<false>::usable(step)) return plain.write_quotients(out, values, begin, end, step);
    return step == 1 ? written<true>(out, values, begin, end, step) : written<false>(out, values, begin, end, step);
}

bool one_difference(const std::int64_t* values, std::size_t count) noexcept {
    return avx2.one_difference(values, count);
}
bool step_divides(const std::int64_t* values, std::size_t begin, std::size_t end, std::int64_t step) noexcept {
    return avx2.step_divides(values, begin, end, step);
}
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
    plain.accumulate(values + done, count - done, g, running_sum);
}

}  // namespace

const DatetimeDifferenceKernels DATETIME_DIFFERENCES_AVX512{"avx512",       one_difference,  step_divides,
                                                            quotients_size, write_quotients, accumulate};

}  // namespace vorl

#endif
