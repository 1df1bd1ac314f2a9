// The AVX2 writers' path for blocks whose varints all take one or three
// bytes (prices, timestamps, small counts): four values per byte shuffle,
// chosen from a table by which of the four are wide, so no branch depends on
// the width of a single value; and for blocks that also hold five-byte
// varints, two values per shuffle the same way. Included by *_avx2.cpp only.
#pragma once

#include "core/kernels/isa.hpp"

#if VORL_KERNELS_AVX2

#include "core/kernels/intrinsics.hpp"

#include <cstddef>
#include <cstdint>

#include "core/encoding.hpp"
#include "core/kernels/avx2_blocks.hpp"

namespace vorl::avx2 {

// For each set of wide lanes among four (bit k: lane k takes three bytes),
// the shuffle that keeps byte 0 of each narrow lane and bytes 0-2 of each
// wide one (marker, then the value), and how many bytes that is.
struct ShortVarintShuffle {
    alignas(16) std::uint8_t control[16][16];
    std::uint8_t length[16];
};

inline constexpr ShortVarintShuffle SHORT_VARINT_SHUFFLE = [] {
    ShortVarintShuffle table{};
    for (unsigned wide = 0; wide < 16; ++wide) {
        unsigned at = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const unsigned bytes = (wide >> lane) & 1 ? 3 : 1;
            for (unsigned k = 0; k < bytes; ++k) table.control[wide][at++] = static_cast<std::uint8_t>(4 * lane + k);
        }
        table.length[wide] = static_cast<std::uint8_t>(at);
        for (; at < 16; ++at) table.control[wide][at] = 0x80;  // zero
    }
    return table;
}();

// Each 128-bit half of `lanes` shuffled by entry `low` (`high`) of `table`,
// stored one after the other at out (room for 32 bytes); the bytes written.
VORL_TARGET_AVX2 inline std::size_t store_shuffled_halves(std::uint8_t* out, __m256i lanes,
                                                          const ShortVarintShuffle& table, unsigned low,
                                                          unsigned high) noexcept {
    const auto* controls = reinterpret_cast<const __m128i*>(table.control);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(_mm256_castsi256_si128(lanes), _mm_load_si128(controls + low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + table.length[low]),
                     _mm_shuffle_epi8(_mm256_extracti128_si256(lanes, 1), _mm_load_si128(controls + high)));
    return std::size_t{table.length[low]} + table.length[high];
}

// Writes eight 32-bit lanes whose values are at most 0xFFFF at out, which has
// room for 32 bytes, four per byte shuffle, the markers made for all eight at
// once; returns the bytes written.
VORL_TARGET_AVX2 inline std::size_t write_eight_short(std::uint8_t* out, __m256i bits) noexcept {
    const __m256i wide = _mm256_cmpgt_epi32(bits, _mm256_set1_epi32(VARINT_MAX_SINGLE_BYTE));
    const auto mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(wide)));
    const __m256i marked = _mm256_or_si256(_mm256_slli_epi32(bits, 8), _mm256_set1_epi32(VARINT_MARKER_U16));
    const __m256i lanes = _mm256_blendv_epi8(bits, marked, wide);
    return store_shuffled_halves(out, lanes, SHORT_VARINT_SHUFFLE, mask & 15, mask >> 4);
}

// The low 32 bits of the 64-bit lanes of a, then of b.
VORL_TARGET_AVX2 inline __m256i low_halves64(__m256i a, __m256i b) noexcept {
    // Per 128-bit half: a's two low halves, then b's; the permute puts a's four first.
    const __m256 mixed = _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0));
    return _mm256_permute4x64_epi64(_mm256_castps_si256(mixed), _MM_SHUFFLE(3, 1, 2, 0));
}

// Whether the sixteen 64-bit lanes of a, b, c and d are all at most 0xFFFF.
VORL_TARGET_AVX2 inline bool at_most_two_bytes64(__m256i a, __m256i b, __m256i c, __m256i d) noexcept {
    const __m256i any = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
    return _mm256_testz_si256(any, _mm256_set1_epi64x(~std::int64_t{0xFFFF})) != 0;
}

// Sixteen 64-bit lanes (a: values 0-3, b: 4-7, ...) at out, four at a time by `Four`.
template <std::size_t (*Four)(std::uint8_t*, __m256i) noexcept>
VORL_TARGET_AVX2 inline std::size_t write_sixteen64(std::uint8_t* out, __m256i a, __m256i b, __m256i c,
                                                    __m256i d) noexcept {
    std::uint8_t* const start = out;
    out += Four(out, a);
    out += Four(out, b);
    out += Four(out, c);
    out += Four(out, d);
    return static_cast<std::size_t>(out - start);
}

