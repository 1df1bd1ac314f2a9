// AVX2 varint run kernels: the signed columns that Python packs are sized
// and written sixteen values at a time; every type reads runs of one-byte values 32 at a
// time, and mixed widths a 64-byte window at a time (value starts by a table walk). Unsigned sizes and
// writes keep the plain loops.
#include "core/kernels/varint_runs.hpp"

#if VORL_KERNELS_AVX2

#include <bit>

#include "core/kernels/avx2_blocks.hpp"
#include "core/kernels/avx2_short_varints.hpp"
#include "core/kernels/varint_run_reader.hpp"
#include "core/kernels/varint_starts.hpp"

namespace vorl {
namespace {

VORL_TARGET_AVX2 std::uint64_t size_i64(const std::int64_t* values, std::size_t count) noexcept {
    // One byte per value, plus the extra bytes of blocks with wider ones.
    avx2::ZigzagExtraSizes extra;
    std::size_t i = 0;
    for (; count - i >= 16; i += 16) {
        const auto* at = reinterpret_cast<const __m256i*>(values + i);
        const __m256i a = _mm256_loadu_si256(at), b = _mm256_loadu_si256(at + 1);
        const __m256i c = _mm256_loadu_si256(at + 2), d = _mm256_loadu_si256(at + 3);
        if (avx2::single_bytes64(a, b, c, d)) continue;
        extra.add(a);
        extra.add(b);
        extra.add(c);
        extra.add(d);
    }
    return extra.total() + i + VARINT_RUNS_PLAIN.i64.size(values + i, count - i);
}

VORL_TARGET_AVX2 inline __m256i zigzag32(__m256i v) noexcept {
    return _mm256_xor_si256(_mm256_slli_epi32(v, 1), _mm256_srai_epi32(v, 31));
}
// All ones in the lanes whose unsigned value is at most `limit`.
VORL_TARGET_AVX2 inline __m256i at_most32(__m256i values, std::uint32_t limit) noexcept {
    const __m256i bound = _mm256_set1_epi32(static_cast<int>(limit));
    return _mm256_cmpeq_epi32(_mm256_max_epu32(values, bound), bound);
}

VORL_TARGET_AVX2 std::uint64_t size_i32(const std::int32_t* values, std::size_t count) noexcept {
    // Each lane of `small` drops by at most 4 per block; it is emptied into
    // the 64-bit total long before it could wrap.
    constexpr std::size_t FLUSH = std::size_t{1} << 24;
    std::uint64_t total = 0;
    std::size_t i = 0;
    while (count - i >= 8) {
        __m256i small = _mm256_setzero_si256();  // minus the two-byte savings of each lane
        const std::size_t blocks = std::min((count - i) / 8, FLUSH);
        for (std::size_t b = 0; b < blocks; ++b, i += 8) {
            const __m256i lanes = zigzag32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i)));
            const __m256i one = at_most32(lanes, VARINT_MAX_SINGLE_BYTE);
            const __m256i three = at_most32(lanes, 0xFFFF);
            const __m256i savings = _mm256_add_epi32(_mm256_add_epi32(one, one), _mm256_add_epi32(three, three));
            small = _mm256_add_epi32(small, savings);
        }
        const __m256i wide = _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(small)),
                                              _mm256_cvtepi32_epi64(_mm256_extracti128_si256(small, 1)));
        // 5 bytes per value, less 2 for each limit it stays within.
        total += 5 * (blocks * 8) + avx2::lane_sum64(wide);
    }
    return total + VARINT_RUNS_PLAIN.i32.size(values + i, count - i);
}

