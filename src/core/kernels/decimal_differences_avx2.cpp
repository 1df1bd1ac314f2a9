// AVX2 decimal difference kernels: sixteen differences per block, written as
// sixteen bytes when all are small; running sums four at a time.
#include "core/kernels/decimal_differences.hpp"

#if VORL_KERNELS_AVX2

#include "core/kernels/avx2_blocks.hpp"
#include "core/kernels/avx2_short_varints.hpp"
#include "core/kernels/d64_words.hpp"

namespace vorl {
namespace {

// Signed values four at a time, each computed once: the differences of a
// block need its own values and the last one of the block before.
class Differences {
public:
    // first >= 1; only the last lane of the block "before" is ever used.
    VORL_TARGET_AVX2 Differences(const D64* values, std::size_t first) noexcept
        : values_(values), before_(_mm256_set1_epi64x(d64_signed_magnitude(values[first - 1]))) {}
    // The differences i .. i+3; calls come in order, i = first, first + 4, ...
    VORL_TARGET_AVX2 __m256i next(std::size_t i) noexcept {
        const __m256i current = avx2::d64_signed_magnitudes(values_ + i);
        // [b3, c0, c1, c2] from the block before (b) and this one (c).
        const __m256i middle = _mm256_permute2x128_si256(before_, current, 0x21);
        const __m256i previous = _mm256_alignr_epi8(current, middle, 8);
        before_ = current;
        return _mm256_sub_epi64(current, previous);
    }

private:
    const D64* values_;
    __m256i before_;
};

VORL_TARGET_AVX2 std::uint64_t size(const D64* values, std::size_t begin, std::size_t end) noexcept {
    if (end - begin < 16) return DECIMAL_DIFFERENCES_PLAIN.size(values, begin, end);
    avx2::ZigzagExtraSizes extra;
    std::size_t i = begin;
    Differences differences(values, begin);
    for (; end - i >= 16; i += 16) {
        const __m256i a = differences.next(i), b = differences.next(i + 4);
        const __m256i c = differences.next(i + 8), d = differences.next(i + 12);
        if (avx2::single_bytes64(a, b, c, d)) continue;
        extra.add(a);
        extra.add(b);
        extra.add(c);
        extra.add(d);
    }
    return (i - begin) + extra.total() + DECIMAL_DIFFERENCES_PLAIN.size(values, i, end);
}

VORL_TARGET_AVX2 std::size_t write(std::uint8_t* out, const D64* values, std::size_t begin, std::size_t end) noexcept {
    if (end - begin < 16) return DECIMAL_DIFFERENCES_PLAIN.write(out, values, begin, end);
    std::uint8_t* const start = out;
    std::size_t i = begin;
    Differences differences(values, begin);
    for (; end - i >= 16; i += 16) {
        const __m256i a = differences.next(i), b = differences.next(i + 4);
        const __m256i c = differences.next(i + 8), d = differences.next(i + 12);
        const std::size_t written = avx2::write_sixteen_signed_short64(out, a, b, c, d);
        out += written != 0 ? written : DECIMAL_DIFFERENCES_PLAIN.write(out, values, i, i + 16);
    }
    out += DECIMAL_DIFFERENCES_PLAIN.write(out, values, i, end);
    return static_cast<std::size_t>(out - start);
}

// The running sums (avx2::running_sums), then d64_word in vector form.
VORL_TARGET_AVX2 void accumulate(std::uint8_t* slots, std::size_t count, unsigned scale,
                                 std::uint64_t& running_sum) noexcept {
    const __m256i scale_flags = _mm256_set1_epi64x(static_cast<std::int64_t>(std::uint64_t{scale} << 60));
    __m256i carry = _mm256_set1_epi64x(static_cast<std::int64_t>(running_sum));
    std::size_t i = 0;
    for (; count - i >= 4; i += 4) {
        auto* at = reinterpret_cast<__m256i*>(slots + 8 * i);
        const __m256i sums = avx2::running_sums(_mm256_loadu_si256(at), carry);
        __m256i negative;
        const __m256i magnitude = avx2::sum_magnitudes(sums, negative);
        _mm256_storeu_si256(at, avx2::d64_words(magnitude, negative, scale_flags));
    }
    running_sum = static_cast<std::uint64_t>(_mm256_extract_epi64(carry, 0));
    DECIMAL_DIFFERENCES_PLAIN.accumulate(slots + 8 * i, count - i, scale, running_sum);
}

}  // namespace

const DecimalDifferenceKernels DECIMAL_DIFFERENCES_AVX2{"avx2", size, write, accumulate};

}  // namespace vorl

#endif
