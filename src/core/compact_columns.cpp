#include "core/compact_columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorl {
namespace {

// Differences and running sums wrap: they are computed on the two's-complement
// bit patterns in unsigned arithmetic, as the format defines them.
constexpr std::uint64_t bits_of(std::int64_t value) noexcept { return static_cast<std::uint64_t>(value); }
constexpr std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(bits_of(a) - bits_of(b));
}
constexpr std::uint64_t magnitude_of(std::int64_t value) noexcept {
    return value < 0 ? 0 - bits_of(value) : bits_of(value);
}

// Values read per call when a pass over them follows: small enough to stay in
// the first-level cache between the two.
constexpr std::uint64_t RUN_CHUNK = 2048;

std::size_t bounded_capacity(std::uint64_t count, const SliceReader& reader) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, reader.remaining()));
}

// ---- writing runs of computed values ------------------------------------------

// write_varint_blocks over zigzag(next(i)).
template <class Next>
[[gnu::always_inline]] inline std::size_t write_zigzag_block(std::uint8_t* out, std::size_t begin, std::size_t end,
                                                             Next next) noexcept {
    return write_varint_blocks(out, begin, end, [&next](std::size_t i) { return zigzag_encode(next(i)); });
}

template <class Next>
[[gnu::always_inline]] inline std::uint64_t zigzag_run_size(std::size_t begin, std::size_t end, Next next) noexcept {
    std::uint64_t total = 0;
    for (std::size_t i = begin; i < end; ++i) total += varint_size_branchless(zigzag_encode(next(i)));
    return total;
}

// Writes zigzag(next(i)) for i in [begin, end) to either sink. write(out, from,
// to) writes values [from, to) unchecked; the room is looked at between chunks
// that fit at their worst case, and put_varint takes the last few values.
template <class Sink, class Next, class Size, class Write>
void put_zigzag_run(Sink& sink, std::size_t begin, std::size_t end, Next next, Size size, Write write) {
    if constexpr (Sink::counts_only) {
        sink.add(size(begin, end));
    } else {
        std::size_t i = begin;
        while (i < end) {
            const std::size_t safe = std::min(end - i, sink.room() / VARINT_MAX_SIZE_U64);
            if (safe == 0) {
                sink.put_varint(zigzag_encode(next(i++)));
                if (!sink.status()) return;
                continue;
            }
            sink.advance(write(sink.cursor(), i, i + safe));
            i += safe;
        }
    }
}

// ---- decimals -------------------------------------------------------------------

// The magnitude (bytes 0..6, big-endian) with the sign bit (bit 0 of byte 7)
// applied: D64::magnitude() and is_negative() in one load, a byte swap and no
// branch.
inline std::int64_t signed_magnitude(const D64& value) noexcept {
    const auto word = load_le<std::uint64_t>(value.bytes.data());
    const std::uint64_t magnitude = __builtin_bswap64(word) >> 8;
    const std::uint64_t negative = (word >> 56) & D64::SIGN_BIT;
    return static_cast<std::int64_t>((magnitude ^ (0 - negative)) + negative);
}

// Difference i >= 1 of the column: signed value i minus signed value i - 1.
inline std::int64_t decimal_difference(const D64* values, std::size_t i) noexcept {
    return wrapping_sub(signed_magnitude(values[i]), signed_magnitude(values[i - 1]));
}

std::uint64_t decimal_differences_size_plain(const D64* values, std::size_t begin, std::size_t end) noexcept {
    return zigzag_run_size(begin, end, [values](std::size_t i) { return decimal_difference(values, i); });
}

std::size_t write_decimal_differences_plain(std::uint8_t* out, const D64* values, std::size_t begin, std::size_t end) noexcept {
    return write_zigzag_block(out, begin, end, [values](std::size_t i) { return decimal_difference(values, i); });
}

#if VORL_AVX2_KERNELS
// signed_magnitude on four D64 at `at`.
VORL_TARGET_AVX2 inline __m256i signed_magnitudes_avx2(const D64* at) noexcept {
    const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    // Bytes 0..6 big-endian to a little-endian number: reverse each word, drop the flags byte.
    const __m256i reverse = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                             7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const __m256i magnitude = _mm256_srli_epi64(_mm256_shuffle_epi8(words, reverse), 8);
    const __m256i sign_bit = _mm256_set1_epi64x(std::int64_t{D64::SIGN_BIT} << 56);
    const __m256i negative = _mm256_cmpeq_epi64(_mm256_and_si256(words, sign_bit), sign_bit);
    return _mm256_sub_epi64(_mm256_xor_si256(magnitude, negative), negative);
}

