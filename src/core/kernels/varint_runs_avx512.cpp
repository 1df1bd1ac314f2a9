// AVX-512 varint run kernels: integer columns sized and written eight values
// at a time, every width mix without a branch per value (avx512_varints.hpp).
// Reading keeps the AVX2 kernels.
#include "core/kernels/varint_runs.hpp"

#if VORL_KERNELS_AVX512

#include "core/kernels/avx512_varints.hpp"

namespace vorl {
namespace {

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
Result<void, DecodeError> read(SliceReader& reader, std::uint64_t count, T* out) noexcept {
    return VARINT_RUNS_AVX2.of<T>().read(reader, count, out);
}

template <class T>
constexpr VarintRunOps<T> ops32{size32<T>, write32<T>, read<T>};
template <class T>
constexpr VarintRunOps<T> ops64{size64<T>, write64<T>, read<T>};

}  // namespace

const VarintRunKernels VARINT_RUNS_AVX512{"avx512", ops32<std::int32_t>, ops32<std::uint32_t>, ops64<std::int64_t>,
                                          ops64<std::uint64_t>};

}  // namespace vorl

#endif
