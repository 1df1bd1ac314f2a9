// Building blocks shared by the AVX2 kernels; included by *_avx2.cpp only.
// Each mirrors a plain operation of encoding.hpp or d64_words.hpp on four
// 64-bit lanes.
#pragma once

#include "core/kernels/isa.hpp"

#if VORL_KERNELS_AVX2

#include "core/kernels/intrinsics.hpp"

#include <cstdint>

#include "core/decimal.hpp"
#include "core/encoding.hpp"

namespace vorl::avx2 {

// zigzag_encode on four 64-bit lanes.
VORL_TARGET_AVX2 inline __m256i zigzag64(__m256i v) noexcept {
    return _mm256_xor_si256(_mm256_slli_epi64(v, 1), _mm256_cmpgt_epi64(_mm256_setzero_si256(), v));
}

// zigzag_decode on each byte: (b >> 1) ^ -(b & 1); sign extension widens them after.
VORL_TARGET_AVX2 inline __m128i zigzag_decode_bytes(__m128i block) noexcept {
    const __m128i half = _mm_and_si128(_mm_srli_epi16(block, 1), _mm_set1_epi8(0x7F));
    const __m128i negate = _mm_sub_epi8(_mm_setzero_si128(), _mm_and_si128(block, _mm_set1_epi8(1)));
    return _mm_xor_si128(half, negate);
}

// All ones in the lanes whose unsigned value exceeds `limit`.
VORL_TARGET_AVX2 inline __m256i above64(__m256i values, std::uint64_t limit) noexcept {
    const __m256i flip = _mm256_set1_epi64x(INT64_MIN);
    return _mm256_cmpgt_epi64(_mm256_xor_si256(values, flip),
                              _mm256_set1_epi64x(static_cast<std::int64_t>(limit ^ (std::uint64_t{1} << 63))));
}

VORL_TARGET_AVX2 inline std::uint64_t lane_sum64(__m256i lanes) noexcept {
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(half)) + static_cast<std::uint64_t>(_mm_extract_epi64(half, 1));
}

// The sum of varint_size(zigzag_encode(v)) - 1 over signed 64-bit lanes,
// taken from v without forming the zigzag form: half = v ^ (v < 0 ? ~0 : 0)
// is zigzag_encode(v) >> 1, below 2^63, so signed compares decide each limit,
// and the lanes' masks (all ones per limit passed) add up in two totals.
class ZigzagExtraSizes {
public:
    VORL_TARGET_AVX2 ZigzagExtraSizes() noexcept : twos_(_mm256_setzero_si256()), fours_(_mm256_setzero_si256()) {}
    VORL_TARGET_AVX2 void add(__m256i v) noexcept {
        const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), v);
        const __m256i half = _mm256_xor_si256(v, negative);
        const __m256i over_three = _mm256_cmpgt_epi64(half, _mm256_set1_epi64x(0x7FFF));
        // Above 250: half above 125, or 125 of a negative v (half + 1 wraps only for
        // INT64_MIN, which is over three anyway).
        const __m256i over_one =
            _mm256_or_si256(_mm256_cmpgt_epi64(_mm256_sub_epi64(half, negative), _mm256_set1_epi64x(125)), over_three);
        twos_ = _mm256_add_epi64(twos_, _mm256_add_epi64(over_one, over_three));
        fours_ = _mm256_add_epi64(fours_, _mm256_cmpgt_epi64(half, _mm256_set1_epi64x(0x7FFF'FFFF)));
    }
    VORL_TARGET_AVX2 std::uint64_t total() const noexcept { return 0 - 2 * lane_sum64(twos_) - 4 * lane_sum64(fours_); }

private:
    __m256i twos_, fours_;
};

VORL_TARGET_AVX2 inline bool all_set(__m256i mask) noexcept { return _mm256_movemask_epi8(mask) == -1; }

// True when every signed 64-bit lane of a, b, c and d lies in -125..125, the
// values whose zigzag form is a single byte: v + 125 is then 0..250, which is
// tested as "(u + 5) | u has no bit above the low eight" (u above 2^64 - 6
// keeps its own high bits).
VORL_TARGET_AVX2 inline __m256i spread64(__m256i v) noexcept {
    const __m256i u = _mm256_add_epi64(v, _mm256_set1_epi64x(125));
    return _mm256_or_si256(u, _mm256_add_epi64(u, _mm256_set1_epi64x(5)));
}
VORL_TARGET_AVX2 inline bool single_bytes64(__m256i a, __m256i b, __m256i c, __m256i d) noexcept {
    const __m256i any =
        _mm256_or_si256(_mm256_or_si256(spread64(a), spread64(b)), _mm256_or_si256(spread64(c), spread64(d)));
    return _mm256_testz_si256(any, _mm256_set1_epi64x(~std::int64_t{0xFF})) != 0;
}

// The zigzag bytes of sixteen signed lanes that single_bytes64 accepted (values
// 0-3 in a, 4-7 in b, ...), stored at out in order. Such a value equals its
// own low byte read as int8, so the zigzag map runs on bytes.
VORL_TARGET_AVX2 inline void store_zigzag_bytes64(std::uint8_t* out, __m256i a, __m256i b, __m256i c,
                                                  __m256i d) noexcept {
    // Vector k puts the low bytes of its two lanes per half at bytes 2k, 2k+1
    // of that half; interleaving the halves' 16-bit pairs restores the order.
    const __m256i pick0 =
        _mm256_setr_epi8(0, 8, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, 0, 8,
                         -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128);
    const __m256i pick1 =
        _mm256_setr_epi8(-128, -128, 0, 8, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128,
                         -128, 0, 8, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128);
    const __m256i pick2 =
        _mm256_setr_epi8(-128, -128, -128, -128, 0, 8, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128,
                         -128, -128, -128, 0, 8, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128);
    const __m256i pick3 =
        _mm256_setr_epi8(-128, -128, -128, -128, -128, -128, 0, 8, -128, -128, -128, -128, -128, -128, -128, -128, -128,
                         -128, -128, -128, -128, -128, 0, 8, -128, -128, -128, -128, -128, -128, -128, -128);
    const __m256i low = _mm256_or_si256(_mm256_shuffle_epi8(a, pick0), _mm256_shuffle_epi8(b, pick1));
    const __m256i high = _mm256_or_si256(_mm256_shuffle_epi8(c, pick2), _mm256_shuffle_epi8(d, pick3));
    const __m256i merged = _mm256_or_si256(low, high);
    const __m128i bytes = _mm_unpacklo_epi16(_mm256_castsi256_si128(merged), _mm256_extracti128_si256(merged, 1));
    const __m128i zigzag = _mm_xor_si128(_mm_add_epi8(bytes, bytes), _mm_cmpgt_epi8(_mm_setzero_si128(), bytes));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), zigzag);
}

