#include "core/payload.hpp"

#include <algorithm>

#include "core/checksum_trail.hpp"
#include "core/column_codec.hpp"
#include "core/decimal_column.hpp"

namespace vorl {

template <class Sink>
void encode_variant(Sink& sink, const Variant& value) {
    encode_enum_tag(sink, static_cast<std::uint32_t>(value.index()));
    switch (static_cast<DataType>(value.index())) {
        case DataType::Null: return;
        case DataType::DateTime: return encode_i64(sink, get<DataType::DateTime>(value));
        case DataType::Int64: return encode_i64(sink, get<DataType::Int64>(value));
        case DataType::Float64: return encode_f64(sink, get<DataType::Float64>(value));
        case DataType::Decimal: return sink.put_bytes(get<DataType::Decimal>(value).bytes.data(), 8);
        case DataType::String: return encode_str(sink, get<DataType::String>(value));
        case DataType::Bool: return encode_bool(sink, get<DataType::Bool>(value));
        case DataType::Int32: return encode_i32(sink, get<DataType::Int32>(value));
        case DataType::UInt32: return encode_u32(sink, get<DataType::UInt32>(value));
        case DataType::UInt64: return encode_u64(sink, get<DataType::UInt64>(value));
        case DataType::Float32: return encode_f32(sink, get<DataType::Float32>(value));
        case DataType::Bytes: return encode_str(sink, get<DataType::Bytes>(value));
    }
}

template <class Sink>
void encode_metadata(Sink& sink, const std::optional<Metadata>& metadata) {
    encode_option_tag(sink, metadata.has_value());
    if (!metadata) return;
    encode_len(sink, metadata->size());
    for (const auto& [key, value] : *metadata) {
        encode_str(sink, key);
        encode_variant(sink, value);
    }
}

namespace {

// A body made earlier is copied, and folded into the trail by the same read.
template <class Sink>
void put_encoded_body(Sink& sink, std::span<const std::uint8_t> body, ChecksumTrail* trail) {
    if (Sink::counts_only || trail == nullptr) return sink.put_bytes(body.data(), body.size());
    if (std::uint8_t* out = sink.claim(body.size())) trail->copy(out, body.data(), body.size(), out);
}

}  // namespace

template <class Sink>
void encode_payload(Sink& sink, const TableRef& table, ChecksumTrail* trail) {
    encode_u32(sink, table.magic_version);
    encode_len(sink, table.fields.size());
    for (const FieldRef& field : table.fields) {
        encode_str(sink, field.name);
        encode_enum_tag(sink, static_cast<std::uint32_t>(field.data_type));
        encode_metadata(sink, field.metadata);
        encode_enum_tag(sink, static_cast<std::uint32_t>(field.series.index()));
        if (field.encoded_body.empty()) {
            encode_series_body(sink, field.series, trail);
        } else {
            put_encoded_body(sink, field.encoded_body, trail);
        }
    }
    encode_metadata(sink, table.metadata);
    encode_bool(sink, table.trailer_flag);
}

template void encode_variant<SizeWriter>(SizeWriter&, const Variant&);
template void encode_variant<VecWriter>(VecWriter&, const Variant&);
template void encode_metadata<SizeWriter>(SizeWriter&, const std::optional<Metadata>&);
template void encode_metadata<VecWriter>(VecWriter&, const std::optional<Metadata>&);
template void encode_payload<SizeWriter>(SizeWriter&, const TableRef&, ChecksumTrail*);
template void encode_payload<VecWriter>(VecWriter&, const TableRef&, ChecksumTrail*);

namespace {

template <DataType Type, class T>
Result<Variant, DecodeError> into_variant(Result<T, DecodeError> value) {
    VORL_TRY(T plain, std::move(value));
    return Variant{std::in_place_index<index_of<Type>>, std::move(plain)};
}

template <DataType Type>
Result<Variant, DecodeError> text_variant(Result<std::string_view, DecodeError> value) {
    VORL_TRY(const std::string_view text, std::move(value));
    return Variant{std::in_place_index<index_of<Type>>, std::string(text)};
}

constexpr std::uint32_t LAST_TAG = static_cast<std::uint32_t>(DATA_TYPE_COUNT - 1);

// A field, or nothing when the options' selection does not want it (its body stepped over, and
// the first such non-Null body's count kept in `skipped_rows`).
Result<std::optional<Field>, DecodeError> decode_field(SliceReader& reader, ChecksumTrail* trail,
                                                       const DecodeOptions& options,
                                                       std::optional<std::uint64_t>& skipped_rows) {
    Field field;
    VORL_TRY(const std::string_view name, reader.read_str());
    const bool wanted = options.selection == nullptr || options.selection->wants(name);
    if (wanted) field.name = std::string(name);
    VORL_TRY(const std::uint32_t data_type, reader.read_enum_tag(DATA_TYPE_TYPE_NAME, LAST_TAG));
    field.data_type = static_cast<DataType>(data_type);
    VORL_TRY(field.metadata, decode_metadata(reader));
    // The column tag is read on its own: a producer's mismatch with
    // data_type is stored as it comes.
    VORL_TRY(const std::uint32_t series_tag, reader.read_enum_tag(SERIES_TYPE_NAME, LAST_TAG));
    if (!wanted) {
        VORL_TRY(const std::uint64_t rows, skip_series_body(reader, static_cast<DataType>(series_tag)));
        if (!skipped_rows && static_cast<DataType>(series_tag) != DataType::Null) skipped_rows = rows;
        return std::optional<Field>{};
    }
    if (options.decimals_as_doubles && static_cast<DataType>(series_tag) == DataType::Decimal) {
        VORL_TRY(DecimalDoubles column, d64_array_bincode_decode_doubles(reader, trail));
        field.series.emplace<index_of<DataType::Float64>>(std::move(column.values));
        field.decimal_scale = column.scale;
        return std::optional<Field>{std::move(field)};
    }
    VORL_TRY(field.series, decode_series_body(reader, static_cast<DataType>(series_tag), trail));
    return std::optional<Field>{std::move(field)};
}

}  // namespace

Result<Variant, DecodeError> decode_variant(SliceReader& reader) {
    VORL_TRY(const std::uint32_t tag, reader.read_enum_tag(VARIANT_TYPE_NAME, LAST_TAG));
    switch (static_cast<DataType>(tag)) {
        case DataType::Null: return Variant{std::in_place_index<index_of<DataType::Null>>};
        case DataType::DateTime: return into_variant<DataType::DateTime>(reader.read_i64());
        case DataType::Int64: return into_variant<DataType::Int64>(reader.read_i64());
        case DataType::Float64: return into_variant<DataType::Float64>(reader.read_f64());
        case DataType::Decimal: {
            VORL_TRY(const std::uint8_t* bytes, reader.read_exact(8));
            D64 value;
            std::copy_n(bytes, 8, value.bytes.begin());
            return Variant{std::in_place_index<index_of<DataType::Decimal>>, value};
        }
        case DataType::String: return text_variant<DataType::String>(reader.read_str());
        case DataType::Bool: return into_variant<DataType::Bool>(reader.read_bool());
        case DataType::Int32: return into_variant<DataType::Int32>(reader.read_i32());
        case DataType::UInt32: return into_variant<DataType::UInt32>(reader.read_u32());
        case DataType::UInt64: return into_variant<DataType::UInt64>(reader.read_u64());
        case DataType::Float32: return into_variant<DataType::Float32>(reader.read_f32());
        case DataType::Bytes: break;
    }
    return text_variant<DataType::Bytes>(reader.read_byte_str());
}

Result<std::optional<Metadata>, DecodeError> decode_metadata(SliceReader& reader) {
    VORL_TRY(const bool present, reader.read_option_tag(OPTIONAL_METADATA_TYPE_NAME));
    if (!present) return std::optional<Metadata>{};
    VORL_TRY(const std::uint64_t count, reader.read_len());
    Metadata map;
    for (std::uint64_t i = 0; i < count; ++i) {
        VORL_TRY(const std::string_view key, reader.read_str());
        VORL_TRY(Variant value, decode_variant(reader));
        metadata_insert(map, std::string(key), std::move(value));
    }
    return std::optional<Metadata>{std::move(map)};
}

Result<Table, DecodeError> decode_payload(SliceReader& reader, ChecksumTrail* trail, const DecodeOptions& options) {
    Table table;
    VORL_TRY(table.magic_version, reader.read_u32());
    VORL_TRY(const std::uint64_t field_count, reader.read_len());
    // Every field takes at least four bytes (name length, two tags, option
    // tag), so this bounds the reservation by the bytes present. Reserved at
    // once: a vector that doubles as fields arrive would hold its old and new
    // storage together, half of it unused, at three times the memory.
    table.fields.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(field_count, reader.remaining() / 4)));
    for (std::uint64_t i = 0; i < field_count; ++i) {
        VORL_TRY(std::optional<Field> field, decode_field(reader, trail, options, table.skipped_rows));
        if (field) table.fields.push_back(std::move(*field));
    }
    VORL_TRY(table.metadata, decode_metadata(reader));
    VORL_TRY(table.trailer_flag, reader.read_bool());
    return table;
}

}  // namespace vorl
