#include "core/column_codec.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>

#include "core/checksum_trail.hpp"
#include "core/datetime_column.hpp"
#include "core/decimal_column.hpp"
#include "core/huge_pages.hpp"
#include "core/kernels/byte_scans.hpp"

namespace vorl {
namespace {

// ---- writing ----------------------------------------------------------------

// Values written between two folds of the checksum trail: their bytes are
// still in the first- or second-level cache.
constexpr std::size_t FOLDED_RUN = 4096;

template <class Sink, class T>
void encode_varint_values(Sink& sink, std::span<const T> values, ChecksumTrail* trail) {
    encode_len(sink, values.size());
    if constexpr (Sink::counts_only) {
        sink.add(varint_run_size(values.data(), values.size()));
    } else {
        // Write as many elements unchecked as the room holds at their worst
        // case, then look at the room again; put_varint handles the last bytes.
        std::size_t i = 0;
        while (i < values.size()) {
            const std::size_t safe = std::min({values.size() - i, sink.room() / VARINT_MAX_SIZE_U64, FOLDED_RUN});
            if (safe == 0) {
                sink.put_varint(varint_bits(values[i++]));
                if (!sink.status()) return;
                continue;
            }
            sink.advance(write_varint_run(sink.cursor(), values.data() + i, safe));
            if (trail != nullptr) trail->fold_up_to(sink.cursor());
            i += safe;
        }
    }
}

template <class Sink, class T>
void encode_raw_values(Sink& sink, std::span<const T> values, ChecksumTrail* trail) {
    encode_len(sink, values.size());
    if (Sink::counts_only || trail == nullptr || values.empty()) {
        return sink.put_bytes(values.data(), values.size_bytes());
    }
    if (std::uint8_t* out = sink.claim(values.size_bytes())) {
        trail->copy(out, reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes(), out);
    }
}

template <class Sink>
void encode_bool_values(Sink& sink, std::span<const std::uint8_t> values, ChecksumTrail* trail) {
    encode_len(sink, values.size());
    std::uint8_t* out = sink.claim(values.size());
    if (out == nullptr) return;
    if (trail != nullptr) return trail->copy_normalised_bools(out, values.data(), values.size());
    byte_scan_kernels().normalise_bools(out, values.data(), values.size());
}

// Copies up to 16 bytes with a few overlapping loads, instead of a call to
// memcpy per short text; never reads outside [from, from + count).
inline void copy_short(std::uint8_t* to, const char* from, std::size_t count) noexcept {
    if (count >= 8) {
        const auto head = load_le<std::uint64_t>(reinterpret_cast<const std::uint8_t*>(from));
        const auto tail = load_le<std::uint64_t>(reinterpret_cast<const std::uint8_t*>(from + count - 8));
        store_le(to, head);
        store_le(to + count - 8, tail);
    } else if (count >= 4) {
        const auto head = load_le<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(from));
        const auto tail = load_le<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(from + count - 4));
        store_le(to, head);
        store_le(to + count - 4, tail);
    } else if (count > 0) {
        to[0] = static_cast<std::uint8_t>(from[0]);
        to[count / 2] = static_cast<std::uint8_t>(from[count / 2]);
        to[count - 1] = static_cast<std::uint8_t>(from[count - 1]);
    }
}

template <class Sink>
void encode_var_values(Sink& sink, std::span<const std::string_view> values) {
    encode_len(sink, values.size());
    if constexpr (Sink::counts_only) {
        std::uint64_t total = 0;
        for (const std::string_view value : values) total += varint_size(value.size()) + value.size();
        sink.add(total);
    } else {
        // Short texts (the common case) take one length byte and a short copy;
        // encode_str, which defines the bytes, takes the rest.
        constexpr std::size_t SHORT = 16;
        for (const std::string_view value : values) {
            if (value.size() <= SHORT && sink.room() >= 1 + SHORT) {
                std::uint8_t* out = sink.cursor();
                out[0] = static_cast<std::uint8_t>(value.size());
                copy_short(out + 1, value.data(), value.size());
                sink.advance(1 + value.size());
            } else {
                encode_str(sink, value);
            }
        }
    }
}

// ---- reading ----------------------------------------------------------------

