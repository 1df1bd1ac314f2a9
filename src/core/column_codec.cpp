#include "core/column_codec.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>

#include "core/compact_columns.hpp"
#include "core/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorl {
namespace {

// ---- writing ----------------------------------------------------------------

template <class T>
std::uint64_t varint_bits(T value) noexcept {
    if constexpr (std::is_signed_v<T>) {
        return zigzag_encode(value);
    } else {
        return value;
    }
}

template <class Sink, class T>
void encode_varint_values(Sink& sink, std::span<const T> values) {
    encode_len(sink, values.size());
    if constexpr (Sink::counts_only) {
        std::uint64_t total = 0;
        for (const T value : values) total += varint_size(varint_bits(value));
        sink.add(total);
    } else {
        // Write as many elements unchecked as the room holds at their worst
        // case, then look at the room again; put_varint handles the last bytes.
        std::size_t i = 0;
        while (i < values.size()) {
            const std::size_t safe = std::min(values.size() - i, sink.room() / VARINT_MAX_SIZE_U64);
            if (safe == 0) {
                sink.put_varint(varint_bits(values[i++]));
                if (!sink.status()) return;
                continue;
            }
            std::uint8_t* const start = sink.cursor();
            std::uint8_t* out = start;
            for (const std::size_t stop = i + safe; i < stop; ++i) out += write_varint_unchecked(out, varint_bits(values[i]));
            sink.advance(static_cast<std::size_t>(out - start));
        }
    }
}

template <class Sink, class T>
void encode_raw_values(Sink& sink, std::span<const T> values) {
    encode_len(sink, values.size());
    sink.put_bytes(values.data(), values.size_bytes());
}

template <class Sink>
void encode_bool_values(Sink& sink, std::span<const std::uint8_t> values) {
    encode_len(sink, values.size());
    std::uint8_t* out = sink.claim(values.size());
    if (out == nullptr) return;
    // Arrays viewed as bool may hold other bytes; the format knows only 0 and 1.
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i] != 0 ? 1 : 0;
}

template <class Sink>
void encode_var_values(Sink& sink, std::span<const std::string_view> values) {
    encode_len(sink, values.size());
    for (const std::string_view value : values) encode_str(sink, value);
}

// ---- reading ----------------------------------------------------------------

// At most what the remaining input can hold when every element takes at
// least one byte: a hostile count then fails at the end of the input.
std::size_t bounded_capacity(std::uint64_t count, const SliceReader& reader) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, reader.remaining()));
}

// True when all 16 bytes at `bytes` are single-byte varints (at most 250).
inline bool sixteen_single_bytes(const std::uint8_t* bytes) noexcept {
#if defined(__SSE2__)
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const __m128i limit = _mm_set1_epi8(static_cast<char>(VARINT_MAX_SINGLE_BYTE));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(block, limit), limit)) == 0xFFFF;
#else
    unsigned over = 0;
    for (int k = 0; k < 16; ++k) over |= bytes[k] > VARINT_MAX_SINGLE_BYTE;
    return over == 0;
#endif
}

template <class T>
T from_varint_bits(std::uint64_t bits) noexcept {
    using Unsigned = std::make_unsigned_t<T>;
    if constexpr (std::is_signed_v<T>) {
        return zigzag_decode(static_cast<Unsigned>(bits));
    } else {
        return static_cast<T>(bits);
    }
}

// Reads one varint at p, which has room for the widest form, and moves p past
// it; nothing for the markers a `Wide` (or narrow) target refuses.
template <bool Wide>
inline std::optional<std::uint64_t> read_varint_unchecked(const std::uint8_t*& p) noexcept {
    const std::uint8_t marker = *p;
    if (marker <= VARINT_MAX_SINGLE_BYTE) {
        p += 1;
        return marker;
    }
    if (marker == VARINT_MARKER_U16) {
        p += 3;
        return load_le<std::uint16_t>(p - 2);
    }
    if (marker == VARINT_MARKER_U32) {
        p += 5;
        return load_le<std::uint32_t>(p - 4);
    }
    if (Wide && marker == VARINT_MARKER_U64) {
        p += 9;
        return load_le<std::uint64_t>(p - 8);
    }
    return std::nullopt;
}

// Count, then `count` variable-length integers of T (zigzag for signed T).
template <class T>
Result<Buffer<T>, DecodeError> decode_varint_values(SliceReader& reader) {
    constexpr bool wide = sizeof(T) == 8;
    constexpr std::size_t worst = wide ? VARINT_MAX_SIZE_U64 : VARINT_MAX_SIZE_U32;
    auto count = reader.read_len();
    if (!count) return err(std::move(count).error());
    const std::uint64_t n = count.value();
    Buffer<T> out = Buffer<T>::uninitialized(bounded_capacity(n, reader));
    T* values = out.data();

    std::uint64_t i = 0;
    const std::uint8_t* p = reader.position();
    const std::uint8_t* const end = p + reader.remaining();
    while (i < n) {
        const auto left = static_cast<std::size_t>(end - p);
        // Runs of small values widen sixteen at a time.
        if (left >= 16 && n - i >= 16 && sixteen_single_bytes(p)) {
            for (std::size_t k = 0; k < 16; ++k) values[i + k] = from_varint_bits<T>(p[k]);
            p += 16;
            i += 16;
            continue;
        }
        if (left >= worst) {
            if (const auto bits = read_varint_unchecked<wide>(p)) {
                values[i++] = from_varint_bits<T>(*bits);
                continue;
            }
        }
        reader.advance(static_cast<std::size_t>(p - reader.position()));
        auto bits = reader.read_varint_checked(wide ? IntegerType::U64 : IntegerType::U32);
        if (!bits) {
            if constexpr (std::is_signed_v<T>) return err(bits.error().as_signed());
            return err(std::move(bits).error());
        }
        values[i++] = from_varint_bits<T>(bits.value());
        p = reader.position();
    }
    reader.advance(static_cast<std::size_t>(p - reader.position()));
    return out;
}

