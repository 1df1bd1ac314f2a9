// AVX-512 varint run kernels. Writing: eight 64-bit (or sixteen 32-bit)
// values at a time, every width mix without a branch per value
// (avx512_varints.hpp). Reading: mixed widths a 64-byte window at a time; the
// window's value starts come from the table walk of varint_starts.hpp, the
// start positions are compressed into one register, and the values are
// gathered eight (int64) or sixteen (int32) at a time with byte permutes, so
// no branch and no dependent load follows a value's width.
#include "core/kernels/varint_runs.hpp"

#if VORL_KERNELS_AVX512

#include <array>
#include <bit>

#include "core/kernels/avx2_blocks.hpp"
#include "core/kernels/avx512_blocks.hpp"
#include "core/kernels/avx512_varints.hpp"
#include "core/kernels/varint_run_reader.hpp"
#include "core/kernels/varint_starts.hpp"

namespace vorl {
namespace {

template <class T>
constexpr bool WIDE = sizeof(T) == 8;
template <class T>
constexpr unsigned LANES = 64 / sizeof(T);

// from_varint_bits on the 16 one-byte values at `bytes`, stored at out.
template <class T>
VORL_TARGET_AVX512 inline void widen_sixteen(const std::uint8_t* bytes, T* out) noexcept {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    if constexpr (std::is_signed_v<T>) block = avx2::zigzag_decode_bytes(block);
    if constexpr (WIDE<T>) {
        const __m128i high = _mm_srli_si128(block, 8);
        if constexpr (std::is_signed_v<T>) {
            _mm512_storeu_si512(out, _mm512_cvtepi8_epi64(block));
            _mm512_storeu_si512(out + 8, _mm512_cvtepi8_epi64(high));
        } else {
            _mm512_storeu_si512(out, _mm512_cvtepu8_epi64(block));
            _mm512_storeu_si512(out + 8, _mm512_cvtepu8_epi64(high));
        }
    } else {
        _mm512_storeu_si512(out, std::is_signed_v<T> ? _mm512_cvtepi8_epi32(block) : _mm512_cvtepu8_epi32(block));
    }
}

// The values that start at the bits of `starts` in `window` (with the 8 bytes
// after it in `after`), stored at out; nothing is stored past them.
template <class T>
VORL_TARGET_AVX512 inline void gather_values(__m512i window, __m512i after, std::uint64_t starts, T* out) noexcept {
    // Byte k of IOTA is k; LANE_OF_BYTE gives each byte the number of its lane.
    alignas(64) static constexpr auto IOTA = [] {
        std::array<std::uint8_t, 64> bytes{};
        for (unsigned k = 0; k < 64; ++k) bytes[k] = static_cast<std::uint8_t>(k);
        return bytes;
    }();
    alignas(64) static constexpr auto LANE_OF_BYTE = [] {
        std::array<std::uint8_t, 64> bytes{};
        for (unsigned k = 0; k < 64; ++k) bytes[k] = static_cast<std::uint8_t>(k / sizeof(T));
        return bytes;
    }();
    // 1 + the byte's place in its lane: where the payload byte comes from.
    alignas(64) static constexpr auto PAYLOAD_OFFSET = [] {
        std::array<std::uint8_t, 64> bytes{};
        for (unsigned k = 0; k < 64; ++k) bytes[k] = static_cast<std::uint8_t>(1 + k % sizeof(T));
        return bytes;
    }();
    const __m512i positions = _mm512_maskz_compress_epi8(starts, _mm512_load_si512(IOTA.data()));
    const __m512i lane_of_byte = _mm512_load_si512(LANE_OF_BYTE.data());
    const __m512i payload_offset = _mm512_load_si512(PAYLOAD_OFFSET.data());
    const auto count = static_cast<unsigned>(std::popcount(starts));
    const auto lanes_to_store = [](unsigned left) {
        return static_cast<std::uint32_t>(left >= LANES<T> ? (1u << LANES<T>)-1 : (1u << left) - 1);
    };
    for (unsigned first = 0; first < count; first += LANES<T>) {
        // Every byte of a lane holds the start of the lane's value.
        const __m512i at = _mm512_permutexvar_epi8(
            _mm512_add_epi8(lane_of_byte, _mm512_set1_epi8(static_cast<char>(first))), positions);
        const __m512i marker_bytes = _mm512_permutexvar_epi8(at, window);
        const __m512i payload = _mm512_permutex2var_epi8(window, _mm512_add_epi8(at, payload_offset), after);
        if constexpr (WIDE<T>) {
            const __m512i marker = _mm512_and_si512(marker_bytes, _mm512_set1_epi64(0xFF));
            const __mmask8 wider = _mm512_cmpgt_epu64_mask(marker, _mm512_set1_epi64(VARINT_MAX_SINGLE_BYTE));
            // The payload bits of 0xFB, 0xFC and 0xFD, by the marker's low three bits (3, 4, 5).
            const __m512i bits_by_marker =
                _mm512_permutexvar_epi64(marker, _mm512_setr_epi64(0, 0, 0, 0xFFFF, 0xFFFF'FFFF, -1, 0, 0));
            __m512i value = _mm512_mask_and_epi64(marker, wider, payload, bits_by_marker);
            if constexpr (std::is_signed_v<T>) value = avx512::zigzag_decode64(value);
            _mm512_mask_storeu_epi64(out + first, static_cast<__mmask8>(lanes_to_store(count - first)), value);
        } else {
            const __m512i marker = _mm512_and_si512(marker_bytes, _mm512_set1_epi32(0xFF));
            const __mmask16 wider = _mm512_cmpgt_epu32_mask(marker, _mm512_set1_epi32(VARINT_MAX_SINGLE_BYTE));
            // 0xFB and 0xFC by the marker's low four bits (11, 12); 0xFD is refused before this.
            const __m512i bits_by_marker = _mm512_permutexvar_epi32(
                marker, _mm512_setr_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFFFF, -1, 0, 0, 0));
            __m512i value = _mm512_mask_and_epi32(marker, wider, payload, bits_by_marker);
            if constexpr (std::is_signed_v<T>) value = avx512::zigzag_decode32(value);
            _mm512_mask_storeu_epi32(out + first, static_cast<__mmask16>(lanes_to_store(count - first)), value);
        }
    }
}

template <class T>
struct WidenAvx512 {
    static constexpr std::uint64_t BLOCK = 64;
    // Whole blocks of 64 one-byte values in a tight loop.
    VORL_TARGET_AVX512 static std::uint64_t blocks(const std::uint8_t*& p, T* out, std::uint64_t max_blocks) noexcept {
        const __m512i limit = _mm512_set1_epi8(static_cast<char>(VARINT_MAX_SINGLE_BYTE));
        std::uint64_t b = 0;
        for (; b < max_blocks; ++b, p += 64, out += 64) {
            if (_mm512_cmpgt_epu8_mask(_mm512_loadu_si512(p), limit) != 0) break;
            for (unsigned k = 0; k < 64; k += 16) widen_sixteen(p + k, out + k);
        }
        return b;
    }
    VORL_TARGET_AVX512 static unsigned sixteen(const std::uint8_t* bytes, T* out) noexcept {
        widen_sixteen(bytes, out);
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        const __mmask16 wider = _mm_cmpgt_epu8_mask(block, _mm_set1_epi8(static_cast<char>(VARINT_MAX_SINGLE_BYTE)));
        return static_cast<unsigned>(std::countr_zero(static_cast<std::uint32_t>(wider) | 0x1'0000u));
    }

    // Windows of 64 bytes of any widths, while a whole window and the widest
    // value starting at its last byte fit, up to `max` values. A marker the
    // type refuses (0xFE, 0xFF, and 0xFD for 32-bit types) at a value's
    // start ends the run before that value, for the checked reader to report.
    static constexpr std::size_t MIXED_ROOM = 64 + VARINT_MAX_SIZE_U64 - 1;
    static constexpr std::uint64_t MIXED_VALUES = 1;
    VORL_TARGET_AVX512 static std::uint64_t mixed(const std::uint8_t*& p, std::size_t left, T* out,
                                                  std::uint64_t max) noexcept {
        const std::uint8_t* q = p;
        const std::uint8_t* const end = p + left;
        std::uint64_t n = 0;
        unsigned entry = 0;  // p starts a value
        const __m512i ones = _mm512_set1_epi8(1), twos = _mm512_set1_epi8(2);
        while (static_cast<std::size_t>(end - q) >= MIXED_ROOM && n < max) {
            const __m512i window = _mm512_loadu_si512(q);
            const __m512i after = _mm512_castsi128_si512(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + 64)));
            const std::uint64_t fb = _mm512_cmpeq_epi8_mask(window, _mm512_set1_epi8(static_cast<char>(0xFB)));
            const std::uint64_t fc = _mm512_cmpeq_epi8_mask(window, _mm512_set1_epi8(static_cast<char>(0xFC)));
            const std::uint64_t fd =
                WIDE<T> ? _mm512_cmpeq_epi8_mask(window, _mm512_set1_epi8(static_cast<char>(0xFD))) : 0;
            const std::uint64_t refused = _mm512_cmpge_epu8_mask(
                window, _mm512_set1_epi8(static_cast<char>(WIDE<T> ? VARINT_MARKER_U128 : VARINT_MARKER_U64)));
            std::uint64_t starts;
            if ((fc | fd) == 0 && entry <= 2) {
                starts = varint_starts::starts_of_one_or_three(fb, entry);
            } else {
                // Width classes (0xFB: 1, 0xFC: 2, 0xFD: 3), then c0 + 4 c1 + 16 c2 + 64 c3 per four bytes.
                const __m512i classes =
                    _mm512_or_si512(_mm512_maskz_mov_epi8(fb | fd, ones), _mm512_maskz_mov_epi8(fc | fd, twos));
                const __m512i pairs = _mm512_maddubs_epi16(classes, _mm512_set1_epi16(0x0401));
                const __m512i quads = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x0010'0001));
                const __m128i packed = _mm512_cvtepi32_epi8(quads);
                const std::uint64_t indices[2] = {static_cast<std::uint64_t>(_mm_cvtsi128_si64(packed)),
                                                  static_cast<std::uint64_t>(_mm_extract_epi64(packed, 1))};
                starts = varint_starts::starts_of_window(indices, entry);
            }
            // A refused marker ends the run before its value, and so does the end of the room.
            const std::uint64_t refused_starts = starts & refused;
            if (refused_starts != 0) starts &= (std::uint64_t{1} << std::countr_zero(refused_starts)) - 1;
            std::uint64_t later = 0;
            if (static_cast<std::uint64_t>(std::popcount(starts)) > max - n) {
                const std::uint64_t kept = _pdep_u64((std::uint64_t{1} << (max - n)) - 1, starts);
                later = starts & ~kept;
                starts = kept;
            }
            gather_values(window, after, starts, out + n);
            n += static_cast<unsigned>(std::popcount(starts));
            if ((later | refused_starts) != 0) {
                p = q + std::countr_zero(later != 0 ? later : refused_starts);
                return n;
            }
            q += 64;
        }
        p = q + entry;
        return n;
    }
};

// Runs of nine-byte values (random 64-bit data), seven to a 64-byte load.
struct NineByteValues {
    static constexpr std::size_t NINES_ROOM = 64;  // a load, and eight values stored for seven
    template <class T>
    VORL_TARGET_AVX512 static std::uint64_t nines(const std::uint8_t*& p, std::size_t left, T* out,
                                                  std::uint64_t max) noexcept {
        // The payload bytes of the seven values in the first seven lanes.
        alignas(64) static constexpr auto PAYLOADS = [] {
            std::array<std::uint8_t, 64> bytes{};
            for (unsigned k = 0; k < 56; ++k) bytes[k] = static_cast<std::uint8_t>(9 * (k / 8) + 1 + k % 8);
            return bytes;
        }();
        constexpr std::uint64_t MARKERS = 0x0040'2010'0804'0201;  // bits 0, 9, ..., 54
        const __m512i payloads = _mm512_load_si512(PAYLOADS.data());
        const __m512i marker = _mm512_set1_epi8(static_cast<char>(VARINT_MARKER_U64));
        std::uint64_t n = 0;
        for (; left >= NINES_ROOM && max - n >= 8; left -= 63, p += 63, n += 7) {
            const __m512i window = _mm512_loadu_si512(p);
            if ((_mm512_cmpeq_epi8_mask(window, marker) & MARKERS) != MARKERS) break;
            __m512i value = _mm512_permutexvar_epi8(payloads, window);
            if constexpr (std::is_signed_v<T>) value = avx512::zigzag_decode64(value);
            _mm512_storeu_si512(out + n, value);
        }
        return n;
    }
};

template <class T>
struct WidenAvx512Wide : WidenAvx512<T>, NineByteValues {};

template <class T>
VORL_TARGET_AVX512 Result<void, DecodeError> read_run(SliceReader& reader, std::uint64_t count, T* values) noexcept {
    if constexpr (WIDE<T>) {
        return varint_run_detail::read_run<T, WidenAvx512Wide<T>>(reader, count, values);
    } else {
        return varint_run_detail::read_run<T, WidenAvx512<T>>(reader, count, values);
    }
}

// The varint bits (zigzag forms for signed types) of the eight 64-bit values at `at`.
template <class T>
VORL_TARGET_AVX512 inline __m512i eight_bits(const T* at) noexcept {
    const __m512i values = _mm512_loadu_si512(at);
    return std::is_signed_v<T> ? avx512::zigzag64(values) : values;
}

// 32-bit columns: sixteen values per vector, since no value takes more than
// five bytes and blocks of one- and three-byte values fit 32-bit lanes.
template <class T>
VORL_TARGET_AVX512 inline __m512i sixteen_bits(const T* at) noexcept {
    const __m512i values = _mm512_loadu_si512(at);
    if constexpr (std::is_signed_v<T>) {
        return _mm512_xor_si512(_mm512_slli_epi32(values, 1), _mm512_srai_epi32(values, 31));
    } else {
        return values;
    }
}
VORL_TARGET_AVX512 inline __mmask16 above32(__m512i bits, std::uint32_t limit) noexcept {
    return _mm512_cmpgt_epu32_mask(bits, _mm512_set1_epi32(static_cast<int>(limit)));
}

template <class T>
VORL_TARGET_AVX512 std::uint64_t size32(const T* values, std::size_t count) noexcept {
    std::uint64_t total = 0;
    std::size_t i = 0;
    for (; count - i >= 16; i += 16) {
        const __m512i bits = sixteen_bits(values + i);
        total += 16 + 2 * static_cast<unsigned>(std::popcount(above32(bits, VARINT_MAX_SINGLE_BYTE))) +
                 2 * static_cast<unsigned>(std::popcount(above32(bits, 0xFFFF)));
    }
    return total + VARINT_RUNS_PLAIN.of<T>().size(values + i, count - i);
}

template <class T>
VORL_TARGET_AVX512 std::size_t write32(std::uint8_t* out, const T* values, std::size_t count) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = 0;
    for (; count - i >= 16; i += 16) {
        const __m512i bits = sixteen_bits(values + i);
        if (above32(bits, 0xFFFF) != 0) {  // five-byte values: eight 64-bit lanes at a time
            out += avx512::write_eight<false>(out, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(bits)));
            out += avx512::write_eight<false>(out, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(bits, 1)));
            continue;
        }
        out += avx512::write_sixteen_short(out, bits);
    }
    out += VARINT_RUNS_PLAIN.of<T>().write(out, values + i, count - i);
    return static_cast<std::size_t>(out - start);
}

