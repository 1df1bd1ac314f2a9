#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <variant>

#include "core/decimal.hpp"

namespace vorl {
namespace {

constexpr double NAN_DOUBLE = std::numeric_limits<double>::quiet_NaN();
constexpr double INF_DOUBLE = std::numeric_limits<double>::infinity();

D64 positive(std::uint64_t magnitude, unsigned scale) { return D64::from_parts(false, magnitude, scale); }
D64 negative(std::uint64_t magnitude, unsigned scale) { return D64::from_parts(true, magnitude, scale); }

using ParseCase = std::pair<std::string, std::variant<D64, D64ParseError>>;

ParseCase parses(std::string text, D64 value) { return {std::move(text), value}; }
ParseCase fails(std::string text, D64ParseError error) { return {std::move(text), error}; }

using enum D64ParseError;

TEST(ParseD64, GivesValueOrErrorKind) {
    const ParseCase cases[] = {
        parses(" 12.50 ", positive(1250, 2)), parses("-0.5", negative(5, 1)), parses(".5", positive(5, 1)),
        parses("7.", positive(7, 0)), parses("1.2.3", positive(123, 1)), parses("1-2", negative(12, 0)),
        parses("-", negative(0, 0)), parses(".", positive(0, 0)), parses("nan", D64::nan()),
        parses(" iNf\t", D64::infinity()), fails("-inf", InvalidCharacter), fails("infinity", InvalidCharacter),
        fails("", Empty), fails(" \t\n", Empty), fails("\xC2\xA0\xE3\x80\x80\xE2\x80\xA8", Empty),
        // Non-ASCII white space is trimmed at both ends, but only whole, well-formed encodings.
        parses("\xC2\xA0"
               "5\xE3\x80\x80",
               positive(5, 0)),
        parses("\xE2\x80\x8A"
               "1.5\xC2\x85",
               positive(15, 1)),
        parses("\xE1\x9A\x80\xE2\x81\x9F"
               "9\xE2\x80\xAF\x0B",
               positive(9, 0)),
        fails("\xE2\x80\x8B"
              "5",
              InvalidCharacter),  // U+200B is not white space
        fails("\xC0\xA0"
              "5",
              InvalidCharacter),  // overlong space
        fails("5\xA0", InvalidCharacter), fails("1e5", InvalidCharacter), fails("+1", InvalidCharacter),
        fails("1 000", InvalidCharacter), parses("72057594037927935", positive(D64_MAX_MAGNITUDE, 0)),
        parses("-72057594037.927935", negative(D64_MAX_MAGNITUDE, 6)), fails("72057594037927936", OutOfRange),
        fails("18446744073709551616", OutOfRange),            // 2^64: wraps to 0 in plain arithmetic
        fails("184467440737095516170", OutOfRange),           // wraps to 10
        fails(std::string(40, '9') + "x", InvalidCharacter),  // a bad byte wins over the range
        parses("0.000000000000001", positive(1, 15)), fails("." + std::string(16, '0'), OutOfRange)};
    for (const auto& [text, expected] : cases) {
        const auto result = parse_d64(text);
        EXPECT_EQ(result.ok() ? ParseCase::second_type{result.value()} : result.error(), expected) << text;
    }
}

struct RescaleCase {
    D64 before;
    unsigned new_scale;
    D64 after;  // equal to before when the rescale must fail
    bool ok = true;
};

TEST(SetDecimal, RescalesOrLeavesValueUnchanged) {
    const RescaleCase cases[] = {
        RescaleCase{positive(15, 1), 3, positive(1500, 3)},
        RescaleCase{negative(12345, 3), 1, negative(123, 1)},
        RescaleCase{negative(0, 2), 0, negative(0, 0)},
        RescaleCase{D64::nan(), 9, D64::nan()},
        RescaleCase{positive(1, 0), 15, positive(1'000'000'000'000'000, 15)},
        RescaleCase{positive(D64_MAX_MAGNITUDE, 15), 0, positive(72, 0)},
        RescaleCase{positive(D64_MAX_MAGNITUDE / 10, 0), 1, positive(D64_MAX_MAGNITUDE / 10 * 10, 1)},
        RescaleCase{negative(D64_MAX_MAGNITUDE / 10 + 1, 0), 1, negative(D64_MAX_MAGNITUDE / 10 + 1, 0), false},
        RescaleCase{positive(73, 0), 15, positive(73, 0), false},
        RescaleCase{positive(5, 0), 16, positive(5, 0), false}};
    for (const auto& [before, new_scale, after, ok] : cases) {
        D64 value = before;
        EXPECT_EQ(set_decimal(value, new_scale).ok(), ok) << new_scale;
        EXPECT_EQ(value, after);
    }
}

constexpr double TWO_TO_56 = 72057594037927936.0;

// Truncates toward zero; nothing when the product is refused.
TEST(D64FromDouble, TruncatesTowardZero) {
    const std::tuple<double, unsigned, std::optional<D64>> cases[] = {
        {-1.239, 2, negative(123, 2)},
        {0.29, 2, positive(28, 2)},
        {2.675, 1, positive(26, 1)},
        {1.005, 2, positive(100, 2)},
        {static_cast<double>(0.1f), 1, positive(1, 1)},
        {-0.001, 2, positive(0, 2)},
        {-0.0, 0, positive(0, 0)},
        {-NAN_DOUBLE, 5, positive(0, 5)},
        {-(TWO_TO_56 - 8), 0, negative(D64_MAX_MAGNITUDE - 7, 0)},
        {-TWO_TO_56, 0, std::nullopt},
        {72.1, 15, std::nullopt},
        {-INF_DOUBLE, 3, std::nullopt},
        {1.0, 16, std::nullopt}};
    for (const auto& [x, scale, expected] : cases) {
        const auto result = d64_from_double(x, scale);
        EXPECT_EQ(result.ok() ? std::optional<D64>{result.value()} : std::nullopt, expected) << x << " " << scale;
    }
}

TEST(D64ToDouble, DividesByThePowerOfTen) {
    const std::pair<D64, double> cases[] = {{negative(1234, 2), -12.34}, {positive(15, 1), 1.5},
                                            {positive(1, 15), 1e-15},    {negative(0, 3), -0.0},
                                            {D64::nan(), 0.0},           {D64::infinity(), 0.0}};
    for (const auto& [value, expected] : cases) {
        const double result = d64_to_double(value);
        EXPECT_EQ(std::make_pair(result, std::signbit(result)), std::make_pair(expected, std::signbit(expected)));
    }
}

}  // namespace
}  // namespace vorl