// Count, then `count` variable-length integers of T (zigzag for signed T).
template <class T>
Result<Buffer<T>, DecodeError> decode_varint_values(SliceReader& reader, ChecksumTrail* trail) {
    VORL_TRY(const std::uint64_t count, reader.read_len());
    Buffer<T> out = Buffer<T>::uninitialized(bounded_capacity(count, reader));
    advise_huge_pages(out.data(), out.capacity() * sizeof(T));
    if (trail == nullptr) {
        VORL_TRY_VOID(reader.read_varint_run(count, out.data()));
        return out;
    }
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t run = std::min<std::uint64_t>(count - done, FOLDED_RUN);
        VORL_TRY_VOID(reader.read_varint_run(run, out.data() + done));
        trail->fold_up_to(reader.position());
        done += run;
    }
    return out;
}

// Count, then raw little-endian floats copied bit for bit.
template <class T>
Result<Buffer<T>, DecodeError> decode_raw_values(SliceReader& reader, ChecksumTrail* trail) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    const std::size_t whole = reader.remaining() / sizeof(T);
    if (n > whole) {
        // Element `whole` is the first one cut short.
        return err(DecodeError::unexpected_end(sizeof(T) - reader.remaining() % sizeof(T)));
    }
    const auto size = static_cast<std::size_t>(n);
    Buffer<T> out = Buffer<T>::uninitialized(size);
    advise_huge_pages(out.data(), size * sizeof(T));
    if (size != 0) {
        const std::size_t bytes = size * sizeof(T);
        auto* to = reinterpret_cast<std::uint8_t*>(out.data());
        if (trail != nullptr) {
            trail->copy(to, reader.position(), bytes, reader.position());
        } else {
            std::memcpy(to, reader.position(), bytes);
        }
    }
    reader.advance(size * sizeof(T));
    return out;
}

Result<Buffer<std::uint8_t>, DecodeError> decode_bool_values(SliceReader& reader, ChecksumTrail* trail) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    const std::size_t available = bounded_capacity(n, reader);
    const std::uint8_t* bytes = reader.position();
    Buffer<std::uint8_t> out = Buffer<std::uint8_t>::uninitialized(available);
    advise_huge_pages(out.data(), available);
    const ByteScanKernels& scans = byte_scan_kernels();
    if (trail == nullptr ? scans.copy_booleans(out.data(), bytes, available) != available
                         : !trail->copy_bools(out.data(), bytes, available)) {
        return err(DecodeError::invalid_boolean(bytes[scans.copy_booleans(out.data(), bytes, available)]));
    }
    if (n > available) return err(DecodeError::unexpected_end(1));
    reader.advance(available);
    return out;
}

// The bytes of `count` elements with one-byte lengths that all lie within
// [p, end); nothing when an element has a longer length form or runs past
// the end. Adds the text bytes to `total`.
std::optional<std::size_t> short_elements_span(const std::uint8_t* p, const std::uint8_t* end, std::uint64_t count,
                                               std::size_t& total) noexcept {
    const std::uint8_t* const start = p;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (p == end) return std::nullopt;
        const std::size_t size = *p;
        if (size > VARINT_MAX_SINGLE_BYTE || size >= static_cast<std::size_t>(end - p)) return std::nullopt;
        total += size;
        p += 1 + size;
    }
    return static_cast<std::size_t>(p - start);
}