// All ones in the lanes of zigzag forms that take nine bytes.
VORL_TARGET_AVX2 inline __m256i nine_bytes(__m256i zigzag) noexcept { return avx2::above64(zigzag, 0xFFFF'FFFF); }

VORL_TARGET_AVX2 std::size_t write_i64(std::uint8_t* out, const std::int64_t* values, std::size_t count) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = 0;
    while (count - i >= 16) {
        const auto* at = reinterpret_cast<const __m256i*>(values + i);
        const __m256i a = _mm256_loadu_si256(at), b = _mm256_loadu_si256(at + 1);
        const __m256i c = _mm256_loadu_si256(at + 2), d = _mm256_loadu_si256(at + 3);
        if (avx2::single_bytes64(a, b, c, d)) {
            avx2::store_zigzag_bytes64(out, a, b, c, d);
            out += 16;
            i += 16;
            continue;
        }
        // One choice per block, not per value, the narrowest first.
        const __m256i za = avx2::zigzag64(a), zb = avx2::zigzag64(b), zc = avx2::zigzag64(c), zd = avx2::zigzag64(d);
        if (avx2::at_most_two_bytes64(za, zb, zc, zd)) {
            out += avx2::write_sixteen_short64(out, za, zb, zc, zd);
        } else if (avx2::at_most_four_bytes64(za, zb, zc, zd)) {
            out += avx2::write_sixteen_up_to_five64(out, za, zb, zc, zd);
        } else if (avx2::all_set(_mm256_and_si256(_mm256_and_si256(nine_bytes(za), nine_bytes(zb)),
                                                  _mm256_and_si256(nine_bytes(zc), nine_bytes(zd))))) {
            // Sixteen nine-byte values: the marker and the eight bytes each.
            for (std::size_t k = 0; k < 16; ++k, out += VARINT_MAX_SIZE_U64) {
                out[0] = VARINT_MARKER_U64;
                store_le(out + 1, zigzag_encode(values[i + k]));
            }
        } else {
            for (std::size_t k = i; k < i + 16; ++k) out += write_any_varint(out, varint_bits(values[k]));
        }
        i += 16;
    }
    out += VARINT_RUNS_PLAIN.i64.write(out, values + i, count - i);
    return static_cast<std::size_t>(out - start);
}

VORL_TARGET_AVX2 std::size_t write_i32(std::uint8_t* out, const std::int32_t* values, std::size_t count) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = 0;
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5);
    while (count - i >= 16) {
        const auto* at = reinterpret_cast<const __m256i*>(values + i);
        const __m256i a = zigzag32(_mm256_loadu_si256(at));
        const __m256i b = zigzag32(_mm256_loadu_si256(at + 1));
        const __m256i small =
            _mm256_and_si256(at_most32(a, VARINT_MAX_SINGLE_BYTE), at_most32(b, VARINT_MAX_SINGLE_BYTE));
        if (avx2::all_set(small)) {
            // Halves of the packs hold values 0-3, 8-11 | 4-7, 12-15.
            const __m256i words = _mm256_packus_epi32(a, b);
            const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), order);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
            out += 16;
            i += 16;
            continue;
        }
        if (avx2::all_set(_mm256_and_si256(at_most32(a, 0xFFFF), at_most32(b, 0xFFFF)))) {
            out += avx2::write_eight_short(out, a);
            out += avx2::write_eight_short(out, b);
        } else {
            // Five-byte values among them: as 64-bit lanes, two to a shuffle.
            out += avx2::write_sixteen_up_to_five64(out, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(a)),
                                                    _mm256_cvtepu32_epi64(_mm256_extracti128_si256(a, 1)),
                                                    _mm256_cvtepu32_epi64(_mm256_castsi256_si128(b)),
                                                    _mm256_cvtepu32_epi64(_mm256_extracti128_si256(b, 1)));
        }
        i += 16;
    }
    out += VARINT_RUNS_PLAIN.i32.write(out, values + i, count - i);
    return static_cast<std::size_t>(out - start);
}

// One bit per byte of a 64-byte window (low, high): bytes at least `floor`, or equal to `byte`.
VORL_TARGET_AVX2 inline std::uint64_t window_bits(__m256i low, __m256i high) noexcept {
    return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(low))} |
           std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
}
VORL_TARGET_AVX2 inline std::uint64_t bytes_at_least(__m256i low, __m256i high, std::uint8_t floor) noexcept {
    const __m256i f = _mm256_set1_epi8(static_cast<char>(floor));
    return window_bits(_mm256_cmpeq_epi8(_mm256_max_epu8(low, f), low),
                       _mm256_cmpeq_epi8(_mm256_max_epu8(high, f), high));
}
VORL_TARGET_AVX2 inline __m256i equal_to(__m256i bytes, std::uint8_t byte) noexcept {
    return _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(static_cast<char>(byte)));
}
VORL_TARGET_AVX2 inline std::uint64_t bytes_equal(__m256i low, __m256i high, std::uint8_t byte) noexcept {
    return window_bits(equal_to(low, byte), equal_to(high, byte));
}

