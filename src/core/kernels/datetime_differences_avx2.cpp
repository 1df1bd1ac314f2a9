// AVX2 datetime difference kernels: differences sixteen at a time, divided by
// the step through its reciprocal where that is exact, and running products
// of a repeated difference four at a time.
#include "core/kernels/datetime_differences.hpp"

#if VORL_KERNELS_AVX2

#include "core/kernels/avx2_blocks.hpp"
#include "core/kernels/avx2_short_varints.hpp"
#include "core/kernels/step_divider.hpp"
#include "core/kernels/zigzag_runs.hpp"

namespace vorl {
namespace {

const DatetimeDifferenceKernels& plain = DATETIME_DIFFERENCES_PLAIN;

VORL_TARGET_AVX2 inline __m256i differences(const std::int64_t* values, std::size_t i) noexcept {
    return _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i)),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i - 1)));
}

// Sixteen differences per step, from two overlapping loads of four lanes each.
VORL_TARGET_AVX2 bool one_difference(const std::int64_t* values, std::size_t count) noexcept {
    if (count < 3) return true;
    const __m256i first = _mm256_set1_epi64x(wrapping_sub(values[1], values[0]));
    std::size_t i = 1;
    for (; count - i >= 16; i += 16) {
        __m256i same = _mm256_set1_epi64x(-1);
        for (std::size_t k = 0; k < 16; k += 4) {
            same = _mm256_and_si256(same, _mm256_cmpeq_epi64(differences(values, i + k), first));
        }
        if (!avx2::all_set(same)) return false;
    }
    for (; i < count; ++i) {
        if (wrapping_sub(values[i], values[i - 1]) != wrapping_sub(values[1], values[0])) return false;
    }
    return true;
}

// Four lanes of StepDivider's fast quotient for steps below 2^53 in
// magnitude. Values below 2^50 convert to doubles and back through the
// 1.5 * 2^52 bias, which also rounds the product with the reciprocal to the
// nearest integer; `exact` gets all ones where x is below 2^50 and the
// quotient multiplies back to it (in doubles, which are exact there). The
// other lanes need StepDivider.
class StepVectors {
public:
    static bool usable(std::int64_t step) noexcept {
        return step != 0 && magnitude_of(step) < (std::uint64_t{1} << 53);
    }
    VORL_TARGET_AVX2 explicit StepVectors(std::int64_t step) noexcept
        : step_(_mm256_set1_pd(static_cast<double>(step))),
          reciprocal_(_mm256_set1_pd(1.0 / static_cast<double>(step))),
          unit_(step == 1) {}

    VORL_TARGET_AVX2 __m256i quotients(__m256i x, __m256i& exact) const noexcept {
        const __m256i bias_bits = _mm256_set1_epi64x(0x4338'0000'0000'0000);
        const __m256d bias = _mm256_castsi256_pd(bias_bits);
        const __m256d value = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(x, bias_bits)), bias);
        const __m256d biased_quotient = _mm256_add_pd(_mm256_mul_pd(value, reciprocal_), bias);
        const __m256d quotient = _mm256_sub_pd(biased_quotient, bias);
        const __m256i shifted = _mm256_add_epi64(x, _mm256_set1_epi64x(std::int64_t{1} << 50));
        const __m256i small = _mm256_cmpeq_epi64(_mm256_srli_epi64(shifted, 51), _mm256_setzero_si256());
        const __m256d back = _mm256_cmp_pd(_mm256_mul_pd(quotient, step_), value, _CMP_EQ_OQ);
        exact = _mm256_and_si256(small, _mm256_castpd_si256(back));
        return _mm256_sub_epi64(_mm256_castpd_si256(biased_quotient), bias_bits);
    }
    // The quotients of differences i .. i+15 in a..d; true when all are exact.
    VORL_TARGET_AVX2 bool sixteen(const std::int64_t* values, std::size_t i, __m256i& a, __m256i& b, __m256i& c,
                                  __m256i& d) const noexcept {
        if (unit_) {  // a step of 1 divides as it is
            a = differences(values, i);
            b = differences(values, i + 4);
            c = differences(values, i + 8);
            d = differences(values, i + 12);
            return true;
        }
        __m256i e0, e1, e2, e3;
        a = quotients(differences(values, i), e0);
        b = quotients(differences(values, i + 4), e1);
        c = quotients(differences(values, i + 8), e2);
        d = quotients(differences(values, i + 12), e3);
        return avx2::all_set(_mm256_and_si256(_mm256_and_si256(e0, e1), _mm256_and_si256(e2, e3)));
    }

