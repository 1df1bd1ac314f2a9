#include "core/payload.hpp"

#include <algorithm>

#include "core/column_codec.hpp"

namespace vorl {

template <class Sink>
void encode_variant(Sink& sink, const Variant& value) {
    encode_enum_tag(sink, static_cast<std::uint32_t>(value.index()));
    switch (value.index()) {
        case 0: return;
        case 1: return encode_i64(sink, std::get<1>(value));
        case 2: return encode_i64(sink, std::get<2>(value));
        case 3: return encode_f64(sink, std::get<3>(value));
        case 4: return sink.put_bytes(std::get<4>(value).bytes.data(), 8);
        case 5: return encode_str(sink, std::get<5>(value));
        case 6: return encode_bool(sink, std::get<6>(value));
        case 7: return encode_i32(sink, std::get<7>(value));
        case 8: return encode_u32(sink, std::get<8>(value));
        case 9: return encode_u64(sink, std::get<9>(value));
        case 10: return encode_f32(sink, std::get<10>(value));
        case 11: return encode_str(sink, std::get<11>(value));
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

template <class Sink>
void encode_payload(Sink& sink, const TableRef& table) {
    encode_u32(sink, table.magic_version);
    encode_len(sink, table.fields.size());
    for (const FieldRef& field : table.fields) {
        encode_str(sink, field.name);
        encode_enum_tag(sink, static_cast<std::uint32_t>(field.data_type));
        encode_metadata(sink, field.metadata);
        encode_enum_tag(sink, static_cast<std::uint32_t>(field.series.index()));
        encode_series_body(sink, field.series);
    }
    encode_metadata(sink, table.metadata);
    encode_bool(sink, table.trailer_flag);
}

template void encode_variant<SizeWriter>(SizeWriter&, const Variant&);
template void encode_variant<VecWriter>(VecWriter&, const Variant&);
template void encode_metadata<SizeWriter>(SizeWriter&, const std::optional<Metadata>&);
template void encode_metadata<VecWriter>(VecWriter&, const std::optional<Metadata>&);
template void encode_payload<SizeWriter>(SizeWriter&, const TableRef&);
template void encode_payload<VecWriter>(VecWriter&, const TableRef&);

namespace {

template <std::size_t Index, class T>
Result<Variant, DecodeError> into_variant(Result<T, DecodeError> value) {
    if (!value) return err(std::move(value).error());
    return Variant{std::in_place_index<Index>, std::move(value).value()};
}

template <std::size_t Index>
Result<Variant, DecodeError> text_variant(Result<std::string_view, DecodeError> value) {
    if (!value) return err(std::move(value).error());
    return Variant{std::in_place_index<Index>, std::string(value.value())};
}

constexpr std::uint32_t LAST_TAG = static_cast<std::uint32_t>(DATA_TYPE_COUNT - 1);

// Fields and map entries are few in real tables and large as objects; beyond
// this many the containers grow as entries actually arrive.
constexpr std::uint64_t MAX_EAGER_RESERVATION = 1024;

}  // namespace

Result<Variant, DecodeError> decode_variant(SliceReader& reader) {
    auto tag = reader.read_enum_tag(VARIANT_TYPE_NAME, LAST_TAG);
    if (!tag) return err(std::move(tag).error());
    switch (tag.value()) {
        case 0: return Variant{std::in_place_index<0>};
        case 1: return into_variant<1>(reader.read_i64());
        case 2: return into_variant<2>(reader.read_i64());
        case 3: return into_variant<3>(reader.read_f64());
        case 4: {
            auto bytes = reader.read_exact(8);
            if (!bytes) return err(std::move(bytes).error());
            D64 value;
            std::copy_n(bytes.value(), 8, value.bytes.begin());
            return Variant{std::in_place_index<4>, value};
        }
        case 5: return text_variant<5>(reader.read_str());
        case 6: return into_variant<6>(reader.read_bool());
        case 7: return into_variant<7>(reader.read_i32());
        case 8: return into_variant<8>(reader.read_u32());
        case 9: return into_variant<9>(reader.read_u64());
        case 10: return into_variant<10>(reader.read_f32());
        default: return text_variant<11>(reader.read_byte_str());
    }
}

Result<std::optional<Metadata>, DecodeError> decode_metadata(SliceReader& reader) {
    auto present = reader.read_option_tag(OPTIONAL_METADATA_TYPE_NAME);
    if (!present) return err(std::move(present).error());
    if (!present.value()) return std::optional<Metadata>{};
    auto count = reader.read_len();
    if (!count) return err(std::move(count).error());
    Metadata map;
    // Every entry takes at least two bytes (key length and tag); buckets are
    // written when reserved, so a hostile count gets a small head start only.
    map.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>({count.value(), reader.remaining() / 2, MAX_EAGER_RESERVATION})));
    for (std::uint64_t i = 0; i < count.value(); ++i) {
        auto key = reader.read_str();
        if (!key) return err(std::move(key).error());
        auto value = decode_variant(reader);
        if (!value) return err(std::move(value).error());
        metadata_insert(map, std::string(key.value()), std::move(value).value());
    }
    return std::optional<Metadata>{std::move(map)};
}

Result<Table, DecodeError> decode_payload(SliceReader& reader) {
    Table table;
    auto magic_version = reader.read_u32();
    if (!magic_version) return err(std::move(magic_version).error());
    table.magic_version = magic_version.value();

    auto field_count = reader.read_len();
    if (!field_count) return err(std::move(field_count).error());
    // Every field takes at least four bytes (name length, two tags, option tag).
    table.fields.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>({field_count.value(), reader.remaining() / 4, MAX_EAGER_RESERVATION})));
    for (std::uint64_t i = 0; i < field_count.value(); ++i) {
        Field field;
        auto name = reader.read_str();
        if (!name) return err(std::move(name).error());
        field.name = std::string(name.value());
        auto data_type = reader.read_enum_tag(DATA_TYPE_TYPE_NAME, LAST_TAG);
        if (!data_type) return err(std::move(data_type).error());
        field.data_type = static_cast<DataType>(data_type.value());
        auto metadata = decode_metadata(reader);
        if (!metadata) return err(std::move(metadata).error());
        field.metadata = std::move(metadata).value();
        // The column tag is read on its own: a producer's mismatch with
        // data_type is stored as it comes.
        auto series_tag = reader.read_enum_tag(SERIES_TYPE_NAME, LAST_TAG);
        if (!series_tag) return err(std::move(series_tag).error());
        auto series = decode_series_body(reader, static_cast<DataType>(series_tag.value()));
        if (!series) return err(std::move(series).error());
        field.series = std::move(series).value();
        table.fields.push_back(std::move(field));
    }

    auto metadata = decode_metadata(reader);
    if (!metadata) return err(std::move(metadata).error());
    table.metadata = std::move(metadata).value();
    auto trailer_flag = reader.read_bool();
    if (!trailer_flag) return err(std::move(trailer_flag).error());
    table.trailer_flag = trailer_flag.value();
    return table;
}

}  // namespace vorl
