// AVX-512 decimal difference kernels: the differences of eight signed
// magnitudes at a time, sized and written for every width mix without a
// branch per value (avx512_varints.hpp); running sums turned into D64 words
// eight at a time.
#include "core/kernels/decimal_differences.hpp"

#if VORL_KERNELS_AVX512

#include "core/kernels/avx512_blocks.hpp"
#include "core/kernels/avx512_varints.hpp"
#include "core/kernels/d64_words.hpp"

namespace vorl {
namespace {

// Signed magnitudes eight at a time, each computed once: the differences of
// a block need its own values and the last one of the block before.
class Differences {
public:
    // first >= 1; only the last lane of the block "before" is ever used.
    VORL_TARGET_AVX512 Differences(const D64* values, std::size_t first) noexcept
        : values_(values), before_(_mm512_set1_epi64(d64_signed_magnitude(values[first - 1]))) {}
    // The zigzag forms of differences i .. i+7; calls come in order, i = first, first + 8, ...
    VORL_TARGET_AVX512 __m512i next(std::size_t i) noexcept {
        const __m512i current = avx512::d64_signed_magnitudes(values_ + i);
        const __m512i previous = _mm512_alignr_epi64(current, before_, 7);  // [b7, c0, ..., c6]
        before_ = current;
        return avx512::zigzag64(_mm512_sub_epi64(current, previous));
    }

private:
    const D64* values_;
    __m512i before_;
};

VORL_TARGET_AVX512 std::uint64_t size(const D64* values, std::size_t begin, std::size_t end) noexcept {
    if (end - begin < 8) return DECIMAL_DIFFERENCES_PLAIN.size(values, begin, end);
    __m512i total = _mm512_setzero_si512();
    std::size_t i = begin;
    Differences differences(values, begin);
    for (; end - i >= 8; i += 8) total = _mm512_add_epi64(total, avx512::sizes(differences.next(i)));
    return avx512::lane_sum(total) + DECIMAL_DIFFERENCES_PLAIN.size(values, i, end);
}

VORL_TARGET_AVX512 std::size_t write(std::uint8_t* out, const D64* values, std::size_t begin,
                                     std::size_t end) noexcept {
    if (end - begin < 8) return DECIMAL_DIFFERENCES_PLAIN.write(out, values, begin, end);
    std::uint8_t* const start = out;
    std::size_t i = begin;
    Differences differences(values, begin);
    for (; end - i >= 16; i += 16) {
        const __m512i a = differences.next(i);
        out += avx512::write_sixteen(out, a, differences.next(i + 8));
    }
    for (; end - i >= 8; i += 8) out += avx512::write_eight(out, differences.next(i));
    out += DECIMAL_DIFFERENCES_PLAIN.write(out, values, i, end);
    return static_cast<std::size_t>(out - start);
}

// d64_word of the running sums on eight lanes: the byte-swapped magnitude,
// then sign and scale in the top byte.
struct D64Words {
    __m512i scale_flags;
    VORL_TARGET_AVX512 __m512i operator()(__m512i sums) const noexcept {
        const __m512i negative = _mm512_srai_epi64(sums, 63);
        const __m512i magnitude = _mm512_and_si512(_mm512_sub_epi64(_mm512_xor_si512(sums, negative), negative),
                                                   _mm512_set1_epi64(static_cast<long long>(D64_MAX_MAGNITUDE)));
        const __m512i sign = _mm512_slli_epi64(_mm512_srli_epi64(sums, 63), 56);
        return _mm512_or_si512(avx512::reverse_lane_bytes(_mm512_slli_epi64(magnitude, 8)),
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

}  // namespace

const DecimalDifferenceKernels DECIMAL_DIFFERENCES_AVX512{"avx512", size, write, accumulate};

}  // namespace vorl

#endif