// Signed values four at a time, each computed once: the differences of a
// block need its own values and the last one of the block before.
class DecimalDifferences {
public:
    // first >= 1; only the last lane of the block "before" is ever used.
    VORL_TARGET_AVX2 DecimalDifferences(const D64* values, std::size_t first) noexcept
        : values_(values), before_(_mm256_set1_epi64x(signed_magnitude(values[first - 1]))) {}
    // decimal_difference for values i .. i+3; calls come in order, i = first, first + 4, ...
    VORL_TARGET_AVX2 __m256i next(std::size_t i) noexcept {
        const __m256i current = signed_magnitudes_avx2(values_ + i);
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

VORL_TARGET_AVX2 std::uint64_t decimal_differences_size_avx2(const D64* values, std::size_t begin, std::size_t end) noexcept {
    __m256i extra = _mm256_setzero_si256();
    std::size_t i = begin;
    if (end - begin < 16) return decimal_differences_size_plain(values, begin, end);
    DecimalDifferences differences(values, begin);
    for (; end - i >= 16; i += 16) {
        const __m256i a = differences.next(i), b = differences.next(i + 4);
        const __m256i c = differences.next(i + 8), d = differences.next(i + 12);
        if (avx2::single_bytes64(a, b, c, d)) continue;
        extra = avx2::add_extra_sizes64(extra, avx2::zigzag64(a));
        extra = avx2::add_extra_sizes64(extra, avx2::zigzag64(b));
        extra = avx2::add_extra_sizes64(extra, avx2::zigzag64(c));
        extra = avx2::add_extra_sizes64(extra, avx2::zigzag64(d));
    }
    return (i - begin) + avx2::lane_sum64(extra) + decimal_differences_size_plain(values, i, end);
}

VORL_TARGET_AVX2 std::size_t write_decimal_differences_avx2(std::uint8_t* out, const D64* values, std::size_t begin,
                                                            std::size_t end) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = begin;
    if (end - begin < 16) return write_decimal_differences_plain(out, values, begin, end);
    DecimalDifferences differences(values, begin);
    while (end - i >= 16) {
        const __m256i a = differences.next(i), b = differences.next(i + 4);
        const __m256i c = differences.next(i + 8), d = differences.next(i + 12);
        if (avx2::single_bytes64(a, b, c, d)) {
            avx2::store_zigzag_bytes64(out, a, b, c, d);
            out += 16;
            i += 16;
            continue;
        }
        out += write_decimal_differences_plain(out, values, i, i + 16);
        i += 16;
    }
    out += write_decimal_differences_plain(out, values, i, end);
    return static_cast<std::size_t>(out - start);
}
#endif

// Both need begin >= 1: difference i looks at value i - 1.
std::uint64_t decimal_differences_size(const D64* values, std::size_t begin, std::size_t end) noexcept {
#if VORL_AVX2_KERNELS
    if (cpu_has_avx2()) return decimal_differences_size_avx2(values, begin, end);
#endif
    return decimal_differences_size_plain(values, begin, end);
}

std::size_t write_decimal_differences(std::uint8_t* out, const D64* values, std::size_t begin, std::size_t end) noexcept {
#if VORL_AVX2_KERNELS
    if (cpu_has_avx2()) return write_decimal_differences_avx2(out, values, begin, end);
#endif
    return write_decimal_differences_plain(out, values, begin, end);
}

// The D64 of a running sum as the reader builds it: the low 56 bits of its
// absolute value as the magnitude, its sign, the column scale, no flags;
// D64::from_parts in one byte swap.
inline std::uint64_t decimal_word(std::uint64_t running, unsigned scale) noexcept {
    const std::uint64_t negative = running >> 63;
    const std::uint64_t magnitude = ((running ^ (0 - negative)) + negative) & D64_MAX_MAGNITUDE;
    return __builtin_bswap64(magnitude << 8) | (std::uint64_t{(scale << 4) | negative} << 56);
}

// Reading decimals: difference i at slots + 8i becomes the D64 word of the
// running sum, continued from `running`.
void accumulate_decimals_plain(std::uint8_t* slots, std::size_t count, unsigned scale, std::uint64_t& running_sum) noexcept {
    std::uint64_t running = running_sum;
    for (std::size_t i = 0; i < count; ++i) {
        running += load_le<std::uint64_t>(slots + 8 * i);
        store_le(slots + 8 * i, decimal_word(running, scale));
    }
    running_sum = running;
}

#if VORL_AVX2_KERNELS
// Four at a time: the running sums from an in-register prefix sum plus the
// carry of the block before, then decimal_word in vector form.
VORL_TARGET_AVX2 void accumulate_decimals_avx2(std::uint8_t* slots, std::size_t count, unsigned scale,
                                               std::uint64_t& running_sum) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i reverse = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                             7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const __m256i scale_flags = _mm256_set1_epi64x(static_cast<std::int64_t>(std::uint64_t{scale << 4} << 56));
    const __m256i sign_bit = _mm256_set1_epi64x(std::int64_t{D64::SIGN_BIT} << 56);
    const __m256i magnitude_mask = _mm256_set1_epi64x(static_cast<std::int64_t>(D64_MAX_MAGNITUDE));
    __m256i carry = _mm256_set1_epi64x(static_cast<std::int64_t>(running_sum));
    std::size_t i = 0;
    for (; count - i >= 4; i += 4) {
        auto* at = reinterpret_cast<__m256i*>(slots + 8 * i);
        __m256i sums = _mm256_loadu_si256(at);
        // [x0, x1, x2, x3] + [0, x0, x1, x2], then + [0, 0, s0, s1].
        sums = _mm256_add_epi64(sums, _mm256_blend_epi32(_mm256_permute4x64_epi64(sums, 0x90), zero, 0x03));
        sums = _mm256_add_epi64(sums, _mm256_permute2x128_si256(sums, sums, 0x08));
        // Only one addition per block waits for the block before.
        const __m256i total = _mm256_permute4x64_epi64(sums, 0xFF);
        sums = _mm256_add_epi64(sums, carry);
        carry = _mm256_add_epi64(carry, total);
        const __m256i negative = _mm256_cmpgt_epi64(zero, sums);
        const __m256i magnitude = _mm256_and_si256(_mm256_sub_epi64(_mm256_xor_si256(sums, negative), negative), magnitude_mask);
        const __m256i flags = _mm256_or_si256(scale_flags, _mm256_and_si256(negative, sign_bit));
        _mm256_storeu_si256(at, _mm256_or_si256(_mm256_shuffle_epi8(_mm256_slli_epi64(magnitude, 8), reverse), flags));
    }
    running_sum = static_cast<std::uint64_t>(_mm256_extract_epi64(carry, 0));
    accumulate_decimals_plain(slots + 8 * i, count - i, scale, running_sum);
}
#endif

