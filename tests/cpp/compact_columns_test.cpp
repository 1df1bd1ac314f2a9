#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <type_traits>

#include "core/column_codec.hpp"
#include "core/d64_columns.hpp"
#include "core/datetime_column.hpp"
#include "core/datetime_step.hpp"
#include "core/decimal_column.hpp"
#include "test_support.hpp"

namespace vorl {
namespace {

using testing::encode_both;
using testing::hex;
using testing::to_hex;

constexpr std::int64_t MIN64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t MAX64 = std::numeric_limits<std::int64_t>::max();

std::vector<std::uint8_t> encode_datetimes(const std::vector<std::int64_t>& values) {
    return encode_both([&](auto& sink) { datetime_array_bincode_encode(std::span<const std::int64_t>(values), sink); });
}

std::vector<std::uint8_t> encode_decimals(const std::vector<D64>& values) {
    return encode_both([&](auto& sink) { d64_array_bincode_encode(std::span<const D64>(values), sink); });
}

std::vector<std::int64_t> decode_datetimes(const std::vector<std::uint8_t>& bytes) {
    SliceReader reader(bytes);
    auto decoded = datetime_array_bincode_decode(reader);
    EXPECT_TRUE(decoded.ok()) << (decoded.ok() ? "" : decoded.error().to_string());
    if (!decoded) return {};
    return {decoded.value().begin(), decoded.value().end()};
}

TEST(DatetimeColumn, FollowsTheStepRuleAndRoundTrips) {
    const std::pair<std::vector<std::int64_t>, std::string> cases[] = {
        {{}, "00"},
        {{0, 60'000'000, 120'000'000}, "04 FC 00 0E 27 07 00 02 02"},
        {{0, -5, 10}, "04 0A 00 01 06"},
        // First ten all zero: the specified step would be 0, so 1 is used.
        {{0, 0}, "03 02 00 00"},
        // The eleventh value leaves the grid of the first ten (step 10),
        // so the step becomes 5, which divides every difference.
        {{10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 105}, "0C 0A 04 04 04 04 04 04 04 04 04 04 02"}};
    for (const auto& [values, expected] : cases) {
        const auto bytes = encode_datetimes(values);
        EXPECT_EQ(to_hex(bytes), expected);
        EXPECT_EQ(decode_datetimes(bytes), values);
    }
}

TEST(DatetimeColumn, EveryColumnRoundTripsExactly) {
    std::vector<std::vector<std::int64_t>> columns = {{MIN64},
                                                      {MIN64, MIN64},
                                                      {-1, MIN64, 0},
                                                      {MAX64, MIN64, MAX64},
                                                      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7},
                                                      {3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 31, 1}};
    std::mt19937_64 random(11);
    for (int n = 0; n < 50; ++n) {  // grids with a step of 1000 to 5000, a third of the values anywhere
        const std::uint64_t length = random() % 40 + 1, step = random() % 5 * 1000 + 1000;
        auto& column = columns.emplace_back();
        for (std::uint64_t i = 0; i < length; ++i)
            column.push_back(static_cast<std::int64_t>(random() % 3 ? i * step : random()));
    }
    for (const auto& column : columns) {
        EXPECT_NE(plan_datetime_column(column).step, 0);
        EXPECT_EQ(decode_datetimes(encode_datetimes(column)), column);
    }
}

TEST(DatetimeColumn, ReaderAcceptsHeaderOnlyAndAnyStep) {
    EXPECT_TRUE(decode_datetimes(hex("01 04")).empty());
    // Step 0 from a foreign writer gives zeros; huge steps wrap without fault.
    EXPECT_EQ(decode_datetimes(hex("03 00 02 02")), (std::vector<std::int64_t>{0, 0}));
    EXPECT_EQ(decode_datetimes(hex("03 FD FF FF FF FF FF FF FF FF 02 02")), (std::vector<std::int64_t>{MIN64, 0}));
}

D64 dec(bool negative, std::uint64_t magnitude, unsigned scale) { return D64::from_parts(negative, magnitude, scale); }

std::vector<D64> decode_decimals(const std::vector<std::uint8_t>& bytes, std::string* error = nullptr) {
    SliceReader reader(bytes);
    auto decoded = d64_array_bincode_decode(reader);
    if (!decoded) {
        if (error) *error = decoded.error().to_string();
        return {};
    }
    return {decoded.value().begin(), decoded.value().end()};
}

TEST(DecimalColumn, PricesAtOneScaleCostOneBytePerValue) {
    const std::vector<D64> prices = {dec(false, 150, 2), dec(false, 175, 2), dec(false, 125, 2)};
    const auto bytes = encode_decimals(prices);
    EXPECT_EQ(to_hex(bytes), "04 04 FB 2C 01 32 63");
    EXPECT_EQ(decode_decimals(bytes), prices);
    EXPECT_EQ(to_hex(encode_decimals({})), "00");
    EXPECT_TRUE(decode_decimals(hex("01 04")).empty());
}

TEST(DecimalColumn, ValuesAreReadBackAtTheColumnScale) {
    const std::pair<std::vector<D64>, std::vector<D64>> cases[] = {
        // No rescaling in the writer: the first scale wins.
        {{dec(false, 15, 1), dec(false, 225, 2)}, {dec(false, 15, 1), dec(false, 225, 1)}},
        // Specials do not choose the scale and come back as zero.
        {{D64::nan(), dec(false, 1234, 3)}, {dec(false, 0, 3), dec(false, 1234, 3)}},
        {{D64::nan(), D64::infinity()}, {dec(false, 0, 0), dec(false, 0, 0)}},
        {{dec(false, D64_MAX_MAGNITUDE, 15), dec(true, D64_MAX_MAGNITUDE, 15), dec(false, 1, 15)},
         {dec(false, D64_MAX_MAGNITUDE, 15), dec(true, D64_MAX_MAGNITUDE, 15), dec(false, 1, 15)}}};
    for (const auto& [written, read] : cases) EXPECT_EQ(decode_decimals(encode_decimals(written)), read);
}

TEST(DecimalColumn, ScalesNoWriterProducesAreRefused) {
    std::string error;
    EXPECT_TRUE(decode_decimals(hex("02 20 02"), &error).empty());  // scale 16
    EXPECT_EQ(error,
              "UnexpectedVariant { type_name: \"DecimalScale\", allowed: Range { min: 0, max: 15 }, found: 16 }");
    EXPECT_TRUE(decode_decimals(hex("02 01 02"), &error).empty());  // scale -1
    // A running value beyond 56 bits keeps its low 56 bits and its sign.
    EXPECT_EQ(decode_decimals(hex("02 00 FD FE FF FF FF FF FF FF 01")),
              (std::vector<D64>{dec(false, D64_MAX_MAGNITUDE, 0)}));
}

// Read as doubles, a column gives what reading it as D64 and converting gives,
// errors included, on columns longer than one block of the reader.
TEST(DecimalColumn, ReadingAsDoublesEqualsConvertingTheDecimals) {
    std::mt19937_64 random(5);
    std::vector<std::vector<std::uint8_t>> bodies = {hex("00"), hex("01 04"), hex("02 20 02"), hex("04 04 FB 2C")};
    for (const unsigned scale : {0u, 2u, 9u, 15u}) {
        std::vector<D64> column;
        for (std::size_t i = 0; i < 5000; ++i)
            column.push_back(dec(random() % 2 != 0, random() % (random() % 3 ? 100'000 : D64_MAX_MAGNITUDE), scale));
        bodies.push_back(encode_decimals(column));
        bodies.push_back(std::vector<std::uint8_t>(bodies.back().begin(), bodies.back().end() - 3));
    }
    for (const auto& body : bodies) {
        SliceReader as_words(body), as_doubles(body);
        auto words = d64_array_bincode_decode(as_words);
        auto doubles = d64_array_bincode_decode_doubles(as_doubles);
        ASSERT_EQ(words.ok(), doubles.ok()) << to_hex(body).substr(0, 40);
        if (!words) {
            EXPECT_EQ(words.error().to_string(), doubles.error().to_string());
            continue;
        }
        EXPECT_EQ(as_words.remaining(), as_doubles.remaining());
        const std::vector<D64> decimals(words.value().begin(), words.value().end());
        std::vector<double> expected(decimals.size());
        d64_to_doubles(decimals, expected.data());
        EXPECT_EQ(std::vector<double>(doubles.value().values.begin(), doubles.value().values.end()), expected);
        EXPECT_EQ(doubles.value().scale, decimals.empty() ? 0u : decimals[0].scale());
    }
}

// Encoded straight from floats, a column has the bytes of its decimals
// encoded, or is refused at the first value that has no decimal (a NaN too
// when refused), across block boundaries.
template <class Float>
void check_decimal_body(unsigned places, std::vector<Float> values) {
    for (const bool nan_refused : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << "places " << places << ", length " << values.size() << ", NaN refused " << nan_refused);
        const auto body = encode_decimal_body(std::span<const Float>(values), places, nan_refused);
        std::vector<D64> decimals(values.size());
        std::size_t fitting;
        if constexpr (sizeof(Float) == 8) {
            fitting = doubles_to_d64(values, places, decimals.data());
        } else {
            fitting = floats_to_d64(values, places, decimals.data());
        }
        if (nan_refused) fitting = std::min(fitting, first_nan(std::span<const Float>(values)));
        if (fitting != values.size()) {
            ASSERT_FALSE(body.ok());
            EXPECT_EQ(body.error(), fitting);
            continue;
        }
        ASSERT_TRUE(body.ok());
        EXPECT_EQ(std::vector<std::uint8_t>(body.value().begin(), body.value().end()), encode_decimals(decimals));
    }
}

TEST(DecimalColumn, EncodingFromFloatsEqualsEncodingTheirDecimals) {
    std::mt19937_64 random(9);
    for (const unsigned places : {0u, 2u, 6u, 15u}) {
        for (const std::size_t n : {0u, 1u, 2u, 2047u, 2048u, 2049u, 5000u}) {
            std::vector<double> values(n);
            for (double& v : values) {
                v = static_cast<double>(static_cast<std::int64_t>(random() % 2'000'001) - 1'000'000) /
                    std::pow(10.0, places);
                if (random() % 50 == 0) v = std::nextafter(v, 1e300);  // no decimal rounds to it: truncated
            }
            check_decimal_body(places, values);
            check_decimal_body(places, std::vector<float>(values.begin(), values.end()));
            if (n < 2) continue;
            // Refused late in the column, or a NaN earlier (given zero unless refused).
            std::vector<double> refused = values;
            refused[n - 1] = std::numeric_limits<double>::infinity();
            refused[n / 2] = std::numeric_limits<double>::quiet_NaN();
            check_decimal_body(places, refused);
            refused[n / 3] = 1e300;
            check_decimal_body(places, refused);
        }
    }
}

// Written without a counting pass, a datetime body has the bytes of the encoder's.
TEST(DatetimeColumn, BodyWrittenInOnePassEqualsTheEncoders) {
    std::mt19937_64 random(3);
    for (const std::size_t n : {0u, 1u, 2u, 2049u, 5000u}) {
        for (const std::int64_t step : {1, 1000, 60'000'000}) {
            std::vector<std::int64_t> values(n);
            std::int64_t t = 1'700'000'000'000'000;
            for (auto& v : values) v = (t += step * static_cast<std::int64_t>(random() % 3000));
            const auto body = encode_datetime_body(values);
            ASSERT_TRUE(body.has_value());
            EXPECT_EQ(std::vector<std::uint8_t>(body->begin(), body->end()), encode_datetimes(values));
        }
    }
}

// Integer columns of short varints are written in one pass with the bytes of
// the two; long ones are left to them.
template <class T>
constexpr DataType integer_type() {
    if constexpr (std::is_same_v<T, std::int64_t>) return DataType::Int64;
    if constexpr (std::is_same_v<T, std::int32_t>) return DataType::Int32;
    if constexpr (std::is_same_v<T, std::uint32_t>) return DataType::UInt32;
    return DataType::UInt64;
}

template <class T>
void check_integer_body(const std::vector<T>& values, bool short_varints) {
    SCOPED_TRACE(::testing::Message() << "length " << values.size() << ", width " << sizeof(T));
    const auto body = encode_short_varint_body(std::span<const T>(values));
    ASSERT_EQ(body.has_value(), short_varints);
    if (!body) return;
    const SeriesRef series{std::in_place_index<index_of<integer_type<T>()>>, std::span<const T>(values)};
    const auto expected = encode_both([&](auto& sink) { encode_series_body(sink, series, nullptr); });
    EXPECT_EQ(std::vector<std::uint8_t>(body->begin(), body->end()), expected);
}

TEST(IntegerColumn, BodyWrittenInOnePassEqualsTheEncoders) {
    std::mt19937_64 random(4);
    for (const std::size_t n : {0u, 1u, 4095u, 4096u, 4097u, 10000u}) {
        std::vector<std::int64_t> small(n), large(n);
        for (std::size_t i = 0; i < n; ++i) {
            small[i] = static_cast<std::int64_t>(random() % 200) - 100 + (i % 97 == 96 ? 30000 : 0);
            large[i] = static_cast<std::int64_t>(random());
        }
        check_integer_body(small, true);
        check_integer_body(std::vector<std::int32_t>(small.begin(), small.end()), true);
        std::vector<std::uint32_t> magnitudes(n);
        for (std::size_t i = 0; i < n; ++i)
            magnitudes[i] = static_cast<std::uint32_t>(small[i] < 0 ? -small[i] : small[i]);
        check_integer_body(magnitudes, true);
        if (n == 0) continue;
        check_integer_body(large, false);
        check_integer_body(std::vector<std::uint64_t>(large.begin(), large.end()), false);
    }
}

}  // namespace
}  // namespace vorl
