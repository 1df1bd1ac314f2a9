// Building blocks of the AVX-512 writers; included by *_avx512.cpp only.
// Eight unsigned 64-bit lanes (zigzag forms) are sized or written at once:
// each lane is laid out as its varint (the value alone, or the marker and the
// value above it), and one byte compress squeezes out the bytes that do not
// count, so no branch and no store depends on the width of a single value.
#pragma once

#include "core/kernels/isa.hpp"

#if VORL_KERNELS_AVX512

#include "core/kernels/intrinsics.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/decimal.hpp"
#include "core/encoding.hpp"
#include "core/kernels/avx512_blocks.hpp"

namespace vorl::avx512 {

VORL_TARGET_AVX512 inline __m512i zigzag64(__m512i v) noexcept {
    return _mm512_xor_si512(_mm512_slli_epi64(v, 1), _mm512_srai_epi64(v, 63));
}

VORL_TARGET_AVX512 inline __mmask8 above(__m512i bits, std::uint64_t limit) noexcept {
    return _mm512_cmpgt_epu64_mask(bits, _mm512_set1_epi64(static_cast<std::int64_t>(limit)));
}

// varint_size of each lane.
VORL_TARGET_AVX512 inline __m512i sizes(__m512i bits) noexcept {
    __m512i size =
        _mm512_mask_blend_epi64(above(bits, VARINT_MAX_SINGLE_BYTE), _mm512_set1_epi64(1), _mm512_set1_epi64(3));
    size = _mm512_mask_mov_epi64(size, above(bits, 0xFFFF), _mm512_set1_epi64(5));
    return _mm512_mask_mov_epi64(size, above(bits, 0xFFFF'FFFF), _mm512_set1_epi64(9));
}

VORL_TARGET_AVX512 inline std::uint64_t lane_sum(__m512i lanes) noexcept {
    return static_cast<std::uint64_t>(_mm512_reduce_add_epi64(lanes));
}

// Eight nine-byte varints at out, which has room for 72 bytes: byte 9k is a
// marker and bytes 9k + 1 .. 9k + 8 are lane k, so one byte permute lays out
// the first 64 bytes and the last 8 are lane 7.
VORL_TARGET_AVX512 inline std::size_t write_eight_nines(std::uint8_t* out, __m512i bits) noexcept {
    alignas(64) static constexpr auto LAYOUT = [] {
        std::array<std::uint8_t, 64> from{};
        for (unsigned at = 0; at < 64; ++at) from[at] = static_cast<std::uint8_t>(at % 9 == 0 ? 0 : at - at / 9 - 1);
        return from;
    }();
    constexpr std::uint64_t MARKERS = 0x8040'2010'0804'0201;  // bytes 0, 9, ..., 63
    const __m512i bytes = _mm512_permutexvar_epi8(_mm512_load_si512(LAYOUT.data()), bits);
    _mm512_storeu_si512(out,
                        _mm512_mask_mov_epi8(bytes, MARKERS, _mm512_set1_epi8(static_cast<char>(VARINT_MARKER_U64))));
    const __m128i last = _mm512_extracti64x2_epi64(bits, 3);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 64), _mm_unpackhi_epi64(last, last));
    return 8 * VARINT_MAX_SIZE_U64;
}

// Writes the varints of the eight lanes at out, which has room for 72 bytes
// (the room of eight nine-byte values); returns the bytes written. NINE says
// whether a lane may take nine bytes; blocks of nine-byte values only take
// write_eight_nines, blocks with some go value by value, in line, since a
// call would cost the vector constants their registers.
template <bool NINE = true>
VORL_TARGET_AVX512 inline std::size_t write_eight(std::uint8_t* out, __m512i bits) noexcept {
    const __mmask8 wide = above(bits, VARINT_MAX_SINGLE_BYTE);
    const __mmask8 wider = above(bits, 0xFFFF);
    if constexpr (NINE) {
        const __mmask8 nine = above(bits, 0xFFFF'FFFF);
        if (nine == 0xFF) return write_eight_nines(out, bits);
        if (nine != 0) [[unlikely]] {
            alignas(64) std::uint64_t lanes[8];
            _mm512_store_si512(lanes, bits);
            std::uint8_t* const start = out;
            for (const std::uint64_t lane : lanes) out += write_any_varint(out, lane);
            return static_cast<std::size_t>(out - start);
        }
    }
    // Wide lanes become marker | value << 8; the byte count of each lane is
    // spread over its eight bytes and compared with the byte's index.
    const __m512i marker =
        _mm512_mask_blend_epi64(wider, _mm512_set1_epi64(VARINT_MARKER_U16), _mm512_set1_epi64(VARINT_MARKER_U32));
    const __m512i lanes = _mm512_mask_or_epi64(bits, wide, _mm512_slli_epi64(bits, 8), marker);
    __m512i counts = _mm512_mask_blend_epi64(wide, _mm512_set1_epi64(0x0101'0101'0101'0101),
                                             _mm512_set1_epi64(0x0303'0303'0303'0303));
    counts = _mm512_mask_mov_epi64(counts, wider, _mm512_set1_epi64(0x0505'0505'0505'0505));
    const __mmask64 keep = _mm512_cmplt_epu8_mask(_mm512_set1_epi64(0x0706'0504'0302'0100), counts);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, lanes));
    return static_cast<std::size_t>(std::popcount(_cvtmask64_u64(keep)));
}

// Writes the varints of sixteen 32-bit lanes that all take one or three
// bytes, as write_eight does; out has room for 64 bytes.
VORL_TARGET_AVX512 inline std::size_t write_sixteen_short(std::uint8_t* out, __m512i bits) noexcept {
    const __mmask16 wide = _mm512_cmpgt_epu32_mask(bits, _mm512_set1_epi32(VARINT_MAX_SINGLE_BYTE));
    if (wide == 0) {  // columns of small values: a narrowing store is cheaper than the compress
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(bits));
        return 16;
    }
    const __m512i lanes =
        _mm512_mask_or_epi32(bits, wide, _mm512_slli_epi32(bits, 8), _mm512_set1_epi32(VARINT_MARKER_U16));
    const __m512i counts =
        _mm512_mask_blend_epi32(wide, _mm512_set1_epi32(0x0101'0101), _mm512_set1_epi32(0x0303'0303));
    const __mmask64 keep = _mm512_cmplt_epu8_mask(_mm512_set1_epi32(0x0302'0100), counts);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, lanes));
    return static_cast<std::size_t>(std::popcount(_cvtmask64_u64(keep)));
}

// Writes the varints of the lanes of a, then of b; out has room for 128
// bytes. Blocks of one- and three-byte values (the common mix) take one
// compress for all sixteen.
template <bool NINE = true>
VORL_TARGET_AVX512 inline std::size_t write_sixteen(std::uint8_t* out, __m512i a, __m512i b) noexcept {
    if ((above(a, VARINT_MAX_SINGLE_BYTE) | above(b, VARINT_MAX_SINGLE_BYTE)) == 0) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm512_cvtepi64_epi8(a));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), _mm512_cvtepi64_epi8(b));
        return 16;
    }
    if ((above(a, 0xFFFF) | above(b, 0xFFFF)) == 0) {
        const __m512i narrow =
            _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi64_epi32(a)), _mm512_cvtepi64_epi32(b), 1);
        return write_sixteen_short(out, narrow);
    }
    const std::size_t first = write_eight<NINE>(out, a);
    return first + write_eight<NINE>(out + first, b);
}

// d64_signed_magnitude of the eight D64 at `at`.
VORL_TARGET_AVX512 inline __m512i d64_signed_magnitudes(const D64* at) noexcept {
    const __m512i words = _mm512_loadu_si512(at);
    const __m512i magnitudes = _mm512_srli_epi64(reverse_lane_bytes(words), 8);
    const __mmask8 negative = _mm512_test_epi64_mask(words, _mm512_set1_epi64(std::int64_t{D64::SIGN_BIT} << 56));
    return _mm512_mask_sub_epi64(magnitudes, negative, _mm512_setzero_si512(), magnitudes);
}

}  // namespace vorl::avx512

#endif