void accumulate_decimals(std::uint8_t* slots, std::size_t count, unsigned scale, std::uint64_t& running) noexcept {
#if VORL_AVX2_KERNELS
    if (cpu_has_avx2()) return accumulate_decimals_avx2(slots, count, scale, running);
#endif
    accumulate_decimals_plain(slots, count, scale, running);
}

// ---- datetimes ------------------------------------------------------------------

// The format's step rule over the first ten values (see the header).
std::int64_t specified_step(std::span<const std::int64_t> values) noexcept {
    std::int64_t step = values.front();
    for (const std::int64_t x : values.first(std::min<std::size_t>(values.size(), 10))) {
        if (step == 0) {
            step = x;
        } else if (x == 0) {
            step = static_cast<std::int64_t>(magnitude_of(step));
        } else {
            step = static_cast<std::int64_t>(std::gcd(magnitude_of(step), magnitude_of(x)));
        }
    }
    return step;
}

// Whether step divides x exactly and x / step is defined.
constexpr bool divides(std::int64_t step, std::int64_t x) noexcept {
    if (step == 0) return false;
    if (step == -1) return x != INT64_MIN;
    return x % step == 0;
}

// Division by the one step of a column, which is slow as an instruction and
// repeated for every value. Below 2^50 the quotient is taken from the product
// with the step's reciprocal, rounded to the nearest integer, and kept only
// when it multiplies back to x exactly; every other case goes to divides()
// and the plain division, which define the results.
class StepDivider {
public:
    explicit StepDivider(std::int64_t step) noexcept
        : step_(step), reciprocal_(step == 0 ? 0.0 : 1.0 / static_cast<double>(step)) {}

