#include "core/compact_columns.hpp"

#include <algorithm>
#include <numeric>

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

// Writes zigzag varints produced by next(i) for i in [0, count), with the
// same chunked unchecked fast path as the plain integer columns.
template <class Sink, class Next>
void put_zigzag_run(Sink& sink, std::size_t count, Next next) {
    if constexpr (Sink::counts_only) {
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < count; ++i) total += varint_size(zigzag_encode(next(i)));
        sink.add(total);
    } else {
        std::size_t i = 0;
        while (i < count) {
            const std::size_t safe = std::min(count - i, sink.room() / VARINT_MAX_SIZE_U64);
            if (safe == 0) {
                sink.put_varint(zigzag_encode(next(i++)));
                if (!sink.status()) return;
                continue;
            }
            std::uint8_t* const start = sink.cursor();
            std::uint8_t* out = start;
            for (const std::size_t stop = i + safe; i < stop; ++i) out += write_varint_unchecked(out, zigzag_encode(next(i)));
            sink.advance(static_cast<std::size_t>(out - start));
        }
    }
}

// Reads `count` zigzag differences, feeding each to emit(i, difference).
template <class Emit>
Result<void, DecodeError> read_zigzag_run(SliceReader& reader, std::uint64_t count, Emit emit) {
    const std::uint8_t* p = reader.position();
    const std::uint8_t* const end = p + reader.remaining();
    for (std::uint64_t i = 0; i < count; ++i) {
        if (p < end && *p <= VARINT_MAX_SINGLE_BYTE) {  // the common one-byte difference
            emit(i, zigzag_decode(std::uint64_t{*p++}));
            continue;
        }
        reader.advance(static_cast<std::size_t>(p - reader.position()));
        auto difference = reader.read_i64();
        if (!difference) return err(std::move(difference).error());
        emit(i, difference.value());
        p = reader.position();
    }
    reader.advance(static_cast<std::size_t>(p - reader.position()));
    return {};
}

std::int64_t signed_magnitude(const D64& value) noexcept {
    const std::uint64_t magnitude = value.magnitude();
    return static_cast<std::int64_t>(value.is_negative() ? 0 - magnitude : magnitude);
}

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

bool step_fits_column(std::int64_t step, std::span<const std::int64_t> values) noexcept {
    if (!divides(step, values.front())) return false;
    // Regular columns repeat one difference; test each distinct run once.
    std::int64_t last_checked = values.front();
    for (std::size_t i = 1; i < values.size(); ++i) {
        const std::int64_t difference = wrapping_sub(values[i], values[i - 1]);
        if (difference == last_checked) continue;
        if (!divides(step, difference)) return false;
        last_checked = difference;
    }
    return true;
}

// gcd of |t(0)| and every |difference|: divides them all by construction. It is
// 2^63 only when every one of them is 0 or -2^63, and -2^63 divides those too.
std::int64_t exact_step(std::span<const std::int64_t> values) noexcept {
    std::uint64_t step = magnitude_of(values.front());
    for (std::size_t i = 1; i < values.size() && step != 1; ++i) {
        step = std::gcd(step, magnitude_of(wrapping_sub(values[i], values[i - 1])));
    }
    return step == 0 ? 1 : static_cast<std::int64_t>(step);
}

}  // namespace

std::int64_t datetime_column_step(std::span<const std::int64_t> values) noexcept {
    if (values.empty()) return 0;
    const std::int64_t step = specified_step(values);
    return step_fits_column(step, values) ? step : exact_step(values);
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
    put_zigzag_run(sink, values.size(), [&](std::size_t i) {
        const std::int64_t previous = i == 0 ? 0 : signed_magnitude(values[i - 1]);
        return wrapping_sub(signed_magnitude(values[i]), previous);
    });
}

template <class Sink>
void datetime_array_bincode_encode(std::span<const std::int64_t> values, Sink& sink) {
    if (values.empty()) {
        sink.put_byte(0);
        return;
    }
    const std::int64_t step = datetime_column_step(values);
    encode_len(sink, std::uint64_t{values.size()} + 1);
    encode_i64(sink, step);
    // Repeated differences (regular timestamps) reuse the last quotient
    // instead of dividing again.
    std::int64_t last_difference = 0;
    std::int64_t last_quotient = 0;
    put_zigzag_run(sink, values.size(), [&](std::size_t i) {
        const std::int64_t difference = i == 0 ? values[0] : wrapping_sub(values[i], values[i - 1]);
        if (i == 0 || difference != last_difference) {
            last_difference = difference;
            last_quotient = difference / step;
        }
        return last_quotient;
    });
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
    Buffer<D64> out;
    out.reserve(bounded_capacity(count, reader));
    std::uint64_t running = 0;
    auto done = read_zigzag_run(reader, count, [&](std::uint64_t, std::int64_t difference) {
        running += bits_of(difference);
        const bool negative = static_cast<std::int64_t>(running) < 0;
        const std::uint64_t magnitude = (negative ? 0 - running : running) & D64_MAX_MAGNITUDE;
        out.push_back(D64::from_parts(negative, magnitude, column_scale));
    });
    if (!done) return err(std::move(done).error());
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
    Buffer<std::int64_t> out;
    out.reserve(bounded_capacity(count, reader));
    // Any step is accepted; the products wrap like every other operation here.
    const std::uint64_t g = bits_of(step.value());
    std::uint64_t running = 0;
    auto done = read_zigzag_run(reader, count, [&](std::uint64_t, std::int64_t quotient) {
        running += bits_of(quotient);
        out.push_back(static_cast<std::int64_t>(running * g));
    });
    if (!done) return err(std::move(done).error());
    return out;
}

}  // namespace vorl
