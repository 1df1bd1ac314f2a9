#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <random>

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
        {ENCODED(encode_option_tag(sink, false)), "00"},
        {ENCODED(encode_bool(sink, true)), "01"},
    };
    for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

TEST(Encoding, VecWriterRefusesToOverrunItsBuffer) {
    std::vector<std::uint8_t> bytes(2);
    VecWriter writer(bytes);
    encode_u64(writer, 65536);
    EXPECT_FALSE(writer.status().ok());
}

enum class Op { U32, U64, I32, I64, F32, Bool, Option, Enum, Str, ByteStr, Column };

std::string read_as(Op op, DataType tag, const std::vector<std::uint8_t>& bytes) {
    SliceReader reader(bytes);
    auto show = [](auto result) -> std::string {
        if (!result) return result.error().to_string();
        if constexpr (std::is_same_v<std::decay_t<decltype(result.value())>, std::string_view>) {
            return "\"" + std::string(result.value()) + "\"";
        } else {
            return std::to_string(result.value());
        }
    };
    switch (op) {
        case Op::U32: return show(reader.read_u32());
        case Op::U64: return show(reader.read_u64());
        case Op::I32: return show(reader.read_i32());
        case Op::I64: return show(reader.read_i64());
        case Op::F32: return show(reader.read_f32());
        case Op::Bool: return show(reader.read_bool());
        case Op::Option: return show(reader.read_option_tag("Option<T>"));
        case Op::Enum: return show(reader.read_enum_tag("Series", 11));
        case Op::Str: return show(reader.read_str());
        case Op::ByteStr: return show(reader.read_byte_str());
        case Op::Column: {
            auto series = decode_series_body(reader, tag);
            if (!series) return series.error().to_string();
            return "ok " + std::to_string(series_length(series.value()));
        }
    }
    return "?";
}

struct DecodeCase {
    Op op;
    std::string bytes;
    std::string expected;
    DataType tag = DataType::Null;  // for Op::Column
};

DecodeCase column(DataType tag, std::string bytes, std::string expected) {
    return DecodeCase{Op::Column, std::move(bytes), std::move(expected), tag};
}

class Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoding, GivesTheValueOrTheFirstError) {
    EXPECT_EQ(read_as(GetParam().op, GetParam().tag, hex(GetParam().bytes)), GetParam().expected) << GetParam().bytes;
}