    bool divides(std::int64_t x) const noexcept {
        std::int64_t quotient;
        return fast_quotient(x, quotient) || vorl::divides(step_, x);
    }
    // x / step, truncated toward zero; step must not be 0 and the quotient
    // must be defined.
    std::int64_t quotient(std::int64_t x) const noexcept {
        std::int64_t quotient;
        return fast_quotient(x, quotient) ? quotient : x / step_;
    }

private:
    static constexpr std::uint64_t FAST_LIMIT = std::uint64_t{1} << 50;

    // The nearest integer to the product is within 0.2 of x / step below the
    // limit, so a step that divides x always multiplies back.
    bool fast_quotient(std::int64_t x, std::int64_t& quotient) const noexcept {
        if (magnitude_of(x) >= FAST_LIMIT) return false;
        const double product = static_cast<double>(x) * reciprocal_;
#if defined(__SSE2__)
        quotient = _mm_cvtsd_si64(_mm_set_sd(product));
#else
        quotient = std::llround(product);
#endif
        // Wrapping product: both factors are small enough that a wrapped
        // product cannot meet x by accident.
        return bits_of(quotient) * bits_of(step_) == bits_of(x) && step_ != 0;
    }

    std::int64_t step_;
    double reciprocal_;
};

// The plain test: every t(i) - t(i-1) equals t(1) - t(0).
bool has_one_difference_plain(const std::int64_t* values, std::size_t count) noexcept {
    if (count < 3) return true;
    const std::uint64_t difference = bits_of(values[1]) - bits_of(values[0]);
    for (std::size_t i = 2; i < count; ++i) {
        if (bits_of(values[i]) - bits_of(values[i - 1]) != difference) return false;
    }
    return true;
}

#if VORL_AVX2_KERNELS
// Sixteen differences per step, from two overlapping loads of four lanes each.
VORL_TARGET_AVX2 bool has_one_difference_avx2(const std::int64_t* values, std::size_t count) noexcept {
    if (count < 3) return true;
    const __m256i difference = _mm256_set1_epi64x(wrapping_sub(values[1], values[0]));
    std::size_t i = 1;
    for (; count - i >= 16; i += 16) {
        __m256i same = _mm256_set1_epi64x(-1);
        for (std::size_t k = 0; k < 16; k += 4) {
            const __m256i current = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i + k));
            const __m256i previous = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i + k - 1));
            same = _mm256_and_si256(same, _mm256_cmpeq_epi64(_mm256_sub_epi64(current, previous), difference));
        }
        if (_mm256_movemask_epi8(same) != -1) return false;
    }
    for (; i < count; ++i) {
        if (wrapping_sub(values[i], values[i - 1]) != wrapping_sub(values[1], values[0])) return false;
    }
    return true;
}
#endif

bool has_one_difference(const std::int64_t* values, std::size_t count) noexcept {
#if VORL_AVX2_KERNELS
    if (cpu_has_avx2()) return has_one_difference_avx2(values, count);
#endif
    return has_one_difference_plain(values, count);
}

#if VORL_AVX2_KERNELS
// Four lanes of StepDivider's fast quotient for steps below 2^53 in
// magnitude. Values below 2^50 convert to doubles and back through the
// 1.5 * 2^52 bias, which also rounds the product with the reciprocal to the
// nearest integer; `exact` gets all ones where x is below 2^50 and the
// quotient multiplies back to it (in doubles, which are exact there). The
// other lanes need the plain division.
class StepVectors {
public:
    VORL_TARGET_AVX2 static bool usable(std::int64_t step) noexcept {
        return step != 0 && magnitude_of(step) < (std::uint64_t{1} << 53);
    }
    VORL_TARGET_AVX2 explicit StepVectors(std::int64_t step) noexcept
        : step_(_mm256_set1_pd(static_cast<double>(step))), reciprocal_(_mm256_set1_pd(1.0 / static_cast<double>(step))) {}

