#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <random>

#include "core/checksum.hpp"
#include "core/checksum_trail.hpp"
#include "core/column_codec.hpp"
#include "core/encoding.hpp"
#include "test_support.hpp"

namespace vorl {
namespace {

using testing::encode_both;
using testing::hex;
using testing::to_hex;

// Each case runs through both sinks; encode_both checks that they agree.
#define ENCODED(call) to_hex(encode_both([](auto& sink) { call; }))

TEST(Encoding, ValueKindsHaveTheirExactBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {ENCODED(encode_u64(sink, 250)), "FA"},
        {ENCODED(encode_u64(sink, 251)), "FB FB 00"},
        {ENCODED(encode_u64(sink, 65536)), "FC 00 00 01 00"},
        {ENCODED(encode_u32(sink, 0xFFFFFFFFu)), "FC FF FF FF FF"},
        {ENCODED(encode_u64(sink, 4294967296ull)), "FD 00 00 00 00 01 00 00 00"},
        {ENCODED(encode_i64(sink, -1)), "01"},
        {ENCODED(encode_i64(sink, -126)), "FB FB 00"},
        {ENCODED(encode_i64(sink, std::numeric_limits<std::int64_t>::min())), "FD FF FF FF FF FF FF FF FF"},
        {ENCODED(encode_i32(sink, std::numeric_limits<std::int32_t>::min())), "FC FF FF FF FF"},
        {ENCODED(encode_f64(sink, 1.0)), "00 00 00 00 00 00 F0 3F"},
        {ENCODED(encode_f32(sink, -2.0f)), "00 00 00 C0"},
        {ENCODED(encode_str(sink, "obj")), "03 6F 62 6A"},
    };
    for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

TEST(Encoding, VecWriterRefusesToOverrunItsBuffer) {
    std::vector<std::uint8_t> bytes(2);
    VecWriter writer(bytes);
    encode_u64(writer, 65536);
    EXPECT_FALSE(writer.status().ok());
}

// The value read, or the first error.
template <class Result>
std::string shown(const Result& result) {
    if (!result) return result.error().to_string();
    if constexpr (std::is_same_v<std::decay_t<decltype(result.value())>, std::string_view>) {
        return "\"" + std::string(result.value()) + "\"";
    } else if constexpr (std::is_arithmetic_v<std::decay_t<decltype(result.value())>>) {
        return std::to_string(result.value());
    } else {
        return "ok " + std::to_string(series_length(result.value()));
    }
}

#define READ(call) [](SliceReader& reader) { return shown(reader.call); }
#define COLUMN(tag) [](SliceReader& reader) { return shown(decode_series_body(reader, DataType::tag, nullptr)); }

TEST(Decoding, GivesTheValueOrTheFirstError) {
    const std::tuple<std::function<std::string(SliceReader&)>, std::string, std::string> cases[] = {
        {READ(read_u64()), "FB 05 00", "5"},  // non-minimal forms are accepted
        {READ(read_u64()), "FD 00 00 00 00 01 00 00 00", "4294967296"},
        {READ(read_u32()), "FD 00 00 00 00 01 00 00 00", "InvalidIntegerType { expected: U32, found: U64 }"},
        {READ(read_u64()), "FE", "InvalidIntegerType { expected: U64, found: U128 }"},
        {READ(read_u64()), "FF", "InvalidIntegerType { expected: U64, found: Reserved }"},
        {READ(read_i64()), "FE", "InvalidIntegerType { expected: I64, found: I128 }"},
        {READ(read_i32()), "FD 00 00 00 00 00 00 00 00", "InvalidIntegerType { expected: I32, found: I64 }"},
        {READ(read_u64()), "", "UnexpectedEnd { additional: 1 }"},
        {READ(read_u64()), "FD 01 02 03", "UnexpectedEnd { additional: 5 }"},
        {READ(read_i64()), "FD FF FF FF FF FF FF FF FF", "-9223372036854775808"},
        {READ(read_i32()), "FC FE FF FF FF", "2147483647"},
        {READ(read_f32()), "00 00", "UnexpectedEnd { additional: 2 }"},
        {READ(read_bool()), "02", "InvalidBooleanValue(2)"},
        {READ(read_option_tag("Option<T>")), "02",
         "UnexpectedVariant { type_name: \"Option<T>\", allowed: Range { min: 0, max: 1 }, found: 2 }"},
        {READ(read_enum_tag("Series", 11)), "0C",
         "UnexpectedVariant { type_name: \"Series\", allowed: Range { min: 0, max: 11 }, found: 12 }"},
        {READ(read_enum_tag("Series", 11)), "FB 0B 00", "11"},
        {READ(read_str()), "0A 61 62 63 64", "UnexpectedEnd { additional: 6 }"},
        {READ(read_str()), "FD 00 00 00 00 00 00 00 10 61", "UnexpectedEnd { additional: 1152921504606846975 }"},
        {READ(read_byte_str()), "02 FF FE", "\"\xFF\xFE\""},
        {READ(read_str()), "04 F0 9F 98 80", "\"\xF0\x9F\x98\x80\""},
        {READ(read_str()), "01 FF", "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        {READ(read_str()), "04 61 62 E2 82", "Utf8 { inner: Utf8Error { valid_up_to: 2, error_len: None } }"},
        {READ(read_str()), "03 ED A0 80", "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        {READ(read_str()), "04 F4 90 80 80", "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        {READ(read_str()), "0C 61 61 61 61 61 61 61 61 F0 9F 98 28",
         "Utf8 { inner: Utf8Error { valid_up_to: 8, error_len: Some(3) } }"},
        {COLUMN(Float64), "02 00 00 00 00 00 00 F0 3F 00 00 00 00", "UnexpectedEnd { additional: 4 }"},
        {COLUMN(Float32), "01", "UnexpectedEnd { additional: 4 }"},
        {COLUMN(Bool), "03 00 01 05", "InvalidBooleanValue(5)"},
        {COLUMN(Int32), "02 01 FD 00 00 00 00 00 00 00 00", "InvalidIntegerType { expected: I32, found: I64 }"},
        {COLUMN(UInt32), "01 FD 00 00 00 00 00 00 00 00", "InvalidIntegerType { expected: U32, found: U64 }"},
        {COLUMN(UInt64), "02 05 FE", "InvalidIntegerType { expected: U64, found: U128 }"},
        {COLUMN(Int64), "03 02 FB 58", "UnexpectedEnd { additional: 1 }"},
        {COLUMN(String), "02 01 61 01 FF", "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        {COLUMN(Bytes), "02 01 FF 01 FE", "ok 2"},
    };
    for (const auto& [read, bytes, expected] : cases) {
        const auto input = hex(bytes);
        SliceReader reader(input);
        EXPECT_EQ(read(reader), expected) << bytes;
    }
}

// Every element kind through both sinks and back, with values at each varint
// boundary and enough of them to run the bulk paths and their tails.
template <class T>
std::vector<T> boundary_values() {
    std::vector<T> values;
    std::mt19937_64 random(7);
    const std::vector<std::uint64_t> edges = {0,   1,     2,     124,   125,        126,           250,
                                              251, 32767, 65535, 65536, 2147483647, 4294967295ull, 4294967296ull};
    for (int round = 0; round < 40; ++round) {
        for (std::uint64_t edge : edges) values.push_back(static_cast<T>(edge));
        for (int k = 0; k < 37; ++k) values.push_back(static_cast<T>(random() % 100));
        values.push_back(static_cast<T>(random()));
        values.push_back(std::numeric_limits<T>::min());
        values.push_back(std::numeric_limits<T>::max());
    }
    return values;
}

// Bit for bit, and cut at every length near the end the checked tail must take over.
template <std::size_t Index, class T>
void expect_round_trip(const std::vector<T>& values) {
    const SeriesRef view{std::in_place_index<Index>, std::span<const T>(values)};
    const auto bytes = encode_both([&](auto& sink) { encode_series_body(sink, view, nullptr); });
    for (std::size_t cut = 0; cut <= 12 && cut <= bytes.size(); ++cut) {
        std::vector<std::uint8_t> prefix(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(cut));
        SliceReader reader(prefix);
        auto decoded = decode_series_body(reader, static_cast<DataType>(Index), nullptr);
        if (cut == 0) {
            ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
            const auto& column = std::get<Index>(decoded.value());
            ASSERT_EQ(column.size(), values.size());
            EXPECT_EQ(std::memcmp(column.data(), values.data(), values.size() * sizeof(T)), 0);
            EXPECT_EQ(reader.remaining(), 0u);
        } else {
            ASSERT_FALSE(decoded.ok());
            EXPECT_EQ(decoded.error().kind, DecodeError::Kind::UnexpectedEnd);
        }
    }
}

TEST(Encoding, ColumnsRoundTripThroughBothSinks) {
    expect_round_trip<2>(boundary_values<std::int64_t>());
    expect_round_trip<7>(boundary_values<std::int32_t>());
    expect_round_trip<8>(boundary_values<std::uint32_t>());
    expect_round_trip<9>(boundary_values<std::uint64_t>());
    expect_round_trip<3>(std::vector<double>{std::bit_cast<double>(0x7FF8'0000'0000'1234ull), -0.0,
                                             std::numeric_limits<double>::infinity()});
    expect_round_trip<10>(std::vector<float>{std::bit_cast<float>(0x7FC0'0123u), -0.0f});
}

TEST(Encoding, BoolViewsAreNormalisedToZeroAndOne) {
    const std::vector<std::uint8_t> raw = {0, 1, 2, 255};
    const SeriesRef view{std::in_place_index<6>, std::span<const std::uint8_t>(raw)};
    EXPECT_EQ(to_hex(encode_both([&](auto& sink) { encode_series_body(sink, view, nullptr); })), "04 00 01 01 01");
}

// Given a trail over the content, a fixed-width body keeps its bytes and values
// and the trail ends at their checksum; a bool byte above 1 is refused as without.
TEST(Encoding, FixedWidthBodiesFoldIntoTheTrailTheyAreGiven) {
    const std::vector<double> doubles = {1.5, -0.0, std::bit_cast<double>(0x7FF8'0000'0000'1234ull)};
    const std::vector<float> floats = {2.5f, std::bit_cast<float>(0x7FC0'0123u)};
    const std::vector<std::uint8_t> bools = {0, 1, 2, 255};
    for (const SeriesRef& view : {SeriesRef{std::in_place_index<3>, std::span<const double>(doubles)},
                                  SeriesRef{std::in_place_index<10>, std::span<const float>(floats)},
                                  SeriesRef{std::in_place_index<6>, std::span<const std::uint8_t>(bools)}}) {
        const auto expected = encode_both([&](auto& sink) { encode_series_body(sink, view, nullptr); });
        std::vector<std::uint8_t> bytes(expected.size());
        VecWriter writer(bytes);
        ChecksumTrail written(bytes);
        encode_series_body(writer, view, &written);
        EXPECT_EQ(bytes, expected);
        EXPECT_EQ(written.finish(), crc32(expected));
        SliceReader reader(bytes);
        ChecksumTrail read(bytes);
        const auto decoded = decode_series_body(reader, series_type(view), &read);
        ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
        EXPECT_EQ(read.finish(), crc32(bytes));
    }
    const auto damaged = hex("03 00 02 01");
    SliceReader reader(damaged);
    ChecksumTrail trail(damaged);
    EXPECT_EQ(shown(decode_series_body(reader, DataType::Bool, &trail)), "InvalidBooleanValue(2)");
}

}  // namespace
}  // namespace vorl
