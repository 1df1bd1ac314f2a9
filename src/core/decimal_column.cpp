#include "core/decimal_column.hpp"

#include <algorithm>

#include "core/checksum_trail.hpp"
#include "core/column_codec.hpp"
#include "core/huge_pages.hpp"
#include "core/kernels/d64_conversions.hpp"
#include "core/kernels/d64_words.hpp"
#include "core/kernels/decimal_differences.hpp"
#include "core/kernels/varint_runs.hpp"
#include "core/kernels/zigzag_runs.hpp"

namespace vorl {
namespace {

// Values read per call when a pass over them follows: small enough to stay in
// the first-level cache between the two.
constexpr std::uint64_t RUN_CHUNK = 2048;

// No writer produces a scale outside 0..15 and the flags byte has four bits
// for it, so such a column is refused rather than given another value. It is
// shown as the format shows enum indexes: an unsigned 32-bit number (a
// negative scale wraps, a huge one saturates).
Result<unsigned, DecodeError> column_scale(std::int64_t scale) noexcept {
    if (scale >= 0 && scale <= static_cast<std::int64_t>(D64_MAX_SCALE)) return static_cast<unsigned>(scale);
    const auto found =
        scale > std::int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<std::uint32_t>(static_cast<std::uint64_t>(scale));
    return err(DecodeError::unexpected_variant("DecimalScale", {0, D64_MAX_SCALE}, found));
}

}  // namespace

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
    encode_i64(sink, d64_signed_magnitude(values[0]));
    const D64* data = values.data();
    const DecimalDifferenceKernels& kernels = decimal_difference_kernels();
    put_zigzag_run(
        sink, 1, values.size(),
        [data](std::size_t i) {
            return wrapping_sub(d64_signed_magnitude(data[i]), d64_signed_magnitude(data[i - 1]));
        },
        [&](std::size_t begin, std::size_t end) { return kernels.size(data, begin, end); },
        [&](std::uint8_t* out, std::size_t begin, std::size_t end) { return kernels.write(out, data, begin, end); });
}

namespace {

// The signed values of `count` decimals at out; the index of the first value refused, or count.
template <class Float>
std::size_t signed_values(const Float* values, std::size_t count, unsigned places, bool nan_refused,
                          std::int64_t* out) noexcept {
    const D64ConversionKernels& kernels = d64_conversion_kernels();
    if constexpr (sizeof(Float) == 8) {
        return kernels.signed_from_doubles(values, count, places, nan_refused, out);
    } else {
        return kernels.signed_from_floats(values, count, places, nan_refused, out);
    }
}

}  // namespace

template <class Float>
Result<Buffer<std::uint8_t>, std::size_t> encode_decimal_body(std::span<const Float> values, unsigned places,
                                                              bool nan_refused) {
    auto body = room_for_body(values.size());
    VecWriter sink(body.span());
    if (values.empty()) {
        sink.put_byte(0);
        body.truncate(sink.size());
        return body;
    }
    encode_len(sink, std::uint64_t{values.size()} + 1);
    // Every decimal made from a float is a number at `places`.
    encode_i64(sink, std::int64_t{places});
    const VarintRunOps<std::int64_t>& varints = varint_run_kernels().i64;
    // signed_block[0] is the value before the block: zero at first, as the
    // first difference is the first value itself.
    std::int64_t signed_block[RUN_CHUNK + 1];
    std::int64_t differences[RUN_CHUNK];
    signed_block[0] = 0;
    for (std::size_t begin = 0; begin < values.size();) {
        const std::size_t count = std::min<std::size_t>(values.size() - begin, RUN_CHUNK);
        const std::size_t converted =
            signed_values(values.data() + begin, count, places, nan_refused, signed_block + 1);
        if (converted != count) return err(begin + converted);
        for (std::size_t i = 0; i < count; ++i) differences[i] = wrapping_sub(signed_block[i + 1], signed_block[i]);
        sink.advance(varints.write(sink.cursor(), differences, count));
        signed_block[0] = signed_block[count];
        begin += count;
    }
    body.truncate(sink.size());
    return body;
}

template Result<Buffer<std::uint8_t>, std::size_t> encode_decimal_body(std::span<const double>, unsigned, bool);
template Result<Buffer<std::uint8_t>, std::size_t> encode_decimal_body(std::span<const float>, unsigned, bool);

template void d64_array_bincode_encode<SizeWriter>(std::span<const D64>, SizeWriter&);
template void d64_array_bincode_encode<VecWriter>(std::span<const D64>, VecWriter&);

Result<std::uint64_t, DecodeError> d64_array_bincode_skip(SliceReader& reader) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    if (n == 0) return std::uint64_t{0};
    VORL_TRY(const std::int64_t scale, reader.read_i64());
    if (n == 1) return std::uint64_t{0};
    VORL_TRY_VOID(column_scale(scale));
    VORL_TRY_VOID(reader.skip_varint_run<std::int64_t>(n - 1));
    return n - 1;
}

namespace {

// The body's elements as D64 words, or as their doubles when AsDoubles; the
// column scale (0 when empty).
template <bool AsDoubles>
Result<std::pair<Buffer<D64>, unsigned>, DecodeError> decode_column(SliceReader& reader, ChecksumTrail* trail) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    if (n == 0) return std::pair{Buffer<D64>{}, 0u};
    VORL_TRY(const std::int64_t scale, reader.read_i64());
    if (n == 1) return std::pair{Buffer<D64>{}, 0u};
    VORL_TRY(const unsigned scale_of_column, column_scale(scale));
    const std::uint64_t count = n - 1;
    // The differences are read into the column's own memory (eight bytes each,
    // like a D64 or a double) and turned into running sums in place.
    Buffer<D64> out = Buffer<D64>::uninitialized(bounded_capacity(count, reader));
    advise_huge_pages(out.data(), out.capacity() * sizeof(D64));
    auto* slots = reinterpret_cast<std::uint8_t*>(out.data());
    const DecimalDifferenceKernels& kernels = decimal_difference_kernels();
    std::uint64_t running = 0;
    for (std::uint64_t done = 0; done < count;) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, RUN_CHUNK));
        std::uint8_t* const at = slots + 8 * done;
        VORL_TRY_VOID(reader.read_varint_run(chunk, reinterpret_cast<std::int64_t*>(at)));
        if (trail != nullptr) trail->fold_up_to(reader.position());
        if constexpr (AsDoubles) {
            d64_conversion_kernels().sums_to_doubles(at, chunk, scale_of_column, running);
        } else {
            kernels.accumulate(at, chunk, scale_of_column, running);
        }
        done += chunk;
    }
    return std::pair{std::move(out), scale_of_column};
}

}  // namespace

Result<Buffer<D64>, DecodeError> d64_array_bincode_decode(SliceReader& reader, ChecksumTrail* trail) {
    VORL_TRY(auto column, decode_column<false>(reader, trail));
    return std::move(column.first);
}

Result<DecimalDoubles, DecodeError> d64_array_bincode_decode_doubles(SliceReader& reader, ChecksumTrail* trail) {
    VORL_TRY(auto column, decode_column<true>(reader, trail));
    return DecimalDoubles{std::move(column.first).reinterpret_as<double>(), column.second};
}

}  // namespace vorl