    VORL_TARGET_AVX2 __m256i quotients(__m256i x, __m256i& exact) const noexcept {
        const __m256i bias_bits = _mm256_set1_epi64x(0x4338'0000'0000'0000);
        const __m256d bias = _mm256_castsi256_pd(bias_bits);
        const __m256d value = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(x, bias_bits)), bias);
        const __m256d biased_quotient = _mm256_add_pd(_mm256_mul_pd(value, reciprocal_), bias);
        const __m256d quotient = _mm256_sub_pd(biased_quotient, bias);
        const __m256i small = _mm256_cmpeq_epi64(
            _mm256_srli_epi64(_mm256_add_epi64(x, _mm256_set1_epi64x(std::int64_t{1} << 50)), 51), _mm256_setzero_si256());
        const __m256d back = _mm256_cmp_pd(_mm256_mul_pd(quotient, step_), value, _CMP_EQ_OQ);
        exact = _mm256_and_si256(small, _mm256_castpd_si256(back));
        return _mm256_sub_epi64(_mm256_castpd_si256(biased_quotient), bias_bits);
    }

private:
    __m256d step_;
    __m256d reciprocal_;
};

VORL_TARGET_AVX2 inline __m256i differences_avx2(const std::int64_t* values, std::size_t i) noexcept {
    return _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i)),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i - 1)));
}

VORL_TARGET_AVX2 inline bool all_set(__m256i mask) noexcept { return _mm256_movemask_epi8(mask) == -1; }

// Whether the step divides every difference i >= begin; blocks with a lane
// the vectors cannot decide go through the divider.
VORL_TARGET_AVX2 bool step_divides_differences_avx2(const std::int64_t* values, std::size_t begin, std::size_t end,
                                                    const StepDivider& divider, const StepVectors& vectors) noexcept {
    std::size_t i = begin;
    for (; end - i >= 4; i += 4) {
        __m256i exact;
        vectors.quotients(differences_avx2(values, i), exact);
        if (all_set(exact)) continue;
        for (std::size_t k = i; k < i + 4; ++k) {
            if (!divider.divides(wrapping_sub(values[k], values[k - 1]))) return false;
        }
    }
    for (; i < end; ++i) {
        if (!divider.divides(wrapping_sub(values[i], values[i - 1]))) return false;
    }
    return true;
}

// zigzag_run_size and write_zigzag_block over the quotients of differences
// [begin, end), sixteen at a time; blocks with an undecided lane take the
// plain loops.
VORL_TARGET_AVX2 std::uint64_t datetime_quotients_size_avx2(const std::int64_t* values, std::size_t begin, std::size_t end,
                                                            const StepDivider& divider, const StepVectors& vectors) noexcept {
    const auto next = [values, &divider](std::size_t i) { return divider.quotient(wrapping_sub(values[i], values[i - 1])); };
    __m256i extra = _mm256_setzero_si256();
    std::uint64_t plain = 0;
    std::size_t i = begin;
    for (; end - i >= 16; i += 16) {
        __m256i e0, e1, e2, e3;
        const __m256i a = vectors.quotients(differences_avx2(values, i), e0);
        const __m256i b = vectors.quotients(differences_avx2(values, i + 4), e1);
        const __m256i c = vectors.quotients(differences_avx2(values, i + 8), e2);
        const __m256i d = vectors.quotients(differences_avx2(values, i + 12), e3);
        if (!all_set(_mm256_and_si256(_mm256_and_si256(e0, e1), _mm256_and_si256(e2, e3)))) {
            plain += zigzag_run_size(i, i + 16, next) - 16;
            continue;
        }
        if (avx2::single_bytes64(a, b, c, d)) continue;
        extra = avx2::add_extra_sizes64(extra, avx2::zigzag64(a));
        extra = avx2::add_extra_sizes64(extra, avx2::zigzag64(b));
        extra = avx2::add_extra_sizes64(extra, avx2::zigzag64(c));
        extra = avx2::add_extra_sizes64(extra, avx2::zigzag64(d));
    }
    return (i - begin) + plain + avx2::lane_sum64(extra) + zigzag_run_size(i, end, next);
}

VORL_TARGET_AVX2 std::size_t write_datetime_quotients_avx2(std::uint8_t* out, const std::int64_t* values, std::size_t begin,
                                                           std::size_t end, const StepDivider& divider,
                                                           const StepVectors& vectors) noexcept {
    const auto next = [values, &divider](std::size_t i) { return divider.quotient(wrapping_sub(values[i], values[i - 1])); };
    std::uint8_t* const start = out;
    std::size_t i = begin;
    for (; end - i >= 16; i += 16) {
        __m256i e0, e1, e2, e3;
        const __m256i a = vectors.quotients(differences_avx2(values, i), e0);
        const __m256i b = vectors.quotients(differences_avx2(values, i + 4), e1);
        const __m256i c = vectors.quotients(differences_avx2(values, i + 8), e2);
        const __m256i d = vectors.quotients(differences_avx2(values, i + 12), e3);
        if (all_set(_mm256_and_si256(_mm256_and_si256(e0, e1), _mm256_and_si256(e2, e3))) && avx2::single_bytes64(a, b, c, d)) {
            avx2::store_zigzag_bytes64(out, a, b, c, d);
            out += 16;
            continue;
        }
        out += write_zigzag_block(out, i, i + 16, next);
    }
    out += write_zigzag_block(out, i, end, next);
    return static_cast<std::size_t>(out - start);
}
#endif