INSTANTIATE_TEST_SUITE_P(
    PrimitiveForms, Decoding,
    ::testing::Values(
        DecodeCase{Op::U64, "FB 05 00", "5"},  // non-minimal forms are accepted
        DecodeCase{Op::U64, "FD 00 00 00 00 01 00 00 00", "4294967296"},
        DecodeCase{Op::U32, "FD 00 00 00 00 01 00 00 00", "InvalidIntegerType { expected: U32, found: U64 }"},
        DecodeCase{Op::U64, "FE", "InvalidIntegerType { expected: U64, found: U128 }"},
        DecodeCase{Op::U64, "FF", "InvalidIntegerType { expected: U64, found: Reserved }"},
        DecodeCase{Op::I64, "FE", "InvalidIntegerType { expected: I64, found: I128 }"},
        DecodeCase{Op::I32, "FD 00 00 00 00 00 00 00 00", "InvalidIntegerType { expected: I32, found: I64 }"},
        DecodeCase{Op::U64, "", "UnexpectedEnd { additional: 1 }"},
        DecodeCase{Op::U64, "FB", "UnexpectedEnd { additional: 2 }"},
        DecodeCase{Op::U64, "FD 01 02 03", "UnexpectedEnd { additional: 5 }"},
        DecodeCase{Op::I64, "FD FF FF FF FF FF FF FF FF", "-9223372036854775808"},
        DecodeCase{Op::I32, "FC FE FF FF FF", "2147483647"},
        DecodeCase{Op::F32, "00 00", "UnexpectedEnd { additional: 2 }"},
        DecodeCase{Op::Bool, "02", "InvalidBooleanValue(2)"},
        DecodeCase{Op::Option, "02",
                   "UnexpectedVariant { type_name: \"Option<T>\", allowed: Range { min: 0, max: 1 }, found: 2 }"},
        DecodeCase{Op::Enum, "0C",
                   "UnexpectedVariant { type_name: \"Series\", allowed: Range { min: 0, max: 11 }, found: 12 }"},
        DecodeCase{Op::Enum, "FB 0B 00", "11"},
        DecodeCase{Op::Str, "0A 61 62 63 64", "UnexpectedEnd { additional: 6 }"},
        DecodeCase{Op::Str, "FD 00 00 00 00 00 00 00 10 61", "UnexpectedEnd { additional: 1152921504606846975 }"},
        DecodeCase{Op::ByteStr, "02 FF FE", "\"\xFF\xFE\""},
        DecodeCase{Op::Str, "01 FF", "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        DecodeCase{Op::Str, "04 61 62 E2 82", "Utf8 { inner: Utf8Error { valid_up_to: 2, error_len: None } }"},
        DecodeCase{Op::Str, "03 ED A0 80", "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        DecodeCase{Op::Str, "04 F4 90 80 80", "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        DecodeCase{Op::Str, "0C 61 61 61 61 61 61 61 61 F0 9F 98 28",
                   "Utf8 { inner: Utf8Error { valid_up_to: 8, error_len: Some(3) } }"},
        DecodeCase{Op::Str, "04 F0 9F 98 80", "\"\xF0\x9F\x98\x80\""}));

INSTANTIATE_TEST_SUITE_P(
    Sequences, Decoding,
    ::testing::Values(
        column(DataType::Float64, "02 00 00 00 00 00 00 F0 3F 00 00 00 00", "UnexpectedEnd { additional: 4 }"),
        column(DataType::Float32, "01", "UnexpectedEnd { additional: 4 }"),
        column(DataType::Bool, "03 00 01 05", "InvalidBooleanValue(5)"),
        column(DataType::Int32, "02 01 FD 00 00 00 00 00 00 00 00",
                   "InvalidIntegerType { expected: I32, found: I64 }"),
        column(DataType::UInt32, "01 FD 00 00 00 00 00 00 00 00",
                   "InvalidIntegerType { expected: U32, found: U64 }"),
        column(DataType::UInt64, "02 05 FE", "InvalidIntegerType { expected: U64, found: U128 }"),
        column(DataType::Int64, "03 02 FB 58", "UnexpectedEnd { additional: 1 }"),
        column(DataType::String, "02 01 61 01 FF", "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"),
        column(DataType::Bytes, "02 01 FF 01 FE", "ok 2")));

// Every element kind through both sinks and back, with values at each varint
// boundary and enough of them to run the bulk paths and their tails.
template <class T>
std::vector<T> boundary_values() {
    std::vector<T> values;
    std::mt19937_64 random(7);
    const std::vector<std::uint64_t> edges = {0, 1, 2, 124, 125, 126, 250, 251, 32767, 65535, 65536, 2147483647,
                                              4294967295ull, 4294967296ull};
    for (int round = 0; round < 40; ++round) {
        for (std::uint64_t edge : edges) values.push_back(static_cast<T>(edge));
        for (int k = 0; k < 37; ++k) values.push_back(static_cast<T>(random() % 100));
        values.push_back(static_cast<T>(random()));
        values.push_back(std::numeric_limits<T>::min());
        values.push_back(std::numeric_limits<T>::max());
    }
    return values;
}

template <std::size_t Index, class T>
void expect_integer_round_trip() {
    const std::vector<T> values = boundary_values<T>();
    const SeriesRef view{std::in_place_index<Index>, std::span<const T>(values)};
    const auto bytes = encode_both([&](auto& sink) { encode_series_body(sink, view); });
    // Cut the input at every length near the end: the checked tail must take over.
    for (std::size_t cut = 0; cut <= 12 && cut <= bytes.size(); ++cut) {
        std::vector<std::uint8_t> prefix(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(cut));
        SliceReader reader(prefix);
        auto decoded = decode_series_body(reader, static_cast<DataType>(Index));
        if (cut == 0) {
            ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
            const auto& column = std::get<Index>(decoded.value());
            ASSERT_EQ(column.size(), values.size());
            for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(column[i], values[i]) << i;
            EXPECT_EQ(reader.remaining(), 0u);
        } else {
            ASSERT_FALSE(decoded.ok());
            EXPECT_EQ(decoded.error().kind, DecodeError::Kind::UnexpectedEnd);
        }
    }
}

TEST(Encoding, IntegerColumnsRoundTripThroughBothSinks) {
    expect_integer_round_trip<2, std::int64_t>();
    expect_integer_round_trip<7, std::int32_t>();
    expect_integer_round_trip<8, std::uint32_t>();
    expect_integer_round_trip<9, std::uint64_t>();
}

template <std::size_t Index, class T>
void expect_bit_identical_round_trip(const std::vector<T>& values) {
    const SeriesRef view{std::in_place_index<Index>, std::span<const T>(values)};
    const auto bytes = encode_both([&](auto& sink) { encode_series_body(sink, view); });
    SliceReader reader(bytes);
    auto decoded = decode_series_body(reader, static_cast<DataType>(Index));
    ASSERT_TRUE(decoded.ok());
    const auto& column = std::get<Index>(decoded.value());
    ASSERT_EQ(column.size(), values.size());
    EXPECT_EQ(std::memcmp(column.data(), values.data(), values.size() * sizeof(T)), 0);
}

TEST(Encoding, FloatBitPatternsSurvive) {
    expect_bit_identical_round_trip<3>(std::vector<double>{std::bit_cast<double>(0x7FF8'0000'0000'1234ull), -0.0,
                                                           std::numeric_limits<double>::infinity()});
    expect_bit_identical_round_trip<10>(std::vector<float>{std::bit_cast<float>(0x7FC0'0123u), -0.0f});
}

TEST(Encoding, BoolViewsAreNormalisedToZeroAndOne) {
    const std::vector<std::uint8_t> raw = {0, 1, 2, 255};
    const SeriesRef view{std::in_place_index<6>, std::span<const std::uint8_t>(raw)};
    EXPECT_EQ(to_hex(encode_both([&](auto& sink) { encode_series_body(sink, view); })), "04 00 01 01 01");
}

}  // namespace
}  // namespace vorl
