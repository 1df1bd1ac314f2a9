// AVX2 D64 conversions, four values at a time. Blocks with a value outside
// the range where the vector rule provably agrees with d64_from_float (or
// with d64_to_double) go through the plain loop, four values at a time.
#include "core/kernels/d64_conversions.hpp"

#if VORL_KERNELS_AVX2

#include <cstring>
#include <limits>

#include "core/kernels/avx2_blocks.hpp"
#include "core/kernels/d64_words.hpp"

namespace vorl {
namespace {

const D64ConversionKernels& plain = D64_CONVERSIONS_PLAIN;

// Where the vector rule decides: below 2^51 (binary64) a decimal that rounds
// to x lies within 1/4 of x * 10^places, so the nearest integer c to the
// product is the only candidate and c / 10^places == x tests it exactly.
// Below 2^22 the same holds for binary32, with the quotient rounded to float
// (a double quotient exactly halfway between two floats is left to the
// plain loop: rounding twice could differ from rounding once there).
constexpr double BINARY64_LIMIT = 0x1p51;
constexpr double BINARY32_LIMIT = 0x1p22;

// The magnitudes and sign masks of the chosen integers (c or the truncated
// product), below 2^51: the integer lands in the mantissa bits of v + 2^52.
VORL_TARGET_AVX2 inline void store_words(__m256d chosen, __m256i scale_flags, D64* out) noexcept {
    const __m256d two_52 = _mm256_set1_pd(0x1p52);
    const __m256d absolute = _mm256_andnot_pd(_mm256_set1_pd(-0.0), chosen);
    const __m256i magnitude =
        _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(absolute, two_52)), _mm256_castpd_si256(two_52));
    // -0.0 compares equal to 0: a zero is never negative.
    const __m256i negative = _mm256_castpd_si256(_mm256_cmp_pd(chosen, _mm256_setzero_pd(), _CMP_LT_OQ));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), avx2::d64_words(magnitude, negative, scale_flags));
}

// The chosen integers themselves, below 2^51 in magnitude: c + 1.5 * 2^52
// holds 2^51 + c in its mantissa bits.
VORL_TARGET_AVX2 inline void store_signed(__m256d chosen, std::int64_t* out) noexcept {
    const __m256d offset = _mm256_set1_pd(0x1.8p52);
    const __m256i value =
        _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(chosen, offset)), _mm256_castpd_si256(offset));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), value);
}

VORL_TARGET_AVX2 inline void store_chosen(__m256d chosen, __m256i scale_flags, D64* out) noexcept {
    store_words(chosen, scale_flags, out);
}
VORL_TARGET_AVX2 inline void store_chosen(__m256d chosen, __m256i, std::int64_t* out) noexcept {
    store_signed(chosen, out);
}