// from_varint_bits on the 16 one-byte values at `bytes`, stored at out.
template <class T>
VORL_TARGET_AVX2 inline void widen_sixteen(const std::uint8_t* bytes, T* out) noexcept {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    if constexpr (std::is_signed_v<T>) block = avx2::zigzag_decode_bytes(block);
    auto* to = reinterpret_cast<__m256i*>(out);
    if constexpr (sizeof(T) == 4) {
        const __m128i high = _mm_srli_si128(block, 8);
        if constexpr (std::is_signed_v<T>) {
            _mm256_storeu_si256(to, _mm256_cvtepi8_epi32(block));
            _mm256_storeu_si256(to + 1, _mm256_cvtepi8_epi32(high));
        } else {
            _mm256_storeu_si256(to, _mm256_cvtepu8_epi32(block));
            _mm256_storeu_si256(to + 1, _mm256_cvtepu8_epi32(high));
        }
    } else {
        const __m128i parts[4] = {block, _mm_srli_si128(block, 4), _mm_srli_si128(block, 8), _mm_srli_si128(block, 12)};
        for (int k = 0; k < 4; ++k) {
            const __m256i lanes = std::is_signed_v<T> ? _mm256_cvtepi8_epi64(parts[k]) : _mm256_cvtepu8_epi64(parts[k]);
            _mm256_storeu_si256(to + k, lanes);
        }
    }
}

// Each byte's width class (0xFB: 1, 0xFC: 2, 0xFD: 3 where the type takes
// it, else 0), summed as c0 + 4 c1 + 16 c2 + 64 c3 per four bytes.
template <bool Wide>
VORL_TARGET_AVX2 inline __m256i chunk_quads(__m256i bytes) noexcept {
    const __m256i fd = Wide ? equal_to(bytes, VARINT_MARKER_U64) : _mm256_setzero_si256();
    const __m256i odd = _mm256_or_si256(equal_to(bytes, VARINT_MARKER_U16), fd);
    const __m256i upper = _mm256_or_si256(equal_to(bytes, VARINT_MARKER_U32), fd);
    const __m256i classes =
        _mm256_or_si256(_mm256_and_si256(odd, _mm256_set1_epi8(1)), _mm256_and_si256(upper, _mm256_set1_epi8(2)));
    const __m256i pairs = _mm256_maddubs_epi16(classes, _mm256_set1_epi16(0x0401));
    return _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x0010'0001));
}