private:
    __m256d step_;
    __m256d reciprocal_;
    bool unit_;
};

// Blocks with a lane the vectors cannot decide go through the divider.
VORL_TARGET_AVX2 bool step_divides(const std::int64_t* values, std::size_t begin, std::size_t end,
                                   std::int64_t step) noexcept {
    if (!StepVectors::usable(step)) return plain.step_divides(values, begin, end, step);
    const StepVectors vectors(step);
    const StepDivider divider(step);
    std::size_t i = begin;
    for (; end - i >= 4; i += 4) {
        __m256i exact;
        vectors.quotients(differences(values, i), exact);
        if (avx2::all_set(exact)) continue;
        for (std::size_t k = i; k < i + 4; ++k) {
            if (!divider.divides(wrapping_sub(values[k], values[k - 1]))) return false;
        }
    }
    return plain.step_divides(values, i, end, step);
}

// Blocks with an undecided lane take the plain loops.
VORL_TARGET_AVX2 std::uint64_t quotients_size(const std::int64_t* values, std::size_t begin, std::size_t end,
                                              std::int64_t step) noexcept {
    if (!StepVectors::usable(step)) return plain.quotients_size(values, begin, end, step);
    const StepVectors vectors(step);
    avx2::ZigzagExtraSizes extra;
    std::uint64_t undecided = 0;  // bytes of the blocks the plain loop sized, less one per value
    std::size_t i = begin;
    for (; end - i >= 16; i += 16) {
        __m256i a, b, c, d;
        if (!vectors.sixteen(values, i, a, b, c, d)) {
            undecided += plain.quotients_size(values, i, i + 16, step) - 16;
            continue;
        }
        if (avx2::single_bytes64(a, b, c, d)) continue;
        extra.add(a);
        extra.add(b);
        extra.add(c);
        extra.add(d);
    }
    return (i - begin) + undecided + extra.total() + plain.quotients_size(values, i, end, step);
}

VORL_TARGET_AVX2 std::size_t write_quotients(std::uint8_t* out, const std::int64_t* values, std::size_t begin,
                                             std::size_t end, std::int64_t step) noexcept {
    if (!StepVectors::usable(step)) return plain.write_quotients(out, values, begin, end, step);
    const StepVectors vectors(step);
    std::uint8_t* const start = out;
    std::size_t i = begin;
    for (; end - i >= 16; i += 16) {
        __m256i a, b, c, d;
        if (!vectors.sixteen(values, i, a, b, c, d)) {
            out += plain.write_quotients(out, values, i, i + 16, step);
            continue;
        }
        const std::size_t written = avx2::write_sixteen_signed_short64(out, a, b, c, d);
        out += written != 0 ? written : plain.write_quotients(out, values, i, i + 16, step);
    }
    out += plain.write_quotients(out, values, i, end, step);
    return static_cast<std::size_t>(out - start);
}

// x * g in each 64-bit lane for g below 2^32, wrapping: the product of the low
// halves plus that of the high half, shifted up.
VORL_TARGET_AVX2 inline __m256i times_small_step(__m256i x, __m256i g) noexcept {
    return _mm256_add_epi64(_mm256_mul_epu32(x, g),
                            _mm256_slli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(x, 32), g), 32));
}