// One block: false (storing nothing) when a lane is out of the vector rule's
// range (a NaN too). Out is D64 (words) or std::int64_t (signed magnitudes).
template <class Float, class Out>
VORL_TARGET_AVX2 inline bool four_decimals(const Float* values, __m256d factor, __m256i scale_flags,
                                           Out* out) noexcept {
    __m256d x;
    if constexpr (sizeof(Float) == 8) {
        x = _mm256_loadu_pd(values);
    } else {
        x = _mm256_cvtps_pd(_mm_loadu_ps(values));  // exact widening
    }
    const __m256d product = _mm256_mul_pd(x, factor);
    const __m256d absolute = _mm256_andnot_pd(_mm256_set1_pd(-0.0), product);
    const double limit = sizeof(Float) == 8 ? BINARY64_LIMIT : BINARY32_LIMIT;
    if (_mm256_movemask_pd(_mm256_cmp_pd(absolute, _mm256_set1_pd(limit), _CMP_LT_OQ)) != 0xF) return false;  // NaN too
    const __m256d nearest = _mm256_round_pd(product, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d quotient = _mm256_div_pd(nearest, factor);
    __m256d exact;
    if constexpr (sizeof(Float) == 8) {
        exact = _mm256_cmp_pd(quotient, x, _CMP_EQ_OQ);
    } else {
        const __m256i low_bits = _mm256_and_si256(_mm256_castpd_si256(quotient), _mm256_set1_epi64x(0x1FFF'FFFF));
        if (!_mm256_testz_si256(_mm256_cmpeq_epi64(low_bits, _mm256_set1_epi64x(0x1000'0000)),
                                _mm256_set1_epi64x(-1))) {
            return false;
        }
        const __m128 rounded = _mm256_cvtpd_ps(quotient);
        const __m128 same = _mm_cmpeq_ps(rounded, _mm_loadu_ps(values));
        exact = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_castps_si128(same)));
    }
    const __m256d truncated = _mm256_round_pd(product, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    store_chosen(_mm256_blendv_pd(truncated, nearest, exact), scale_flags, out);
    return true;
}

template <class Float>
VORL_TARGET_AVX2 std::size_t from_floating(const Float* values, std::size_t count, unsigned places, D64* out) noexcept {
    const __m256d factor = _mm256_set1_pd(power_of_ten(places));
    const __m256i scale_flags = _mm256_set1_epi64x(static_cast<std::int64_t>(std::uint64_t{places} << 60));
    std::size_t i = 0;
    for (; count - i >= 4; i += 4) {
        if (four_decimals(values + i, factor, scale_flags, out + i)) continue;
        std::size_t done;
        if constexpr (sizeof(Float) == 8) {
            done = plain.from_doubles(values + i, 4, places, out + i);
        } else {
            done = plain.from_floats(values + i, 4, places, out + i);
        }
        if (done != 4) return i + done;
    }
    std::size_t done;
    if constexpr (sizeof(Float) == 8) {
        done = plain.from_doubles(values + i, count - i, places, out + i);
    } else {
        done = plain.from_floats(values + i, count - i, places, out + i);
    }
    return i + done;
}

// A block the vector rule leaves goes through the plain loop, which refuses a NaN itself.
template <class Float>
VORL_TARGET_AVX2 std::size_t signed_from_floating(const Float* values, std::size_t count, unsigned places,
                                                  bool nan_refused, std::int64_t* out) noexcept {
    const __m256d factor = _mm256_set1_pd(power_of_ten(places));
    std::size_t i = 0;
    for (; count - i >= 4; i += 4) {
        if (four_decimals(values + i, factor, __m256i{}, out + i)) continue;
        std::size_t done;
        if constexpr (sizeof(Float) == 8) {
            done = plain.signed_from_doubles(values + i, 4, places, nan_refused, out + i);
        } else {
            done = plain.signed_from_floats(values + i, 4, places, nan_refused, out + i);
        }
        if (done != 4) return i + done;
    }
    std::size_t done;
    if constexpr (sizeof(Float) == 8) {
        done = plain.signed_from_doubles(values + i, count - i, places, nan_refused, out + i);
    } else {
        done = plain.signed_from_floats(values + i, count - i, places, nan_refused, out + i);
    }
    return i + done;
}

// Whether 1 / 10^scale rounded to the nearest double has a relative error of
// at most 2^-54 (found in exact rational arithmetic): m times it is then within
// one ulp of m / 10^scale for every m, and one correction from there rounds as
// the division does (Markstein's theorem). The other scales take two.
constexpr bool ONE_CORRECTION[D64_MAX_SCALE + 1] = {true, true,  true, true,  true, false, true, true,
                                                    true, false, true, false, true, true,  true, false};

// The quotients m / 10^scale of four integers m below 2^52 in magnitude, as
// doubles (see to_doubles). Rounding to nearest is symmetric, so the quotient
// of -m is minus that of m.
VORL_TARGET_AVX2_FMA inline __m256d quotients(__m256d dividend, unsigned scale, __m256d divisor,
                                              __m256d reciprocal) noexcept {
    if (scale == 0) return dividend;
    __m256d value = _mm256_mul_pd(dividend, reciprocal);
    value = _mm256_fmadd_pd(_mm256_fnmadd_pd(value, divisor, dividend), reciprocal, value);
    if (ONE_CORRECTION[scale]) return value;
    return _mm256_fmadd_pd(_mm256_fnmadd_pd(value, divisor, dividend), reciprocal, value);
}

// Four at a time where all four share one scale and have magnitudes below
// 2^52, which convert to doubles exactly through the mantissa bits. The
// quotient m / 10^s then comes from the correctly rounded reciprocal and one
// or two FMA correction steps: the residual m - q * 10^s is exact in an FMA,
// and a correction from an estimate within an ulp rounds exactly as the
// division does (checked against it on 6.75e8 magnitudes at every scale, and
// one step on 8e7 at each scale). Division is slow and this is the
// column's hottest operation.
VORL_TARGET_AVX2_FMA void to_doubles(const D64* values, std::size_t count, double* out) noexcept {
    const __m256i too_large = _mm256_set1_epi64x(~((std::int64_t{1} << 52) - 1));
    const __m256i sign_bit = _mm256_set1_epi64x(std::int64_t{D64::SIGN_BIT} << 56);
    unsigned scale = 0;
    __m256d divisor = _mm256_set1_pd(1.0);
    __m256d reciprocal = _mm256_set1_pd(1.0);
    std::size_t i = 0;
    while (count - i >= 4) {
        const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i));
        const __m256i scales = _mm256_srli_epi64(words, 60);
        const __m256i magnitude = avx2::d64_magnitudes(words);
        const __m256i current = _mm256_set1_epi64x(static_cast<std::int64_t>(scale));
        const bool one_scale = avx2::all_set(_mm256_cmpeq_epi64(scales, current));
        if (!one_scale) {
            const auto first = static_cast<unsigned>(_mm256_extract_epi64(scales, 0));
            if (first != scale) {  // a new column scale: try this block again with it
                scale = first;
                divisor = _mm256_set1_pd(power_of_ten(scale));
                reciprocal = _mm256_set1_pd(1.0 / power_of_ten(scale));
                continue;
            }
        }
        if (!one_scale || !_mm256_testz_si256(magnitude, too_large)) {
            plain.to_doubles(values + i, 4, out + i);
            i += 4;
            continue;
        }
        // The sign goes on last: the quotient of -m is minus that of m.
        const __m256d two_52 = _mm256_set1_pd(0x1p52);
        const __m256d dividend =
            _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(magnitude, _mm256_castpd_si256(two_52))), two_52);
        const __m256d value =
            _mm256_xor_pd(quotients(dividend, scale, divisor, reciprocal),
                          _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_and_si256(words, sign_bit), 7)));
        _mm256_storeu_pd(out + i, value);
        i += 4;
    }
    plain.to_doubles(values + i, count - i, out + i);
}