// The base-3 chunk indices of varint_starts::starts_of_up_to_five for 32
// bytes holding no 0xFD: four, one in each 64-bit lane.
VORL_TARGET_AVX2 inline __m256i base3_octets(__m256i bytes) noexcept {
    const __m256i classes = _mm256_or_si256(_mm256_and_si256(equal_to(bytes, VARINT_MARKER_U16), _mm256_set1_epi8(1)),
                                            _mm256_and_si256(equal_to(bytes, VARINT_MARKER_U32), _mm256_set1_epi8(2)));
    const __m256i pairs = _mm256_maddubs_epi16(classes, _mm256_set1_epi16(0x0301));  // c0 + 3 c1
    const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x0009'0001));  // p0 + 9 p1
    return _mm256_add_epi64(_mm256_and_si256(quads, _mm256_set1_epi64x(0xFFFF'FFFF)),
                            _mm256_mul_epu32(_mm256_srli_epi64(quads, 32), _mm256_set1_epi64x(81)));
}

// For each set of lanes among eight 16-bit lanes, the shuffle that packs them
// to the front.
struct PackShuffles {
    alignas(16) std::uint8_t control[256][16];
};
inline constexpr PackShuffles PACK_16BIT_LANES = [] {
    PackShuffles table{};
    for (unsigned lanes = 0; lanes < 256; ++lanes) {
        unsigned at = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if ((lanes >> lane) & 1) {
                table.control[lanes][at++] = static_cast<std::uint8_t>(2 * lane);
                table.control[lanes][at++] = static_cast<std::uint8_t>(2 * lane + 1);
            }
        }
        for (; at < 16; ++at) table.control[lanes][at] = 0x80;
    }
    return table;
}();

VORL_TARGET_AVX2 inline __m256i zigzag_decode16(__m256i z) noexcept {
    const __m256i negative = _mm256_sub_epi16(_mm256_setzero_si256(), _mm256_and_si256(z, _mm256_set1_epi16(1)));
    return _mm256_xor_si256(_mm256_srli_epi16(z, 1), negative);
}

// Values gather_one_or_three may store past those it returns.
constexpr std::uint64_t SHORT_SPILL = 8;

// The eight 16-bit lanes of `values` widened to T at out (eight values).
template <class T>
VORL_TARGET_AVX2 inline void store_widened(__m128i values, T* out) noexcept {
    auto* at = reinterpret_cast<__m256i*>(out);
    if constexpr (sizeof(T) == 4) {
        _mm256_storeu_si256(at, std::is_signed_v<T> ? _mm256_cvtepi16_epi32(values) : _mm256_cvtepu16_epi32(values));
    } else {
        const __m128i upper = _mm_srli_si128(values, 8);
        _mm256_storeu_si256(at, std::is_signed_v<T> ? _mm256_cvtepi16_epi64(values) : _mm256_cvtepu16_epi64(values));
        _mm256_storeu_si256(at + 1, std::is_signed_v<T> ? _mm256_cvtepi16_epi64(upper) : _mm256_cvtepu16_epi64(upper));
    }
}

// varint_starts::gather_starts for a window whose only marker is 0xFB, so that
// every value fits 16 bits: the value each byte would start is formed for all
// 64 bytes at once (the byte, or the two after a marker), and the lanes of the
// starts are packed together eight at a time by a table of shuffles and
// widened to T straight from the register. `window` has room for 2 bytes
// after it; out has room for SHORT_SPILL values more than it returns.
template <class T>
VORL_TARGET_AVX2 inline unsigned gather_one_or_three(const std::uint8_t* window, std::uint64_t starts,
                                                     T* out) noexcept {
    unsigned n = 0;
    const auto pack = [&](__m128i lanes, unsigned which) VORL_TARGET_AVX2 {
        const __m128i control = _mm_load_si128(reinterpret_cast<const __m128i*>(PACK_16BIT_LANES.control[which]));
        store_widened(_mm_shuffle_epi8(lanes, control), out + n);
        n += static_cast<unsigned>(std::popcount(which));
    };
    for (unsigned half = 0; half < 64; half += 32) {
        const auto* at = window + half;
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        const __m256i marked = equal_to(first, VARINT_MARKER_U16);
        const __m256i low =
            _mm256_blendv_epi8(first, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1)), marked);
        const __m256i high = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2)), marked);
        // Within 128-bit halves: bytes 0-7, 16-23 | 8-15, 24-31 of this half.
        __m256i front = _mm256_unpacklo_epi8(low, high), back = _mm256_unpackhi_epi8(low, high);
        if constexpr (std::is_signed_v<T>) {
            front = zigzag_decode16(front);
            back = zigzag_decode16(back);
        }
        const auto bits = static_cast<std::uint32_t>(starts >> half);
        pack(_mm256_castsi256_si128(front), bits & 0xFF);
        pack(_mm256_castsi256_si128(back), (bits >> 8) & 0xFF);
        pack(_mm256_extracti128_si256(front, 1), (bits >> 16) & 0xFF);
        pack(_mm256_extracti128_si256(back, 1), bits >> 24);
    }
    return n;
}

VORL_TARGET_AVX2 inline __m128i zigzag_decode32(__m128i z) noexcept {
    return _mm_xor_si128(_mm_srli_epi32(z, 1), _mm_sub_epi32(_mm_setzero_si128(), _mm_and_si128(z, _mm_set1_epi32(1))));
}

// The four 32-bit lanes of `values` as T at out (four values).
template <class T>
VORL_TARGET_AVX2 inline void store_widened32(__m128i values, T* out) noexcept {
    if constexpr (sizeof(T) == 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), values);
    } else {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            std::is_signed_v<T> ? _mm256_cvtepi32_epi64(values) : _mm256_cvtepu32_epi64(values));
    }
}