bool step_fits_column(std::int64_t step, std::span<const std::int64_t> values) noexcept {
    if (!divides(step, values.front())) return false;
    const StepDivider divider(step);
#if VORL_AVX2_KERNELS
    if (cpu_has_avx2() && StepVectors::usable(step)) {
        return step_divides_differences_avx2(values.data(), 1, values.size(), divider, StepVectors(step));
    }
#endif
    // Irregular columns still repeat differences; test each distinct run once.
    std::int64_t last_checked = values.front();
    for (std::size_t i = 1; i < values.size(); ++i) {
        const std::int64_t difference = wrapping_sub(values[i], values[i - 1]);
        if (difference == last_checked) continue;
        if (!divider.divides(difference)) return false;
        last_checked = difference;
    }
    return true;
}

// gcd of |t(0)| and every |difference|: divides them all by construction. It is
// 2^63 only when every one of them is 0 or -2^63, and -2^63 divides those too.
std::int64_t exact_step(std::span<const std::int64_t> values, bool one_difference) noexcept {
    std::uint64_t step = magnitude_of(values.front());
    // A column with one difference gives the same gcd from its first two values.
    const std::size_t end = one_difference ? std::min<std::size_t>(values.size(), 2) : values.size();
    for (std::size_t i = 1; i < end && step != 1; ++i) {
        step = std::gcd(step, magnitude_of(wrapping_sub(values[i], values[i - 1])));
    }
    return step == 0 ? 1 : static_cast<std::int64_t>(step);
}

struct DatetimePlan {
    std::int64_t step;
    bool one_difference;  // every t(i) - t(i-1) equals t(1) - t(0)
};

DatetimePlan plan_datetime_column(std::span<const std::int64_t> values) noexcept {
    const std::int64_t specified = specified_step(values);
    const bool one_difference = has_one_difference(values.data(), values.size());
    bool fits;
    if (one_difference) {
        fits = divides(specified, values.front()) &&
               (values.size() < 2 || divides(specified, wrapping_sub(values[1], values[0])));
    } else {
        fits = step_fits_column(specified, values);
    }
    return {fits ? specified : exact_step(values, one_difference), one_difference};
}

// The plain running product over count values, continuing from `running`.
inline void accumulate_from(std::int64_t* values, std::size_t count, std::uint64_t g, std::uint64_t& running_sum) noexcept {
    std::uint64_t running = running_sum;
    for (std::size_t i = 0; i < count; ++i) {
        running += bits_of(values[i]);
        values[i] = static_cast<std::int64_t>(running * g);
    }
    running_sum = running;
}

// Reading datetimes: difference i becomes (d(0) + ... + d(i)) * g in place.
void accumulate_times_step_plain(std::int64_t* values, std::size_t count, std::uint64_t g, std::uint64_t& running) noexcept {
    accumulate_from(values, count, g, running);
}

#if VORL_AVX2_KERNELS
// Regular timestamps repeat one difference: four values at a time then come
// from the last value plus 1..4 times difference * g, which in wrapping
// arithmetic equals the plain running product.
VORL_TARGET_AVX2 void accumulate_times_step_avx2(std::int64_t* values, std::size_t count, std::uint64_t g,
                                                std::uint64_t& running_sum) noexcept {
    std::uint64_t running = running_sum;  // a local: stores to values could alias the reference
    std::uint64_t last = 0;  // the difference that the steps below repeat
    __m256i steps = _mm256_setzero_si256();
    std::size_t i = 0;
    while (count - i >= 4) {
        auto* at = reinterpret_cast<__m256i*>(values + i);
        const __m256i differences = _mm256_loadu_si256(at);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi64(differences, _mm256_set1_epi64x(static_cast<std::int64_t>(last)))) == -1) {
            const __m256i base = _mm256_set1_epi64x(static_cast<std::int64_t>(running * g));
            _mm256_storeu_si256(at, _mm256_add_epi64(base, steps));
            running += 4 * last;
            i += 4;
            continue;
        }
        accumulate_from(values + i, 4, g, running);
        i += 4;
        last = static_cast<std::uint64_t>(_mm256_extract_epi64(differences, 3));
        const std::uint64_t unit = last * g;
        steps = _mm256_setr_epi64x(static_cast<std::int64_t>(unit), static_cast<std::int64_t>(2 * unit),
                                   static_cast<std::int64_t>(3 * unit), static_cast<std::int64_t>(4 * unit));
    }
    accumulate_from(values + i, count - i, g, running);
    running_sum = running;
}
#endif