// to_doubles' arithmetic on the running sums themselves, without D64 words in
// between. A signed sum below 2^51 in magnitude converts to a double exactly
// through the 1.5 * 2^52 bias, and its quotient carries the sign; a block with
// a larger one goes value by value.
VORL_TARGET_AVX2_FMA void sums_to_doubles(std::uint8_t* slots, std::size_t count, unsigned scale,
                                          std::uint64_t& running_sum) noexcept {
    const __m256i bias_bits = _mm256_set1_epi64x(0x4338'0000'0000'0000);
    const __m256i half_range = _mm256_set1_epi64x(std::int64_t{1} << 51);
    const __m256i out_of_range = _mm256_set1_epi64x(~((std::int64_t{1} << 52) - 1));
    const __m256d divisor = _mm256_set1_pd(power_of_ten(scale));
    const __m256d reciprocal = _mm256_set1_pd(1.0 / power_of_ten(scale));
    __m256i carry = _mm256_set1_epi64x(static_cast<std::int64_t>(running_sum));
    std::size_t i = 0;
    for (; count - i >= 4; i += 4) {
        std::uint8_t* const at = slots + 8 * i;
        const __m256i sums = avx2::running_sums(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), carry);
        if (!_mm256_testz_si256(_mm256_add_epi64(sums, half_range), out_of_range)) {
            alignas(32) std::uint64_t lanes[4];
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
            for (unsigned k = 0; k < 4; ++k) {
                const double value = d64_sum_to_double(lanes[k], scale);
                std::memcpy(at + 8 * k, &value, sizeof value);
            }
            continue;
        }
        const __m256d dividend =
            _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(sums, bias_bits)), _mm256_castsi256_pd(bias_bits));
        _mm256_storeu_pd(reinterpret_cast<double*>(at), quotients(dividend, scale, divisor, reciprocal));
    }
    running_sum = static_cast<std::uint64_t>(_mm256_extract_epi64(carry, 0));
    plain.sums_to_doubles(slots + 8 * i, count - i, scale, running_sum);
}

}  // namespace

const D64ConversionKernels D64_CONVERSIONS_AVX2{
    "avx2+fma", from_floating<double>, from_floating<float>, signed_from_floating<double>, signed_from_floating<float>,
    to_doubles, sums_to_doubles};

}  // namespace vorl

#endif
