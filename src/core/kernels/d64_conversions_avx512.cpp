// AVX-512 D64 conversions: D64 words to doubles eight at a time, by the same
// arithmetic as the AVX2 kernel (a reciprocal and two FMA corrections);
// doubles and floats to D64 are the AVX2 kernels'.
#include "core/kernels/d64_conversions.hpp"

#if VORL_KERNELS_AVX2

#include "core/kernels/avx512_blocks.hpp"

namespace vorl {
namespace {

VORL_TARGET_AVX512 void to_doubles(const D64* values, std::size_t count, double* out) noexcept {
    const __m512i reverse = _mm512_set4_epi32(0x08090A0B, 0x0C0D0E0F, 0x00010203, 0x04050607);
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
        const __m512i magnitude = _mm512_srli_epi64(_mm512_shuffle_epi8(words, reverse), 8);
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
            D64_CONVERSIONS_PLAIN.to_doubles(values + i, 8, out + i);
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
    D64_CONVERSIONS_PLAIN.to_doubles(values + i, count - i, out + i);
}

std::size_t from_doubles(const double* values, std::size_t count, unsigned places, D64* out) noexcept {
    return D64_CONVERSIONS_AVX2.from_doubles(values, count, places, out);
}
std::size_t from_floats(const float* values, std::size_t count, unsigned places, D64* out) noexcept {
    return D64_CONVERSIONS_AVX2.from_floats(values, count, places, out);
}

}  // namespace

const D64ConversionKernels D64_CONVERSIONS_AVX512{"avx512", from_doubles, from_floats, to_doubles};

}  // namespace vorl

#endif