// Two passes: the first checks every element (bounds, and UTF-8 for texts) in
// order and sums the lengths, so the second fills one exactly sized allocation.
// The first pass walks the lengths alone when all are one byte; a body that
// is then ASCII throughout (its length bytes below 128 included) holds only
// valid texts. Otherwise read_str/read_byte_str check element by element and
// report the first failure.
Result<VarColumn, DecodeError> decode_var_values(SliceReader& reader, bool utf8) {
    VORL_TRY(const std::uint64_t n, reader.read_len());

    std::size_t total = 0;
    const std::uint8_t* const start = reader.position();
    const auto span = short_elements_span(start, start + reader.remaining(), n, total);
    if (!span || (utf8 && !byte_scan_kernels().is_ascii(start, *span))) {
        SliceReader scan = reader;
        total = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint8_t* p = scan.position();
            const std::size_t left = scan.remaining();
            if (left != 0 && *p <= VARINT_MAX_SINGLE_BYTE && std::size_t{*p} < left &&
                (!utf8 || all_ascii(p + 1, *p))) {
                total += *p;
                scan.advance(std::size_t{1} + *p);
                continue;
            }
            VORL_TRY(auto element, utf8 ? scan.read_str() : scan.read_byte_str());
            total += element.size();
        }
    }
    // The first pass vouches for these bytes only while they stay as they
    // were; every advance is bounded all the same, so bytes that changed in
    // between give an error, never a read past the end.
    VarColumn out;
    out.reserve(static_cast<std::size_t>(n), total);
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint8_t* p = reader.position();
        const std::size_t left = reader.remaining();
        if (left != 0 && *p <= VARINT_MAX_SINGLE_BYTE && std::size_t{*p} < left) {
            out.push_back({reinterpret_cast<const char*>(p + 1), *p});
            reader.advance(std::size_t{1} + *p);
        } else {
            VORL_TRY(const auto element, reader.read_byte_str());
            out.push_back(element);
        }
    }
    return out;
}

template <DataType Type, class Column>
Result<Series, DecodeError> into_series(Result<Column, DecodeError> column) {
    VORL_TRY(Column values, std::move(column));
    return Series{std::in_place_index<index_of<Type>>, std::move(values)};
}

}  // namespace

template <class Sink>
void encode_series_body(Sink& sink, const SeriesRef& series, ChecksumTrail* trail) {
    switch (series_type(series)) {
        case DataType::Null: return;
        case DataType::DateTime: return datetime_array_bincode_encode(get<DataType::DateTime>(series), sink);
        case DataType::Int64: return encode_varint_values(sink, get<DataType::Int64>(series), trail);
        case DataType::Float64: return encode_raw_values(sink, get<DataType::Float64>(series), trail);
        case DataType::Decimal: return d64_array_bincode_encode(get<DataType::Decimal>(series), sink);
        case DataType::String: return encode_var_values(sink, get<DataType::String>(series));
        case DataType::Bool: return encode_bool_values(sink, get<DataType::Bool>(series), trail);
        case DataType::Int32: return encode_varint_values(sink, get<DataType::Int32>(series), trail);
        case DataType::UInt32: return encode_varint_values(sink, get<DataType::UInt32>(series), trail);
        case DataType::UInt64: return encode_varint_values(sink, get<DataType::UInt64>(series), trail);
        case DataType::Float32: return encode_raw_values(sink, get<DataType::Float32>(series), trail);
        case DataType::Bytes: return encode_var_values(sink, get<DataType::Bytes>(series));
    }
}

Buffer<std::uint8_t> room_for_body(std::size_t count) {
    auto body = Buffer<std::uint8_t>::uninitialized(VARINT_MAX_SIZE_U64 * (count + 3));
    advise_huge_pages(body.data(), body.size());
    return body;
}

template <class T>
std::optional<Buffer<std::uint8_t>> encode_short_varint_body(std::span<const T> values) {
    // The first values stand for the column. The body is held beside the frame
    // until it is copied in, so long varints are left to the two passes, which
    // need no memory but the frame's.
    const std::size_t sampled = std::min<std::size_t>(values.size(), FOLDED_RUN);
    if (varint_run_size(values.data(), sampled) > sampled * sizeof(T) / 2) return std::nullopt;
    auto body = room_for_body(values.size());
    VecWriter sink(body.span());
    encode_varint_values(sink, values, nullptr);
    body.truncate(sink.size());
    return body;
}

template std::optional<Buffer<std::uint8_t>> encode_short_varint_body(std::span<const std::int32_t>);
template std::optional<Buffer<std::uint8_t>> encode_short_varint_body(std::span<const std::uint32_t>);
template std::optional<Buffer<std::uint8_t>> encode_short_varint_body(std::span<const std::int64_t>);
template std::optional<Buffer<std::uint8_t>> encode_short_varint_body(std::span<const std::uint64_t>);

template void encode_series_body<SizeWriter>(SizeWriter&, const SeriesRef&, ChecksumTrail*);
template void encode_series_body<VecWriter>(VecWriter&, const SeriesRef&, ChecksumTrail*);