// ---- D64 words (d64_words.hpp) on four lanes ----------------------------------

// Reverses the bytes of each 64-bit lane: the big-endian magnitude of a D64
// word to a number and back.
VORL_TARGET_AVX2 inline __m256i reverse_lane_bytes(__m256i words) noexcept {
    const __m256i reverse = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1,
                                             0, 15, 14, 13, 12, 11, 10, 9, 8);
    return _mm256_shuffle_epi8(words, reverse);
}

// The unsigned magnitudes of four D64 words.
VORL_TARGET_AVX2 inline __m256i d64_magnitudes(__m256i words) noexcept {
    return _mm256_srli_epi64(reverse_lane_bytes(words), 8);
}

// All ones in the lanes whose D64 word has the sign bit set.
VORL_TARGET_AVX2 inline __m256i d64_negative(__m256i words) noexcept {
    const __m256i sign_bit = _mm256_set1_epi64x(std::int64_t{D64::SIGN_BIT} << 56);
    return _mm256_cmpeq_epi64(_mm256_and_si256(words, sign_bit), sign_bit);
}

// d64_signed_magnitude on the four D64 at `at`.
VORL_TARGET_AVX2 inline __m256i d64_signed_magnitudes(const D64* at) noexcept {
    const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i negative = d64_negative(words);
    return _mm256_sub_epi64(_mm256_xor_si256(d64_magnitudes(words), negative), negative);
}

// The running sums of four differences continued from `carry` (its every
// lane the sum so far), which moves past them: an in-register prefix sum, so
// only one addition per block waits for the block before.
VORL_TARGET_AVX2 inline __m256i running_sums(__m256i differences, __m256i& carry) noexcept {
    // [x0, x1 | x2, x3] + [0, x0 | 0, x2] within the 128-bit halves, then + [0, 0, s1, s1]:
    // one shuffle fewer across the halves, which processors that split 256-bit operations pay for.
    __m256i sums = _mm256_add_epi64(differences, _mm256_slli_si256(differences, 8));
    sums =
        _mm256_add_epi64(sums, _mm256_blend_epi32(_mm256_permute4x64_epi64(sums, 0x50), _mm256_setzero_si256(), 0x0F));
    const __m256i total = _mm256_permute4x64_epi64(sums, 0xFF);
    sums = _mm256_add_epi64(sums, carry);
    carry = _mm256_add_epi64(carry, total);
    return sums;
}

// The magnitudes (low 56 bits of the absolute values) of four signed sums, as
// d64_word takes them; `negative` gets all ones in the lanes below zero.
VORL_TARGET_AVX2 inline __m256i sum_magnitudes(__m256i sums, __m256i& negative) noexcept {
    negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), sums);
    return _mm256_and_si256(_mm256_sub_epi64(_mm256_xor_si256(sums, negative), negative),
                            _mm256_set1_epi64x(static_cast<std::int64_t>(D64_MAX_MAGNITUDE)));
}

// D64 words from magnitudes below 2^56, a mask of negative lanes and the
// flags of the scale (scale << 60).
VORL_TARGET_AVX2 inline __m256i d64_words(__m256i magnitudes, __m256i negative, __m256i scale_flags) noexcept {
    const __m256i sign = _mm256_and_si256(negative, _mm256_set1_epi64x(std::int64_t{D64::SIGN_BIT} << 56));
    return _mm256_or_si256(reverse_lane_bytes(_mm256_slli_epi64(magnitudes, 8)), _mm256_or_si256(scale_flags, sign));
}

}  // namespace vorl::avx2

#endif
