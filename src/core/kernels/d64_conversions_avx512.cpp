// AVX-512 D64 conversions: doubles to D64 eight at a time, by the rule of the
// AVX2 kernel (d64_conversions_avx2.cpp) on wider vectors; blocks with a
// value outside its range go through the plain loop. D64 words to doubles
// eight at a time, by the AVX2 kernel's arithmetic (a reciprocal and two FMA
// corrections). Floats and running sums keep the AVX2 kernel.
#include "core/kernels/d64_conversions.hpp"

#if VORL_KERNELS_AVX512

#include "core/kernels/avx512_blocks.hpp"
#include "core/kernels/avx512_varints.hpp"

namespace vorl {
namespace {

const D64ConversionKernels& plain = D64_CONVERSIONS_PLAIN;

// Below 2^51 a decimal that rounds to x lies within 1/4 of x * 10^places, so
// the nearest integer c to the product is the only candidate and
// c / 10^places == x tests it exactly; otherwise the product truncates.
constexpr double BINARY64_LIMIT = 0x1p51;

// One block: false (storing nothing) when a lane is out of the rule's range.
VORL_TARGET_AVX512 inline bool eight_decimals(const double* values, __m512d factor, __m512i scale_flags,
                                              D64* out) noexcept {
    const __m512d x = _mm512_loadu_pd(values);
    const __m512d product = _mm512_mul_pd(x, factor);
    if (_mm512_cmp_pd_mask(_mm512_abs_pd(product), _mm512_set1_pd(BINARY64_LIMIT), _CMP_LT_OQ) != 0xFF) {
        return false;  // NaN too
    }
    const __m512d nearest = _mm512_roundscale_pd(product, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __mmask8 exact = _mm512_cmp_pd_mask(_mm512_div_pd(nearest, factor), x, _CMP_EQ_OQ);
    const __m512d truncated = _mm512_roundscale_pd(product, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m512d chosen = _mm512_mask_blend_pd(exact, truncated, nearest);
    // -0.0 compares equal to 0: a zero is never negative.
    const __mmask8 negative = _mm512_cmp_pd_mask(chosen, _mm512_setzero_pd(), _CMP_LT_OQ);
    const __m512i magnitude = _mm512_cvttpd_epu64(_mm512_abs_pd(chosen));
    const __m512i words = _mm512_or_si512(avx512::reverse_lane_bytes(_mm512_slli_epi64(magnitude, 8)), scale_flags);
    const __m512i sign = _mm512_set1_epi64(std::int64_t{D64::SIGN_BIT} << 56);
    _mm512_storeu_si512(out, _mm512_mask_or_epi64(words, negative, words, sign));
    return true;
}

VORL_TARGET_AVX512 std::size_t from_doubles(const double* values, std::size_t count, unsigned places,
                                            D64* out) noexcept {
    const __m512d factor = _mm512_set1_pd(power_of_ten(places));
    const __m512i scale_flags = _mm512_set1_epi64(static_cast<std::int64_t>(std::uint64_t{places} << 60));
    std::size_t i = 0;
    for (; count - i >= 8; i += 8) {
        if (eight_decimals(values + i, factor, scale_flags, out + i)) continue;
        const std::size_t done = plain.from_doubles(values + i, 8, places, out + i);
        if (done != 8) return i + done;
    }
    return i + plain.from_doubles(values + i, count - i, places, out + i);
}

std::size_t from_floats(const float* values, std::size_t count, unsigned places, D64* out) noexcept {
    return D64_CONVERSIONS_AVX2.from_floats(values, count, places, out);
}
std::size_t signed_from_doubles(const double* values, std::size_t count, unsigned places, bool nan_refused,
                                std::int64_t* out) noexcept {
    return D64_CONVERSIONS_AVX2.signed_from_doubles(values, count, places, nan_refused, out);
}
std::size_t signed_from_floats(const float* values, std::size_t count, unsigned places, bool nan_refused,
                               std::int64_t* out) noexcept {
    return D64_CONVERSIONS_AVX2.signed_from_floats(values, count, places, nan_refused, out);
}
void sums_to_doubles(std::uint8_t* slots, std::size_t count, unsigned scale, std::uint64_t& running) noexcept {
    D64_CONVERSIONS_AVX2.sums_to_doubles(slots, count, scale, running);
}
VORL_TARGET_AVX512 void to_doubles(const D64* values, std::size_t count, double* out) noexcept {
    const __m512i too_large = _mm512_set1_epi64(~((std::int64_t{1} << 52) - 1));
    const __m512d two_52 = _mm512_set1_pd(0x1p52);
    const __m512i sign_bit = _mm512_set1_epi64(std::int64_t{D64::SIGN_BIT} << 56);
    unsigned scale = 0;
    __m512d divisor = _mm512_set1_pd(1.0);
    __m512d reciprocal = _mm512_set1_pd(1.0);
    std::size_t i = 0;
    while (count - i >= 8) {
        const __m512i words = _mm512_loadu_si512(values + i);
        const __m512i scales = _mm512_srli_epi64(words, 60);
        const __m512i magnitude = _mm512_srli_epi64(avx512::reverse_lane_bytes(words), 8);
        const bool one_scale = _mm512_cmpeq_epi64_mask(scales, _mm512_set1_epi64(scale)) == 0xFF;
        if (!one_scale) {
            const auto first = static_cast<unsigned>(avx512::first_lane64(scales));
            if (first != scale) {  // a new column scale: try this block again with it
                scale = first;
                divisor = _mm512_set1_pd(power_of_ten(scale));
                reciprocal = _mm512_set1_pd(1.0 / power_of_ten(scale));
                continue;
            }
        }
        if (!one_scale || _mm512_test_epi64_mask(magnitude, too_large) != 0) {
            plain.to_doubles(values + i, 8, out + i);
            i += 8;
            continue;
        }
        const __m512d dividend =
            _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(magnitude, _mm512_castpd_si512(two_52))), two_52);
        __m512d value = dividend;
        if (scale != 0) {
            value = _mm512_mul_pd(dividend, reciprocal);
            value = _mm512_fmadd_pd(_mm512_fnmadd_pd(value, divisor, dividend), reciprocal, value);
            value = _mm512_fmadd_pd(_mm512_fnmadd_pd(value, divisor, dividend), reciprocal, value);
        }
        // The sign goes on last: the quotient of -m is minus that of m.
        const __m512i sign = _mm512_slli_epi64(_mm512_and_si512(words, sign_bit), 7);
        _mm512_storeu_pd(out + i, _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(value), sign)));
        i += 8;
    }
    plain.to_doubles(values + i, count - i, out + i);
}

}  // namespace

const D64ConversionKernels D64_CONVERSIONS_AVX512{"avx512",           from_doubles, from_floats,    signed_from_doubles,
                                                  signed_from_floats, to_doubles,   sums_to_doubles};

}  // namespace vorl

#endif
