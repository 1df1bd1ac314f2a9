// AVX-512 decimal difference kernels: running sums turned into D64 words
// eight at a time; the writing side is the AVX2 kernels'.
#include "core/kernels/decimal_differences.hpp"

#if VORL_KERNELS_AVX2

#include "core/decimal.hpp"
#include "core/kernels/avx512_blocks.hpp"

namespace vorl {
namespace {

// d64_word of the running sums on eight lanes: the byte-swapped magnitude,
// then sign and scale in the top byte.
struct D64Words {
    __m512i scale_flags;
    VORL_TARGET_AVX512 __m512i operator()(__m512i sums) const noexcept {
        const __m512i reverse = _mm512_set4_epi32(0x08090A0B, 0x0C0D0E0F, 0x00010203, 0x04050607);
        const __m512i negative = _mm512_srai_epi64(sums, 63);
        const __m512i magnitude = _mm512_and_si512(_mm512_sub_epi64(_mm512_xor_si512(sums, negative), negative),
                                                   _mm512_set1_epi64(static_cast<long long>(D64_MAX_MAGNITUDE)));
        const __m512i sign = _mm512_slli_epi64(_mm512_srli_epi64(sums, 63), 56);
        return _mm512_or_si512(_mm512_shuffle_epi8(_mm512_slli_epi64(magnitude, 8), reverse),
                               _mm512_or_si512(scale_flags, sign));
    }
};

VORL_TARGET_AVX512 void accumulate(std::uint8_t* slots, std::size_t count, unsigned scale,
                                   std::uint64_t& running_sum) noexcept {
    __m512i carry = _mm512_set1_epi64(static_cast<long long>(running_sum));
    const D64Words words{_mm512_set1_epi64(static_cast<long long>(std::uint64_t{scale} << 60))};
    const std::size_t done = avx512::running_sums64(slots, count, carry, words);
    running_sum = avx512::first_lane64(carry);
    DECIMAL_DIFFERENCES_PLAIN.accumulate(slots + 8 * done, count - done, scale, running_sum);
}

std::uint64_t size(const D64* values, std::size_t begin, std::size_t end) noexcept {
    return DECIMAL_DIFFERENCES_AVX2.size(values, begin, end);
}
std::size_t write(std::uint8_t* out, const D64* values, std::size_t begin, std::size_t end) noexcept {
    return DECIMAL_DIFFERENCES_AVX2.write(out, values, begin, end);
}

}  // namespace

const DecimalDifferenceKernels DECIMAL_DIFFERENCES_AVX512{"avx512", size, write, accumulate};

}  // namespace vorl

#endif
