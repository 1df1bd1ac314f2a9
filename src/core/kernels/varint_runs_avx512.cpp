// AVX-512 varint run kernels: integer columns sized and written eight values
// at a time, every width mix without a branch per value (avx512_varints.hpp).
// Reading keeps the AVX2 kernels.
#include "core/kernels/varint_runs.hpp"

#if VORL_KERNELS_AVX512

#include "core/kernels/avx512_varints.hpp"

namespace vorl {
namespace {

// The varint bits (zigzag forms for signed types) of the eight values at `at`.
template <class T>
VORL_TARGET_AVX512 inline __m512i eight_bits(const T* at) noexcept {
    if constexpr (sizeof(T) == 8) {
        const __m512i values = _mm512_loadu_si512(at);
        return std::is_signed_v<T> ? avx512::zigzag64(values) : values;
    } else {
        __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        if constexpr (std::is_signed_v<T>) {
            values = _mm256_xor_si256(_mm256_slli_epi32(values, 1), _mm256_srai_epi32(values, 31));
        }
        return _mm512_cvtepu32_epi64(values);
    }
}

template <class T>
VORL_TARGET_AVX512 std::uint64_t size(const T* values, std::size_t count) noexcept {
    __m512i total = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; count - i >= 8; i += 8) total = _mm512_add_epi64(total, avx512::sizes(eight_bits(values + i)));
    return avx512::lane_sum(total) + VARINT_RUNS_PLAIN.of<T>().size(values + i, count - i);
}

template <class T>
VORL_TARGET_AVX512 std::size_t write(std::uint8_t* out, const T* values, std::size_t count) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = 0;
    for (; count - i >= 8; i += 8) out += avx512::write_eight(out, eight_bits(values + i));
    out += VARINT_RUNS_PLAIN.of<T>().write(out, values + i, count - i);
    return static_cast<std::size_t>(out - start);
}

template <class T>
Result<void, DecodeError> read(SliceReader& reader, std::uint64_t count, T* out) noexcept {
    return VARINT_RUNS_AVX2.of<T>().read(reader, count, out);
}

template <class T>
constexpr VarintRunOps<T> ops{size<T>, write<T>, read<T>};

}  // namespace

const VarintRunKernels VARINT_RUNS_AVX512{"avx512", ops<std::int32_t>, ops<std::uint32_t>, ops<std::int64_t>,
                                          ops<std::uint64_t>};

}  // namespace vorl

#endif