// gather_one_or_three for a window whose values start with no marker but
// 0xFB and 0xFC, so that every value fits 32 bits: the low and the high 16
// bits of the value each byte would start are formed for all 64 bytes, the
// start lanes of both are packed by one shuffle of the table, and the halves
// are joined into 32-bit values. `window` has room for 4 bytes after it; out
// has room for SHORT_SPILL values more than it returns.
template <class T>
VORL_TARGET_AVX2 inline unsigned gather_up_to_five(const std::uint8_t* window, std::uint64_t starts, T* out) noexcept {
    unsigned n = 0;
    const auto pack = [&](__m128i lows, __m128i highs, unsigned which) VORL_TARGET_AVX2 {
        const __m128i control = _mm_load_si128(reinterpret_cast<const __m128i*>(PACK_16BIT_LANES.control[which]));
        const __m128i low = _mm_shuffle_epi8(lows, control), high = _mm_shuffle_epi8(highs, control);
        __m128i first = _mm_unpacklo_epi16(low, high), second = _mm_unpackhi_epi16(low, high);
        if constexpr (std::is_signed_v<T>) {
            first = zigzag_decode32(first);
            second = zigzag_decode32(second);
        }
        store_widened32(first, out + n);
        store_widened32(second, out + n + 4);
        n += static_cast<unsigned>(std::popcount(which));
    };
    for (unsigned half = 0; half < 64; half += 32) {
        const auto* at = window + half;
        const auto bytes_at = [at](unsigned k) VORL_TARGET_AVX2 {
            return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + k));
        };
        const __m256i first = bytes_at(0);
        const __m256i five = equal_to(first, VARINT_MARKER_U32);
        const __m256i marked = _mm256_or_si256(equal_to(first, VARINT_MARKER_U16), five);
        const __m256i byte0 = _mm256_blendv_epi8(first, bytes_at(1), marked);
        const __m256i byte1 = _mm256_and_si256(bytes_at(2), marked);
        const __m256i byte2 = _mm256_and_si256(bytes_at(3), five);
        const __m256i byte3 = _mm256_and_si256(bytes_at(4), five);
        // Within 128-bit halves: bytes 0-7, 16-23 | 8-15, 24-31 of this half.
        const __m256i low_front = _mm256_unpacklo_epi8(byte0, byte1), low_back = _mm256_unpackhi_epi8(byte0, byte1);
        const __m256i high_front = _mm256_unpacklo_epi8(byte2, byte3), high_back = _mm256_unpackhi_epi8(byte2, byte3);
        const auto bits = static_cast<std::uint32_t>(starts >> half);
        pack(_mm256_castsi256_si128(low_front), _mm256_castsi256_si128(high_front), bits & 0xFF);
        pack(_mm256_castsi256_si128(low_back), _mm256_castsi256_si128(high_back), (bits >> 8) & 0xFF);
        pack(_mm256_extracti128_si256(low_front, 1), _mm256_extracti128_si256(high_front, 1), (bits >> 16) & 0xFF);
        pack(_mm256_extracti128_si256(low_back, 1), _mm256_extracti128_si256(high_back, 1), bits >> 24);
    }
    return n;
}