// A step of 1: running sums four at a time (avx2::running_sums).
VORL_TARGET_AVX2 void accumulate_unit_steps(std::int64_t* values, std::size_t count,
                                            std::uint64_t& running_sum) noexcept {
    __m256i carry = _mm256_set1_epi64x(static_cast<std::int64_t>(running_sum));
    std::size_t i = 0;
    for (; count - i >= 4; i += 4) {
        auto* at = reinterpret_cast<__m256i*>(values + i);
        _mm256_storeu_si256(at, avx2::running_sums(_mm256_loadu_si256(at), carry));
    }
    running_sum = static_cast<std::uint64_t>(_mm256_extract_epi64(carry, 0));
    plain.accumulate(values + i, count - i, 1, running_sum);
}

// Other steps: regular timestamps repeat one difference, and four values at a
// time then come from the last value plus 1..4 times difference * g, which in
// wrapping arithmetic equals the plain running product; a block is compared
// as a vector only when its first difference repeats the last one. Irregular
// blocks are summed as a vector and multiplied by a step below 2^32 in halves
// (AVX2 has no 64-bit multiply), the running value kept in a register; larger
// steps take the plain loop inline, four at a time.
VORL_TARGET_AVX2 void accumulate(std::int64_t* values, std::size_t count, std::uint64_t g,
                                 std::uint64_t& running_sum) noexcept {
    if (g == 1) return accumulate_unit_steps(values, count, running_sum);
    const bool small_step = g >> 32 == 0;
    const __m256i step = _mm256_set1_epi64x(static_cast<std::int64_t>(g));
    std::uint64_t running = running_sum;  // a local: stores to values could alias the reference
    std::uint64_t last = 0;               // the last difference read
    std::uint64_t steps_of = 0;           // the difference that `steps` repeats
    __m256i steps = _mm256_setzero_si256();
    std::size_t i = 0;
    while (count - i >= 4) {
        auto* at = reinterpret_cast<__m256i*>(values + i);
        if (static_cast<std::uint64_t>(values[i]) == last) {
            const __m256i block = _mm256_loadu_si256(at);
            if (avx2::all_set(_mm256_cmpeq_epi64(block, _mm256_set1_epi64x(static_cast<std::int64_t>(last))))) {
                if (steps_of != last) {
                    const std::uint64_t unit = last * g;
                    steps =
                        _mm256_setr_epi64x(static_cast<std::int64_t>(unit), static_cast<std::int64_t>(2 * unit),
                                           static_cast<std::int64_t>(3 * unit), static_cast<std::int64_t>(4 * unit));
                    steps_of = last;
                }
                const __m256i base = _mm256_set1_epi64x(static_cast<std::int64_t>(running * g));
                _mm256_storeu_si256(at, _mm256_add_epi64(base, steps));
                running += 4 * last;
                i += 4;
                continue;
            }
        }
        if (small_step) {
            const auto d = [&](unsigned k) { return static_cast<std::uint64_t>(values[i + k]); };
            const std::uint64_t total = (d(0) + d(1)) + (d(2) + d(3));
            last = d(3);
            __m256i from = _mm256_set1_epi64x(static_cast<std::int64_t>(running));
            _mm256_storeu_si256(at, times_small_step(avx2::running_sums(_mm256_loadu_si256(at), from), step));
            running += total;
            i += 4;
            continue;
        }
        for (const std::size_t stop = i + 4; i < stop; ++i) {
            last = static_cast<std::uint64_t>(values[i]);
            running += last;
            values[i] = static_cast<std::int64_t>(running * g);
        }
    }
    plain.accumulate(values + i, count - i, g, running);
    running_sum = running;
}

}  // namespace

const DatetimeDifferenceKernels DATETIME_DIFFERENCES_AVX2{"avx2",         one_difference,  step_divides,
                                                          quotients_size, write_quotients, accumulate};

}  // namespace vorl

#endif
