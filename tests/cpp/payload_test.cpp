#include <gtest/gtest.h>

#include "core/payload.hpp"
#include "table_text.hpp"
#include "test_support.hpp"

namespace vorl {
namespace {

using testing::encode_both;
using testing::hex;
using testing::table_text;
using testing::TableBuilder;
using testing::to_hex;

std::vector<std::uint8_t> encode(const TableRef& table) {
    return encode_both([&](auto& sink) { encode_payload(sink, table, nullptr); });
}

std::string decode_text(const std::vector<std::uint8_t>& bytes) {
    SliceReader reader(bytes);
    auto table = decode_payload(reader, nullptr);
    return table ? table_text(table.value()) : table.error().to_string();
}

Metadata obj_x() { return make_metadata({{"obj", string_variant("x")}}); }

// A Null field "n" with each kind of field metadata.
TEST(Payload, FieldLayout) {
    const std::pair<std::optional<Metadata>, std::string> cases[] = {
        {std::nullopt, "01 6E 00 00 00"},
        {Metadata{}, "01 6E 00 01 00 00"},
        {make_metadata({{"d", Variant{std::in_place_index<4>, D64::from_parts(true, 1234, 2)}}}),
         "01 6E 00 01 01 01 64 04 00 00 00 00 00 04 D2 21 00"},
    };
    for (const auto& [metadata, expected] : cases) {
        TableBuilder builder;
        builder.null_column("n").last_field().metadata = metadata;
        const auto bytes = encode(builder.build(std::nullopt));
        // Magic (5 bytes) and field count (1) before, table option and flag (2) after.
        EXPECT_EQ(to_hex(std::span(bytes).subspan(6, bytes.size() - 8)), expected);
        EXPECT_EQ(decode_text(bytes), table_text(builder.build(std::nullopt)));
    }
}

TEST(Payload, EveryColumnTypeAndMetadataKindRoundTrips) {
    TableBuilder builder;
    builder.column<1>("when", std::vector<std::int64_t>{1'700'000'000'000'000, 1'700'000'001'000'000, -5});
    builder.column<2>("i64", std::vector<std::int64_t>{INT64_MIN, -1, 0, INT64_MAX});
    builder.column<3>("f64", std::vector<double>{1.5, -0.0, 1e300});
    builder.column<4>("dec", std::vector<D64>{D64::from_parts(false, 150, 2), D64::from_parts(true, 7, 2)});
    builder.text_column("text", {"", "h\xC3\xA9llo", "\xF0\x9F\x98\x80"});
    builder.column<6>("flag", std::vector<std::uint8_t>{1, 0, 1});
    builder.column<7>("i32", std::vector<std::int32_t>{INT32_MIN, 300, INT32_MAX});
    builder.column<8>("u32", std::vector<std::uint32_t>{0, 251, UINT32_MAX});
    builder.column<9>("u64", std::vector<std::uint64_t>{0, 65536, UINT64_MAX});
    builder.column<10>("f32", std::vector<float>{0.25f, -3.0f});
    builder.text_column("raw", {std::string("\0\xFF", 2), ""}, true);
    builder.null_column("nothing");
    builder.last_field().metadata = make_metadata({{"null", Variant{}},
                                                   {"when", datetime_variant(-1)},
                                                   {"i64", int64_variant(INT64_MIN)},
                                                   {"f64", Variant{std::in_place_index<3>, 2.5}},
                                                   {"dec", Variant{std::in_place_index<4>, D64::nan()}},
                                                   {"text", string_variant("t")},
                                                   {"bool", Variant{std::in_place_index<6>, true}},
                                                   {"i32", Variant{std::in_place_index<7>, std::int32_t{-7}}},
                                                   {"u32", Variant{std::in_place_index<8>, std::uint32_t{70000}}},
                                                   {"u64", Variant{std::in_place_index<9>, UINT64_MAX}},
                                                   {"f32", Variant{std::in_place_index<10>, 1.25f}},
                                                   {"bytes", bytes_variant(std::string("\x01\x02", 2))}});
    for (const std::optional<Metadata>& table_metadata :
         {std::optional<Metadata>{}, std::optional<Metadata>{Metadata{}}, std::optional<Metadata>{obj_x()}}) {
        const TableRef table = builder.build(table_metadata, 0xDEADBEEF, true);
        EXPECT_EQ(decode_text(encode(table)), table_text(table));
    }
}

TEST(Payload, DecodingReportsTheFirstProblem) {
    const std::pair<std::string, std::string> cases[] = {
        {"FC 01 00 7C 4D 01 01 61 0C 00 00",
         "UnexpectedVariant { type_name: \"DataType\", allowed: Range { min: 0, max: 11 }, found: 12 }"},
        {"FC 01 00 7C 4D 01 01 61 02 00 0C",
         "UnexpectedVariant { type_name: \"Series\", allowed: Range { min: 0, max: 11 }, found: 12 }"},
        {"FC 01 00 7C 4D 00 01 01 01 6B 0C",
         "UnexpectedVariant { type_name: \"Variant\", allowed: Range { min: 0, max: 11 }, found: 12 }"},
        {"FC 01 00 7C 4D 00 02 00",
         "UnexpectedVariant { type_name: \"Option<HashMap<String, Variant>>\", allowed: Range { min: 0, "
         "max: 1 }, found: 2 }"},
        {"FC 01 00 7C 4D 00 00 02", "InvalidBooleanValue(2)"},
        {"FC 01 00 7C 4D 00 00", "UnexpectedEnd { additional: 1 }"},
        {"01 01 01 61 0A 00 0A 02 00 00 80 3F 00", "UnexpectedEnd { additional: 3 }"},
        // A data type that differs from the column tag is stored as it comes.
        {"01 01 01 61 02 00 03 00 00 00", "magic=1 trailer=0 meta=absent\na type=2 meta=absent 3:[]\n"},
        // Bytes after the flag are not read.
        {"01 00 00 01 FF FF", "magic=1 trailer=1 meta=absent\n"},
        // A repeated key keeps the last value.
        {"01 00 01 02 03 6F 62 6A 05 01 61 03 6F 62 6A 05 01 62 00", "magic=1 trailer=0 meta={obj=5:\"b\";}\n"}};
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(decode_text(hex(bytes)), expected) << bytes;
}

}  // namespace
}  // namespace vorl