namespace {

template <class T>
Result<std::uint64_t, DecodeError> skip_varints(SliceReader& reader) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    VORL_TRY_VOID(reader.skip_varint_run<T>(n));
    return n;
}

Result<std::uint64_t, DecodeError> skip_raw_values(SliceReader& reader, std::size_t size) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    if (n > reader.remaining() / size) return err(DecodeError::unexpected_end(size - reader.remaining() % size));
    reader.advance(static_cast<std::size_t>(n) * size);
    return n;
}

Result<std::uint64_t, DecodeError> skip_bool_values(SliceReader& reader) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    const std::size_t available = bounded_capacity(n, reader);
    const std::uint8_t* bytes = reader.position();
    const ByteScanKernels& scans = byte_scan_kernels();
    std::uint8_t scratch[4096];
    for (std::size_t done = 0; done < available;) {
        const std::size_t chunk = std::min(available - done, sizeof scratch);
        const std::size_t good = scans.copy_booleans(scratch, bytes + done, chunk);
        if (good != chunk) return err(DecodeError::invalid_boolean(bytes[done + good]));
        done += chunk;
    }
    if (n > available) return err(DecodeError::unexpected_end(1));
    reader.advance(available);
    return n;
}

Result<std::uint64_t, DecodeError> skip_var_values(SliceReader& reader) {
    VORL_TRY(const std::uint64_t n, reader.read_len());
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint8_t* p = reader.position();
        const std::size_t left = reader.remaining();
        if (left != 0 && *p <= VARINT_MAX_SINGLE_BYTE && std::size_t{*p} < left) {
            reader.advance(std::size_t{1} + *p);
        } else {
            VORL_TRY_VOID(reader.read_byte_str());
        }
    }
    return n;
}

}  // namespace

Result<std::uint64_t, DecodeError> skip_series_body(SliceReader& reader, DataType tag) {
    switch (tag) {
        case DataType::Null: return std::uint64_t{0};
        case DataType::DateTime: return datetime_array_bincode_skip(reader);
        case DataType::Int64: return skip_varints<std::int64_t>(reader);
        case DataType::Float64: return skip_raw_values(reader, sizeof(double));
        case DataType::Decimal: return d64_array_bincode_skip(reader);
        case DataType::String:
        case DataType::Bytes: return skip_var_values(reader);
        case DataType::Bool: return skip_bool_values(reader);
        case DataType::Int32: return skip_varints<std::int32_t>(reader);
        case DataType::UInt32: return skip_varints<std::uint32_t>(reader);
        case DataType::UInt64: return skip_varints<std::uint64_t>(reader);
        case DataType::Float32: return skip_raw_values(reader, sizeof(float));
    }
    return std::uint64_t{0};
}

Result<Series, DecodeError> decode_series_body(SliceReader& reader, DataType tag, ChecksumTrail* trail) {
    switch (tag) {
        case DataType::Null: return Series{std::in_place_index<index_of<DataType::Null>>};
        case DataType::DateTime: return into_series<DataType::DateTime>(datetime_array_bincode_decode(reader, trail));
        case DataType::Int64: return into_series<DataType::Int64>(decode_varint_values<std::int64_t>(reader, trail));
        case DataType::Float64: return into_series<DataType::Float64>(decode_raw_values<double>(reader, trail));
        case DataType::Decimal: return into_series<DataType::Decimal>(d64_array_bincode_decode(reader, trail));
        case DataType::String: return into_series<DataType::String>(decode_var_values(reader, true));
        case DataType::Bool: return into_series<DataType::Bool>(decode_bool_values(reader, trail));
        case DataType::Int32: return into_series<DataType::Int32>(decode_varint_values<std::int32_t>(reader, trail));
        case DataType::UInt32: return into_series<DataType::UInt32>(decode_varint_values<std::uint32_t>(reader, trail));
        case DataType::UInt64: return into_series<DataType::UInt64>(decode_varint_values<std::uint64_t>(reader, trail));
        case DataType::Float32: return into_series<DataType::Float32>(decode_raw_values<float>(reader, trail));
        case DataType::Bytes: return into_series<DataType::Bytes>(decode_var_values(reader, false));
    }
    return Series{std::in_place_index<index_of<DataType::Null>>};
}

}  // namespace vorl