// Continues the running sum of the values before.
void accumulate_times_step(std::int64_t* values, std::size_t count, std::uint64_t g, std::uint64_t& running) noexcept {
#if VORL_AVX2_KERNELS
    if (cpu_has_avx2()) return accumulate_times_step_avx2(values, count, g, running);
#endif
    accumulate_times_step_plain(values, count, g, running);
}

}  // namespace

std::int64_t datetime_column_step(std::span<const std::int64_t> values) noexcept {
    if (values.empty()) return 0;
    return plan_datetime_column(values).step;
}

template <class Sink>
void d64_array_bincode_encode(std::span<const D64> values, Sink& sink) {
    if (values.empty()) {
        sink.put_byte(0);
        return;
    }
    const auto first_number = std::find_if(values.begin(), values.end(), [](const D64& v) { return !v.is_special(); });
    const unsigned scale = first_number == values.end() ? 0 : first_number->scale();
    encode_len(sink, std::uint64_t{values.size()} + 1);
    encode_i64(sink, std::int64_t{scale});
    // The first difference is the first signed value itself.
    encode_i64(sink, signed_magnitude(values[0]));
    const D64* data = values.data();
    put_zigzag_run(
        sink, 1, values.size(), [data](std::size_t i) { return decimal_difference(data, i); },
        [data](std::size_t begin, std::size_t end) { return decimal_differences_size(data, begin, end); },
        [data](std::uint8_t* out, std::size_t begin, std::size_t end) {
            return write_decimal_differences(out, data, begin, end);
        });
}

template <class Sink>
void datetime_array_bincode_encode(std::span<const std::int64_t> values, Sink& sink) {
    if (values.empty()) {
        sink.put_byte(0);
        return;
    }
    const DatetimePlan plan = plan_datetime_column(values);
    const StepDivider divider(plan.step);
    encode_len(sink, std::uint64_t{values.size()} + 1);
    encode_i64(sink, plan.step);
    encode_i64(sink, divider.quotient(values[0]));
    if (values.size() == 1) return;

    const std::int64_t* data = values.data();
    const auto difference = [data](std::size_t i) { return wrapping_sub(data[i], data[i - 1]); };
    if (plan.one_difference) {
        // Regular timestamps: one quotient, repeated.
        const std::uint64_t bits = zigzag_encode(divider.quotient(difference(1)));
        const std::size_t width = varint_size(bits);
        const std::size_t repeats = values.size() - 1;
        if constexpr (Sink::counts_only) {
            sink.add(std::uint64_t{repeats} * width);
        } else {
            std::uint8_t* out = sink.claim(repeats * width);
            if (out == nullptr) return;
            if (width == 1) {
                std::memset(out, static_cast<int>(bits), repeats);
            } else {
                // One copy written, then the written part doubled until full.
                std::uint8_t encoded[VARINT_MAX_SIZE_U64];
                write_varint_unchecked(encoded, bits);
                std::memcpy(out, encoded, width);
                const std::size_t total = repeats * width;
                for (std::size_t done = width; done < total;) {
                    const std::size_t step = std::min(done, total - done);
                    std::memcpy(out + done, out, step);
                    done += step;
                }
            }
        }
        return;
    }
    // Every difference is a multiple of the step (plan_datetime_column chose it so).
    const auto run = [&](auto quotient) {
        const auto next = [=](std::size_t i) { return quotient(difference(i)); };
        put_zigzag_run(
            sink, 1, values.size(), next, [=](std::size_t begin, std::size_t end) { return zigzag_run_size(begin, end, next); },
            [=](std::uint8_t* out, std::size_t begin, std::size_t end) { return write_zigzag_block(out, begin, end, next); });
    };
#if VORL_AVX2_KERNELS
    if (cpu_has_avx2() && StepVectors::usable(plan.step)) {
        const StepVectors vectors(plan.step);
        put_zigzag_run(
            sink, 1, values.size(), [&](std::size_t i) { return divider.quotient(difference(i)); },
            [&](std::size_t begin, std::size_t end) { return datetime_quotients_size_avx2(data, begin, end, divider, vectors); },
            [&](std::uint8_t* out, std::size_t begin, std::size_t end) {
                return write_datetime_quotients_avx2(out, data, begin, end, divider, vectors);
            });
        return;
    }
#endif
    if (plan.step == 1) {
        run([](std::int64_t x) { return x; });
    } else {
        run([&divider](std::int64_t x) { return divider.quotient(x); });
    }
}

