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

std::size_t bounded_capacity(std::uint64_t count, const SliceReader& reader) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, reader.remaining()));
}

// ---- writing runs of computed values ------------------------------------------

// Writes zigzag(next(i)) for i in [begin, end) at out, which has room for 9
// bytes per value; returns the bytes written. Sixteen one-byte values go out
// at a time; a block with a wider one takes the plain per-value writer.
template <class Next>
[[gnu::always_inline]] inline std::size_t write_zigzag_block(std::uint8_t* out, std::size_t begin, std::size_t end,
                                                             Next next) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = begin;
    while (end - i >= 16) {
        bool wide = false;
        for (std::size_t k = 0; k < 16; ++k) {
            const std::uint64_t bits = zigzag_encode(next(i + k));
            out[k] = static_cast<std::uint8_t>(bits);
            wide |= bits > VARINT_MAX_SINGLE_BYTE;
        }
        if (!wide) {
            out += 16;
            i += 16;
            continue;
        }
        for (const std::size_t stop = i + 16; i < stop; ++i) out += write_varint_unchecked(out, zigzag_encode(next(i)));
    }
    for (; i < end; ++i) out += write_varint_unchecked(out, zigzag_encode(next(i)));
    return static_cast<std::size_t>(out - start);
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

VORL_VECTOR_CLONES std::uint64_t decimal_differences_size(const D64* values, std::size_t begin, std::size_t end) noexcept {
    return zigzag_run_size(begin, end, [values](std::size_t i) { return decimal_difference(values, i); });
}

VORL_VECTOR_CLONES std::size_t write_decimal_differences(std::uint8_t* out, const D64* values, std::size_t begin,
                                                         std::size_t end) noexcept {
    return write_zigzag_block(out, begin, end, [values](std::size_t i) { return decimal_difference(values, i); });
}

// The D64 of a running sum as the reader builds it: the low 56 bits of its
// absolute value as the magnitude, its sign, the column scale, no flags;
// D64::from_parts in one byte swap.
inline std::uint64_t decimal_word(std::uint64_t running, unsigned scale) noexcept {
    const std::uint64_t negative = running >> 63;
    const std::uint64_t magnitude = ((running ^ (0 - negative)) + negative) & D64_MAX_MAGNITUDE;
    return __builtin_bswap64(magnitude << 8) | (std::uint64_t{(scale << 4) | negative} << 56);
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

// Blocks of 64 differences are compared whole, so that the test vectorises.
VORL_VECTOR_CLONES bool has_one_difference(const std::int64_t* values, std::size_t count) noexcept {
    if (count < 3) return true;
    const std::uint64_t difference = bits_of(values[1]) - bits_of(values[0]);
    std::size_t i = 2;
    for (; count - i >= 64; i += 64) {
        bool same = true;
        for (std::size_t k = 0; k < 64; ++k) same &= bits_of(values[i + k]) - bits_of(values[i + k - 1]) == difference;
        if (!same) return false;
    }
    for (; i < count; ++i) {
        if (bits_of(values[i]) - bits_of(values[i - 1]) != difference) return false;
    }
    return true;
}

bool step_fits_column(std::int64_t step, std::span<const std::int64_t> values) noexcept {
    if (!divides(step, values.front())) return false;
    const StepDivider divider(step);
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
    auto read = reader.read_varint_run(count, reinterpret_cast<std::int64_t*>(out.data()));
    if (!read) return err(std::move(read).error());
    std::uint8_t* slots = reinterpret_cast<std::uint8_t*>(out.data());
    std::uint64_t running = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        running += load_le<std::uint64_t>(slots + 8 * i);
        store_le(slots + 8 * i, decimal_word(running, column_scale));
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
    auto read = reader.read_varint_run(count, out.data());
    if (!read) return err(std::move(read).error());
    // Any step is accepted; the products wrap like every other operation here.
    const std::uint64_t g = bits_of(step.value());
    std::uint64_t running = 0;
    for (std::int64_t& value : out) {
        running += bits_of(value);
        value = static_cast<std::int64_t>(running * g);
    }
    return out;
}

}  // namespace vorl
