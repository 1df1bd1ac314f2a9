// Building blocks shared by the AVX-512 kernels (D64 byte order, zigzag decoding, running sums);
// included by *_avx512.cpp only. The writers' are in avx512_varints.hpp.
#pragma once

#include "core/kernels/isa.hpp"

#if VORL_KERNELS_AVX512

#include "core/kernels/intrinsics.hpp"

#include <cstddef>
#include <cstdint>

namespace vorl::avx512 {

// Reverses the bytes of each 64-bit lane: the big-endian magnitude of a D64
// word to a number and back.
VORL_TARGET_AVX512 inline __m512i reverse_lane_bytes(__m512i words) noexcept {
    const __m512i reverse = _mm512_set4_epi32(0x08090A0B, 0x0C0D0E0F, 0x00010203, 0x04050607);
    return _mm512_shuffle_epi8(words, reverse);
}

// zigzag_decode on eight 64-bit or sixteen 32-bit lanes: (v >> 1) ^ -(v & 1).
VORL_TARGET_AVX512 inline __m512i zigzag_decode64(__m512i v) noexcept {
    const __m512i negate = _mm512_sub_epi64(_mm512_setzero_si512(), _mm512_and_si512(v, _mm512_set1_epi64(1)));
    return _mm512_xor_si512(_mm512_srli_epi64(v, 1), negate);
}
VORL_TARGET_AVX512 inline __m512i zigzag_decode32(__m512i v) noexcept {
    const __m512i negate = _mm512_sub_epi32(_mm512_setzero_si512(), _mm512_and_si512(v, _mm512_set1_epi32(1)));
    return _mm512_xor_si512(_mm512_srli_epi32(v, 1), negate);
}

// The running sums of eight 64-bit lanes, wrapping: lane k becomes x0 + ... + xk.
VORL_TARGET_AVX512 inline __m512i prefix_sums64(__m512i x) noexcept {
    const __m512i zero = _mm512_setzero_si512();
    x = _mm512_add_epi64(x, _mm512_alignr_epi64(x, zero, 7));  // + x[k - 1]
    x = _mm512_add_epi64(x, _mm512_alignr_epi64(x, zero, 6));  // + x[k - 2] + x[k - 3]
    return _mm512_add_epi64(x, _mm512_alignr_epi64(x, zero, 4));
}

// The last lane in every lane.
VORL_TARGET_AVX512 inline __m512i broadcast_last64(__m512i x) noexcept {
    return _mm512_permutexvar_epi64(_mm512_set1_epi64(7), x);
}

// Running sums over `count` 64-bit values at `values`, continued from `carry`
// (every lane) and updated in it; `finish(sums)` gives what is stored.
template <class Finish>  // a callable with a VORL_TARGET_AVX512 operator()
VORL_TARGET_AVX512 inline std::size_t running_sums64(void* values, std::size_t count, __m512i& carry,
                                                     Finish finish) noexcept {
    auto* at = static_cast<long long*>(values);
    std::size_t i = 0;
    for (; count - i >= 8; i += 8) {
        const __m512i sums = prefix_sums64(_mm512_loadu_si512(at + i));
        // Only one addition per block waits for the block before.
        const __m512i total = broadcast_last64(sums);
        _mm512_storeu_si512(at + i, finish(_mm512_add_epi64(sums, carry)));
        carry = _mm512_add_epi64(carry, total);
    }
    return i;
}

VORL_TARGET_AVX512 inline std::uint64_t first_lane64(__m512i x) noexcept {
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(x)));
}

}  // namespace vorl::avx512

#endif