// Sixteen 64-bit lanes whose values are at most 0xFFFF, at out, which has room for 64 bytes.
VORL_TARGET_AVX2 inline std::size_t write_sixteen_short64(std::uint8_t* out, __m256i a, __m256i b, __m256i c,
                                                          __m256i d) noexcept {
    const std::size_t first = write_eight_short(out, low_halves64(a, b));
    return first + write_eight_short(out + first, low_halves64(c, d));
}

// For two 64-bit lanes, by which take more than one byte (bits 0, 1) and
// which more than three (bits 2, 3): the shuffle that keeps each lane's
// first 1, 3 or 5 bytes (a marked lane holds its marker, then the value), and
// how many bytes that is.
inline constexpr ShortVarintShuffle PAIR_VARINT_SHUFFLE = [] {
    ShortVarintShuffle table{};
    for (unsigned key = 0; key < 16; ++key) {
        unsigned at = 0;
        for (unsigned lane = 0; lane < 2; ++lane) {
            const unsigned bytes = (key >> (lane + 2)) & 1 ? 5 : (key >> lane) & 1 ? 3 : 1;
            for (unsigned k = 0; k < bytes; ++k) table.control[key][at++] = static_cast<std::uint8_t>(8 * lane + k);
        }
        table.length[key] = static_cast<std::uint8_t>(at);
        for (; at < 16; ++at) table.control[key][at] = 0x80;  // zero
    }
    return table;
}();

// Whether the sixteen 64-bit lanes of a, b, c and d are all at most 0xFFFF'FFFF.
VORL_TARGET_AVX2 inline bool at_most_four_bytes64(__m256i a, __m256i b, __m256i c, __m256i d) noexcept {
    const __m256i any = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
    return _mm256_testz_si256(any, _mm256_set1_epi64x(~std::int64_t{0xFFFF'FFFF})) != 0;
}

// Writes four 64-bit lanes whose values are at most 0xFFFF'FFFF at out, which
// has room for 32 bytes; returns the bytes written.
VORL_TARGET_AVX2 inline std::size_t write_four_up_to_five64(std::uint8_t* out, __m256i bits) noexcept {
    // Signed compares suffice: no lane reaches 2^63.
    const __m256i wide = _mm256_cmpgt_epi64(bits, _mm256_set1_epi64x(VARINT_MAX_SINGLE_BYTE));
    const __m256i wider = _mm256_cmpgt_epi64(bits, _mm256_set1_epi64x(0xFFFF));
    // 0xFB, or 0xFC where wider (all ones) is subtracted.
    const __m256i marker = _mm256_sub_epi64(_mm256_set1_epi64x(VARINT_MARKER_U16), wider);
    const __m256i lanes = _mm256_blendv_epi8(bits, _mm256_or_si256(_mm256_slli_epi64(bits, 8), marker), wide);
    const auto widths = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(wide))) |
                        static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(wider))) << 4;
    const unsigned low = (widths & 3) | (widths >> 2 & 12), high = (widths >> 2 & 3) | (widths >> 4 & 12);
    return store_shuffled_halves(out, lanes, PAIR_VARINT_SHUFFLE, low, high);
}

// Sixteen 64-bit lanes whose values are at most 0xFFFF'FFFF, at out, which has room for 96 bytes.
VORL_TARGET_AVX2 inline std::size_t write_sixteen_up_to_five64(std::uint8_t* out, __m256i a, __m256i b, __m256i c,
                                                               __m256i d) noexcept {
    return write_sixteen64<write_four_up_to_five64>(out, a, b, c, d);
}

// The zigzag varints of sixteen signed 64-bit lanes (a: values 0-3, b: 4-7,
// ...) at out, which has room for 144 bytes, when each takes at most five
// bytes; returns the bytes written, or 0 (nothing written) when one needs nine.
VORL_TARGET_AVX2 inline std::size_t write_sixteen_signed_short64(std::uint8_t* out, __m256i a, __m256i b, __m256i c,
                                                                 __m256i d) noexcept {
    if (single_bytes64(a, b, c, d)) {
        store_zigzag_bytes64(out, a, b, c, d);
        return 16;
    }
    const __m256i za = zigzag64(a), zb = zigzag64(b), zc = zigzag64(c), zd = zigzag64(d);
    if (at_most_two_bytes64(za, zb, zc, zd)) return write_sixteen_short64(out, za, zb, zc, zd);
    if (at_most_four_bytes64(za, zb, zc, zd)) return write_sixteen_up_to_five64(out, za, zb, zc, zd);
    return 0;
}

}  // namespace vorl::avx2

#endif
