#include "core/datetime_column.hpp"

#include <algorithm>
#include <cstring>

#include "core/checksum_trail.hpp"
#include "core/column_codec.hpp"
#include "core/huge_pages.hpp"
#include "core/kernels/datetime_differences.hpp"
#include "core/kernels/step_divider.hpp"
#include "core/kernels/zigzag_runs.hpp"

namespace vorl {
namespace {

// Values read per call when a pass over them follows: small enough to stay in
// the first-level cache between the two.
constexpr std::uint64_t RUN_CHUNK = 2048;

// Regular timestamps: one quotient, repeated `repeats` times.
template <class Sink>
void put_repeated_varint(Sink& sink, std::uint64_t bits, std::size_t repeats) {
    const std::size_t width = varint_size(bits);
    if constexpr (Sink::counts_only) {
        sink.add(std::uint64_t{repeats} * width);
    } else {
        std::uint8_t* out = sink.claim(repeats * width);
        if (out == nullptr) return;
        if (width == 1) {
            std::memset(out, static_cast<int>(bits), repeats);
            return;
        }
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

}  // namespace

// The writing pass may meet values that changed since the plan was made
// (another thread may own the array). A column of one difference is written
// from the plan alone, which read it. Any other is read once more: a quotient
// of a value off the plan's grid would be truncated, and a difference of two
// reads of one changing value would restore neither, so the values are copied
// chunk by chunk, each read exactly once, and the chunk is checked against the
// plan before its quotients are written; a chunk that breaks the plan fails
// the sink, and the caller encodes again from a private copy.
template <class Sink>
void encode_datetime_column(std::span<const std::int64_t> values, const DatetimePlan& plan, Sink& sink) {
    const StepDivider divider(plan.step);
    encode_len(sink, std::uint64_t{values.size()} + 1);
    encode_i64(sink, plan.step);
    if (plan.one_difference) {
        // Written from the plan alone (see DatetimePlan); its values were
        // checked against the step when it was made.
        if (!divider.divides(plan.first) || (values.size() > 1 && !divider.divides(plan.difference))) {
            if constexpr (!Sink::counts_only) sink.fail();
            return;
        }
        encode_i64(sink, divider.quotient(plan.first));
        if (values.size() == 1) return;
        return put_repeated_varint(sink, zigzag_encode(divider.quotient(plan.difference)), values.size() - 1);
    }
    if constexpr (Sink::counts_only) {
        encode_i64(sink, divider.quotient(values[0]));
        if (values.size() == 1) return;
        sink.add(datetime_difference_kernels().quotients_size(values.data(), 1, values.size(), plan.step));
    } else {
        const DatetimeDifferenceKernels& kernels = datetime_difference_kernels();
        // chunk[0] is the value before the chunk, so every difference is taken
        // from the copies.
        std::int64_t chunk[RUN_CHUNK + 1];
        chunk[0] = values[0];
        if (!divider.divides(chunk[0])) return sink.fail();
        encode_i64(sink, divider.quotient(chunk[0]));
        for (std::size_t begin = 1; begin < values.size();) {
            const std::size_t count = std::min<std::size_t>(values.size() - begin, RUN_CHUNK);
            std::memcpy(chunk + 1, values.data() + begin, count * sizeof(std::int64_t));
            if (plan.step != 1 && !kernels.step_divides(chunk, 1, count + 1, plan.step)) return sink.fail();
            put_zigzag_run(
                sink, 1, count + 1,
                [&](std::size_t i) { return divider.quotient(wrapping_sub(chunk[i], chunk[i - 1])); },
                [&](std::size_t b, std::size_t e) { return kernels.quotients_size(chunk, b, e, plan.step); },
                [&](std::uint8_t* out, std::size_t b, std::size_t e) {
                    return kernels.write_quotients(out, chunk, b, e, plan.step);
                });
            if (!sink.status()) return;
            chunk[0] = chunk[count];
            begin += count;
        }
    }
}

template <class Sink>
void datetime_array_bincode_encode(std::span<const std::int64_t> values, Sink& sink) {
    if (values.empty()) {
        sink.put_byte(0);
        return;
    }
    encode_datetime_column(values, plan_datetime_column(values), sink);
}

std::optional<Buffer<std::uint8_t>> encode_datetime_body(std::span<const std::int64_t> values) {
    auto body = room_for_body(values.size());
    VecWriter sink(body.span());
    datetime_array_bincode_encode(values, sink);
    if (!sink.status()) return std::nullopt;
    body.truncate(sink.size());
    return body;
}

template void encode_datetime_column<SizeWriter>(std::span<const std::int64_t>, const DatetimePlan&, SizeWriter&);
template void encode_datetime_column<VecWriter>(std::span<const std::int64_t>, const DatetimePlan&, VecWriter&);
template void datetime_array_bincode_encode<SizeWriter>(std::span<const std::int64_t>, SizeWriter&);
template void datetime_array_bincode_encode<VecWriter>(std::span<const std::int64_t>, VecWriter&);

Result<std::uint64_t, DecodeError> datetime_array_bincode_skip(SliceReader& reader) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    if (n == 0) return std::uint64_t{0};
    VORL_TRY(const std::int64_t step, reader.read_i64());
    static_cast<void>(step);  // any step is accepted
    if (n == 1) return std::uint64_t{0};
    VORL_TRY_VOID(reader.skip_varint_run<std::int64_t>(n - 1));
    return n - 1;
}

Result<Buffer<std::int64_t>, DecodeError> datetime_array_bincode_decode(SliceReader& reader, ChecksumTrail* trail) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    if (n == 0) return Buffer<std::int64_t>{};
    VORL_TRY(const std::int64_t step, reader.read_i64());
    if (n == 1) return Buffer<std::int64_t>{};
    const std::uint64_t count = n - 1;
    Buffer<std::int64_t> out = Buffer<std::int64_t>::uninitialized(bounded_capacity(count, reader));
    advise_huge_pages(out.data(), out.capacity() * sizeof(std::int64_t));
    // Any step is accepted; the products wrap like every other operation here.
    const auto g = static_cast<std::uint64_t>(step);
    const DatetimeDifferenceKernels& kernels = datetime_difference_kernels();
    std::uint64_t running = 0;
    // In chunks that stay in the cache between reading and summing.
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t chunk = std::min<std::uint64_t>(count - done, RUN_CHUNK);
        VORL_TRY_VOID(reader.read_varint_run(chunk, out.data() + done));
        if (trail != nullptr) trail->fold_up_to(reader.position());
        kernels.accumulate(out.data() + done, static_cast<std::size_t>(chunk), g, running);
        done += chunk;
    }
    return out;
}

}  // namespace vorl