// Count, then raw little-endian floats copied bit for bit.
template <class T>
Result<Buffer<T>, DecodeError> decode_raw_values(SliceReader& reader) {
    auto count = reader.read_len();
    if (!count) return err(std::move(count).error());
    const std::uint64_t n = count.value();
    const std::size_t whole = reader.remaining() / sizeof(T);
    if (n > whole) {
        // Element `whole` is the first one cut short.
        return err(DecodeError::unexpected_end(sizeof(T) - reader.remaining() % sizeof(T)));
    }
    const auto size = static_cast<std::size_t>(n);
    Buffer<T> out = Buffer<T>::uninitialized(size);
    if (size != 0) std::memcpy(out.data(), reader.position(), size * sizeof(T));
    reader.advance(size * sizeof(T));
    return out;
}

Result<Buffer<std::uint8_t>, DecodeError> decode_bool_values(SliceReader& reader) {
    auto count = reader.read_len();
    if (!count) return err(std::move(count).error());
    const std::uint64_t n = count.value();
    const std::size_t available = bounded_capacity(n, reader);
    const std::uint8_t* bytes = reader.position();
    for (std::size_t i = 0; i < available; ++i) {
        if (bytes[i] > 1) return err(DecodeError::invalid_boolean(bytes[i]));
    }
    if (n > available) return err(DecodeError::unexpected_end(1));
    Buffer<std::uint8_t> out = Buffer<std::uint8_t>::copy_of({bytes, available});
    reader.advance(available);
    return out;
}

// Two passes: the first checks every element (bounds, and UTF-8 for texts) in
// order and sums the lengths, so the second fills one exactly sized allocation.
Result<VarColumn, DecodeError> decode_var_values(SliceReader& reader, bool utf8) {
    auto count = reader.read_len();
    if (!count) return err(std::move(count).error());
    const std::uint64_t n = count.value();

    SliceReader scan = reader;
    std::size_t total = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        auto element = utf8 ? scan.read_str() : scan.read_byte_str();
        if (!element) return err(std::move(element).error());
        total += element.value().size();
    }
    VarColumn out;
    out.reserve(static_cast<std::size_t>(n), total);
    for (std::uint64_t i = 0; i < n; ++i) out.push_back(reader.read_byte_str().value());
    return out;
}

template <std::size_t Index, class Column>
Result<Series, DecodeError> into_series(Result<Column, DecodeError> column) {
    if (!column) return err(std::move(column).error());
    return Series{std::in_place_index<Index>, std::move(column).value()};
}

}  // namespace

template <class Sink>
void encode_series_body(Sink& sink, const SeriesRef& series) {
    switch (series_type(series)) {
        case DataType::Null: return;
        case DataType::DateTime: return datetime_array_bincode_encode(std::get<1>(series), sink);
        case DataType::Int64: return encode_varint_values(sink, std::get<2>(series));
        case DataType::Float64: return encode_raw_values(sink, std::get<3>(series));
        case DataType::Decimal: return d64_array_bincode_encode(std::get<4>(series), sink);
        case DataType::String: return encode_var_values(sink, std::get<5>(series));
        case DataType::Bool: return encode_bool_values(sink, std::get<6>(series));
        case DataType::Int32: return encode_varint_values(sink, std::get<7>(series));
        case DataType::UInt32: return encode_varint_values(sink, std::get<8>(series));
        case DataType::UInt64: return encode_varint_values(sink, std::get<9>(series));
        case DataType::Float32: return encode_raw_values(sink, std::get<10>(series));
        case DataType::Bytes: return encode_var_values(sink, std::get<11>(series));
    }
}

template void encode_series_body<SizeWriter>(SizeWriter&, const SeriesRef&);
template void encode_series_body<VecWriter>(VecWriter&, const SeriesRef&);

Result<Series, DecodeError> decode_series_body(SliceReader& reader, DataType tag) {
    switch (tag) {
        case DataType::Null: return Series{std::in_place_index<0>};
        case DataType::DateTime: return into_series<1>(datetime_array_bincode_decode(reader));
        case DataType::Int64: return into_series<2>(decode_varint_values<std::int64_t>(reader));
        case DataType::Float64: return into_series<3>(decode_raw_values<double>(reader));
        case DataType::Decimal: return into_series<4>(d64_array_bincode_decode(reader));
        case DataType::String: return into_series<5>(decode_var_values(reader, true));
        case DataType::Bool: return into_series<6>(decode_bool_values(reader));
        case DataType::Int32: return into_series<7>(decode_varint_values<std::int32_t>(reader));
        case DataType::UInt32: return into_series<8>(decode_varint_values<std::uint32_t>(reader));
        case DataType::UInt64: return into_series<9>(decode_varint_values<std::uint64_t>(reader));
        case DataType::Float32: return into_series<10>(decode_raw_values<float>(reader));
        case DataType::Bytes: return into_series<11>(decode_var_values(reader, false));
    }
    return Series{std::in_place_index<0>};
}

}  // namespace vorl