template void d64_array_bincode_encode<SizeWriter>(std::span<const D64>, SizeWriter&);
template void d64_array_bincode_encode<VecWriter>(std::span<const D64>, VecWriter&);
template void datetime_array_bincode_encode<SizeWriter>(std::span<const std::int64_t>, SizeWriter&);
template void datetime_array_bincode_encode<VecWriter>(std::span<const std::int64_t>, VecWriter&);

Result<Buffer<D64>, DecodeError> d64_array_bincode_decode(SliceReader& reader) {
    auto n = reader.read_len();
    if (!n) return err(std::move(n).error());
    if (n.value() == 0) return Buffer<D64>{};
    auto scale = reader.read_i64();
    if (!scale) return err(std::move(scale).error());
    if (n.value() == 1) return Buffer<D64>{};
    // No writer produces a scale outside 0..15 and the flags byte has four
    // bits for it, so such a column is refused rather than given another value.
    if (scale.value() < 0 || scale.value() > static_cast<std::int64_t>(D64_MAX_SCALE)) {
        // Shown as the format shows enum indexes: an unsigned 32-bit number
        // (a negative scale wraps, a huge one saturates).
        const auto found = scale.value() > std::int64_t{UINT32_MAX}
                               ? UINT32_MAX
                               : static_cast<std::uint32_t>(static_cast<std::uint64_t>(scale.value()));
        return err(DecodeError::unexpected_variant("DecimalScale", {0, D64_MAX_SCALE}, found));
    }
    const auto column_scale = static_cast<unsigned>(scale.value());
    const std::uint64_t count = n.value() - 1;
    // The differences are read into the column's own memory (eight bytes each,
    // like a D64) and turned into running sums in place.
    Buffer<D64> out = Buffer<D64>::uninitialized(bounded_capacity(count, reader));
    advise_huge_pages(out.data(), out.capacity() * sizeof(D64));
    std::uint8_t* slots = reinterpret_cast<std::uint8_t*>(out.data());
    std::uint64_t running = 0;
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t chunk = std::min<std::uint64_t>(count - done, RUN_CHUNK);
        auto read = reader.read_varint_run(chunk, reinterpret_cast<std::int64_t*>(slots + 8 * done));
        if (!read) return err(std::move(read).error());
        accumulate_decimals(slots + 8 * done, static_cast<std::size_t>(chunk), column_scale, running);
        done += chunk;
    }
    return out;
}

Result<Buffer<std::int64_t>, DecodeError> datetime_array_bincode_decode(SliceReader& reader) {
    auto n = reader.read_len();
    if (!n) return err(std::move(n).error());
    if (n.value() == 0) return Buffer<std::int64_t>{};
    auto step = reader.read_i64();
    if (!step) return err(std::move(step).error());
    if (n.value() == 1) return Buffer<std::int64_t>{};
    const std::uint64_t count = n.value() - 1;
    Buffer<std::int64_t> out = Buffer<std::int64_t>::uninitialized(bounded_capacity(count, reader));
    advise_huge_pages(out.data(), out.capacity() * sizeof(std::int64_t));
    // Any step is accepted; the products wrap like every other operation here.
    const std::uint64_t g = bits_of(step.value());
    std::uint64_t running = 0;
    // In chunks that stay in the cache between reading and summing.
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t chunk = std::min<std::uint64_t>(count - done, RUN_CHUNK);
        auto read = reader.read_varint_run(chunk, out.data() + done);
        if (!read) return err(std::move(read).error());
        accumulate_times_step(out.data() + done, static_cast<std::size_t>(chunk), g, running);
        done += chunk;
    }
    return out;
}

}  // namespace vorl