template <class T>
VORL_TARGET_AVX512 std::uint64_t size64(const T* values, std::size_t count) noexcept {
    __m512i total = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; count - i >= 8; i += 8) total = _mm512_add_epi64(total, avx512::sizes(eight_bits(values + i)));
    return avx512::lane_sum(total) + VARINT_RUNS_PLAIN.of<T>().size(values + i, count - i);
}

template <class T>
VORL_TARGET_AVX512 std::size_t write64(std::uint8_t* out, const T* values, std::size_t count) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = 0;
    for (; count - i >= 16; i += 16) {
        const __m512i a = eight_bits(values + i), b = eight_bits(values + i + 8);
        const unsigned nine = avx512::above(a, 0xFFFF'FFFF) | unsigned{avx512::above(b, 0xFFFF'FFFF)} << 8;
        if (nine != 0) {
            // Nine-byte values go one by one, from the column: from the vector they would
            // take a trip through memory that stalls on every load.
            if (nine == 0xFFFF) {
                for (std::size_t k = i; k < i + 16; ++k, out += VARINT_MAX_SIZE_U64) {
                    out[0] = VARINT_MARKER_U64;
                    store_le(out + 1, varint_bits(values[k]));
                }
            } else {
                for (std::size_t k = i; k < i + 16; ++k) out += write_any_varint(out, varint_bits(values[k]));
            }
            continue;
        }
        out += avx512::write_sixteen<false>(out, a, b);
    }
    for (; count - i >= 8; i += 8) out += avx512::write_eight(out, eight_bits(values + i));
    out += VARINT_RUNS_PLAIN.of<T>().write(out, values + i, count - i);
    return static_cast<std::size_t>(out - start);
}

template <class T>
constexpr VarintRunOps<T> ops32{size32<T>, write32<T>, read_run<T>};
template <class T>
constexpr VarintRunOps<T> ops64{size64<T>, write64<T>, read_run<T>};

}  // namespace

const VarintRunKernels VARINT_RUNS_AVX512{"avx512", ops32<std::int32_t>, ops32<std::uint32_t>, ops64<std::int64_t>,
                                          ops64<std::uint64_t>};

}  // namespace vorl

#endif