template <class T>
struct WidenAvx2 {
    static constexpr std::uint64_t BLOCK = 32;
    // Whole blocks of 32 one-byte values in a tight loop.
    VORL_TARGET_AVX2 static std::uint64_t blocks(const std::uint8_t*& p, T* out, std::uint64_t max_blocks) noexcept {
        const __m256i limit = _mm256_set1_epi8(static_cast<char>(VARINT_MAX_SINGLE_BYTE));
        std::uint64_t b = 0;
        for (; b < max_blocks; ++b, p += 32, out += 32) {
            const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(block, limit), limit)) != -1) break;
            widen_sixteen(p, out);
            widen_sixteen(p + 16, out + 16);
        }
        return b;
    }
    VORL_TARGET_AVX2 static unsigned sixteen(const std::uint8_t* bytes, T* out) noexcept {
        widen_sixteen(bytes, out);
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        const __m128i limit = _mm_set1_epi8(static_cast<char>(VARINT_MAX_SINGLE_BYTE));
        const auto small = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(block, limit), limit)));
        return static_cast<unsigned>(std::countr_one(small));
    }

    // Windows of 64 bytes of any widths. The window's value starts come from
    // the table walk of varint_starts.hpp (a shift and a mask per step, so
    // the width of one value holds up no load of the next), and each value is
    // then one load and one mask, whatever its width. A marker the type
    // refuses (0xFE, 0xFF, and 0xFD for 32-bit types) at a value's start ends
    // the run before that value, for the checked reader to report. Returns
    // how many values were read, at most `max`.
    static constexpr std::size_t MIXED_ROOM = 64 + VARINT_MAX_SIZE_U64 - 1;
    static constexpr std::uint64_t MIXED_VALUES = 1;
    VORL_TARGET_AVX2 static std::uint64_t mixed(const std::uint8_t*& p, std::size_t left, T* out,
                                                std::uint64_t max) noexcept {
        constexpr bool wide = sizeof(T) == 8;
        const std::uint8_t* q = p;
        const std::uint8_t* const end = p + left;
        std::uint64_t n = 0;
        unsigned entry = 0;  // p starts a value
        while (static_cast<std::size_t>(end - q) >= MIXED_ROOM && n < max) {
            const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
            const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32));
            const std::uint64_t fb = bytes_equal(low, high, VARINT_MARKER_U16);
            const std::uint64_t fc = bytes_equal(low, high, VARINT_MARKER_U32);
            const std::uint64_t fd = wide ? bytes_equal(low, high, VARINT_MARKER_U64) : 0;
            const std::uint64_t refused = bytes_at_least(low, high, wide ? VARINT_MARKER_U128 : VARINT_MARKER_U64);
            std::uint64_t starts;
            const bool one_or_three = (fc | fd) == 0 && entry <= 2;
            if (one_or_three) {
                starts = varint_starts::starts_of_one_or_three(fb, entry);
            } else if (fd == 0 && entry <= 4) {
                // Octets 0-3 and 4-7 in 64-bit lanes, paired into words as (0, 1), (4, 5), (2, 3), (6, 7).
                const __m256i octets = _mm256_packus_epi32(base3_octets(low), base3_octets(high));
                const std::uint64_t indices[4] = {static_cast<std::uint64_t>(_mm256_extract_epi64(octets, 0)),
                                                  static_cast<std::uint64_t>(_mm256_extract_epi64(octets, 2)),
                                                  static_cast<std::uint64_t>(_mm256_extract_epi64(octets, 1)),
                                                  static_cast<std::uint64_t>(_mm256_extract_epi64(octets, 3))};
                starts = varint_starts::starts_of_up_to_five(indices, entry);
            } else {
                const __m128i packed = chunk_indices(low, high);
                const std::uint64_t indices[2] = {static_cast<std::uint64_t>(_mm_cvtsi128_si64(packed)),
                                                  static_cast<std::uint64_t>(_mm_extract_epi64(packed, 1))};
                starts = varint_starts::starts_of_window(indices, entry);
            }
            const std::uint64_t refused_starts = starts & refused;
            if (refused_starts != 0) starts &= (std::uint64_t{1} << std::countr_zero(refused_starts)) - 1;
            std::uint64_t later = 0;
            if (static_cast<std::uint64_t>(std::popcount(starts)) > max - n) {
                const std::uint64_t kept = varint_starts::first_starts(starts, static_cast<unsigned>(max - n));
                later = starts & ~kept;
                starts = kept;
            }
            // The vector gathers store whole vectors, up to SHORT_SPILL values past the window's.
            if (max - n < 64 + SHORT_SPILL) {
                n += varint_starts::gather_starts(q, starts, out + n);
            } else if (one_or_three) {
                n += gather_one_or_three(q, starts, out + n);
            } else if (fd == 0) {  // 0xFD starts no value of a 32-bit type
                n += gather_up_to_five(q, starts, out + n);
            } else {
                n += varint_starts::gather_starts(q, starts, out + n);
            }
            if ((later | refused_starts) != 0) {
                p = q + std::countr_zero(later != 0 ? later : refused_starts);
                return n;
            }
            q += 64;
        }
        p = q + entry;
        return n;
    }

    // The chunk indices of varint_starts::starts_of_window for the 64 bytes
    // (low, high).
    VORL_TARGET_AVX2 static __m128i chunk_indices(__m256i low, __m256i high) noexcept {
        // Packing works within 128-bit halves: dwords 0, 4, 1, 5 hold chunks 0-3, 4-7, 8-11, 12-15.
        const __m256i words = _mm256_packus_epi32(chunk_quads<sizeof(T) == 8>(low), chunk_quads<sizeof(T) == 8>(high));
        const __m256i bytes = _mm256_packus_epi16(words, words);
        const __m256i ordered = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5));
        return _mm256_castsi256_si128(ordered);
    }
};

template <class T>
VORL_TARGET_AVX2 Result<void, DecodeError> read_run(SliceReader& reader, std::uint64_t count, T* values) noexcept {
    return varint_run_detail::read_run<T, WidenAvx2<T>>(reader, count, values);
}

// Unsigned columns are sized and written by the plain loops.
template <class T>
std::uint64_t plain_size(const T* values, std::size_t count) noexcept {
    return VARINT_RUNS_PLAIN.of<T>().size(values, count);
}
template <class T>
std::size_t plain_write(std::uint8_t* out, const T* values, std::size_t count) noexcept {
    return VARINT_RUNS_PLAIN.of<T>().write(out, values, count);
}

}  // namespace

const VarintRunKernels VARINT_RUNS_AVX2{
    "avx2",
    {size_i32, write_i32, read_run<std::int32_t>},
    {plain_size<std::uint32_t>, plain_write<std::uint32_t>, read_run<std::uint32_t>},
    {size_i64, write_i64, read_run<std::int64_t>},
    {plain_size<std::uint64_t>, plain_write<std::uint64_t>, read_run<std::uint64_t>},
};

}  // namespace vorl

#endif
