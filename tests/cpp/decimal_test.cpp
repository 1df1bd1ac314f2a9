#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "core/decimal.hpp"

namespace vorl {
namespace {

constexpr double NAN_DOUBLE = std::numeric_limits<double>::quiet_NaN();
constexpr double INF_DOUBLE = std::numeric_limits<double>::infinity();

D64 positive(std::uint64_t magnitude, unsigned scale) { return D64::from_parts(false, magnitude, scale); }
D64 negative(std::uint64_t magnitude, unsigned scale) { return D64::from_parts(true, magnitude, scale); }

struct ParseCase {
    std::string text;
    std::optional<D64> value;
    D64ParseError error = D64ParseError::Empty;
};

ParseCase parses(std::string text, D64 value) { return {std::move(text), value}; }
ParseCase fails(std::string text, D64ParseError error) { return {std::move(text), std::nullopt, error}; }

class ParseD64 : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseD64, GivesValueOrErrorKind) {
    const ParseCase& c = GetParam();
    SCOPED_TRACE("text: \"" + c.text + "\"");
    const auto result = parse_d64(c.text);
    if (c.value) {
        ASSERT_TRUE(result.ok());
        EXPECT_EQ(result.value(), *c.value);
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), c.error);
    }
}

using enum D64ParseError;

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseD64,
    ::testing::Values(
        parses(" 12.50 ", positive(1250, 2)), parses("-0.5", negative(5, 1)), parses(".5", positive(5, 1)),
        parses("7.", positive(7, 0)), parses("1.2.3", positive(123, 1)), parses("1-2", negative(12, 0)),
        parses("-", negative(0, 0)), parses(".", positive(0, 0)), parses("nan", D64::nan()),
        parses(" iNf\t", D64::infinity()), fails("-inf", InvalidCharacter), fails("infinity", InvalidCharacter),
        fails("", Empty), fails(" \t\n", Empty),
        fails("\xC2\xA0\xE3\x80\x80\xE2\x80\xA8", Empty),
        // Non-ASCII white space is trimmed at both ends, but only whole, well-formed encodings.
        parses("\xC2\xA0" "5\xE3\x80\x80", positive(5, 0)), parses("\xE2\x80\x8A" "1.5\xC2\x85", positive(15, 1)),
        parses("\xE1\x9A\x80\xE2\x81\x9F" "9\xE2\x80\xAF\x0B", positive(9, 0)),
        fails("\xE2\x80\x8B" "5", InvalidCharacter),  // U+200B is not white space
        fails("\xC0\xA0" "5", InvalidCharacter),      // overlong space
        fails("5\xA0", InvalidCharacter), fails("1e5", InvalidCharacter), fails("+1", InvalidCharacter),
        fails("1 000", InvalidCharacter),
        parses("72057594037927935", positive(D64_MAX_MAGNITUDE, 0)),
        parses("-72057594037.927935", negative(D64_MAX_MAGNITUDE, 6)),
        fails("72057594037927936", OutOfRange),
        fails("18446744073709551616", OutOfRange),   // 2^64: wraps to 0 in plain arithmetic
        fails("184467440737095516170", OutOfRange),  // wraps to 10
        fails(std::string(40, '9') + "x", InvalidCharacter),  // a bad byte wins over the range
        parses("0.000000000000001", positive(1, 15)), fails("." + std::string(16, '0'), OutOfRange)));

struct RescaleCase {
    D64 before;
    unsigned new_scale;
    D64 after;  // equal to before when the rescale must fail
    bool ok = true;
};

class SetDecimal : public ::testing::TestWithParam<RescaleCase> {};

TEST_P(SetDecimal, RescalesOrLeavesValueUnchanged) {
    D64 value = GetParam().before;
    const auto result = set_decimal(value, GetParam().new_scale);
    EXPECT_EQ(result.ok(), GetParam().ok);
    EXPECT_EQ(value, GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Scales, SetDecimal,
    ::testing::Values(RescaleCase{positive(15, 1), 3, positive(1500, 3)},
                      RescaleCase{negative(12345, 3), 1, negative(123, 1)},
                      RescaleCase{negative(0, 2), 0, negative(0, 0)}, RescaleCase{D64::nan(), 9, D64::nan()},
                      RescaleCase{positive(1, 0), 15, positive(1'000'000'000'000'000, 15)},
                      RescaleCase{positive(D64_MAX_MAGNITUDE, 15), 0, positive(72, 0)},
                      RescaleCase{positive(D64_MAX_MAGNITUDE / 10, 0), 1, positive(D64_MAX_MAGNITUDE / 10 * 10, 1)},
                      RescaleCase{negative(D64_MAX_MAGNITUDE / 10 + 1, 0), 1, negative(D64_MAX_MAGNITUDE / 10 + 1, 0),
                                  false},
                      RescaleCase{positive(73, 0), 15, positive(73, 0), false},
                      RescaleCase{positive(5, 0), 16, positive(5, 0), false}));

struct FromDoubleCase {
    double x;
    unsigned scale;
    std::optional<D64> value;  // nothing when the product is refused
};

class D64FromDouble : public ::testing::TestWithParam<FromDoubleCase> {};

TEST_P(D64FromDouble, TruncatesTowardZero) {
    const auto result = d64_from_double(GetParam().x, GetParam().scale);
    ASSERT_EQ(result.ok(), GetParam().value.has_value());
    if (result.ok()) {
        EXPECT_EQ(result.value(), *GetParam().value);
    }
}

constexpr double TWO_TO_56 = 72057594037927936.0;

INSTANTIATE_TEST_SUITE_P(
    Doubles, D64FromDouble,
    ::testing::Values(FromDoubleCase{-1.239, 2, negative(123, 2)}, FromDoubleCase{0.29, 2, positive(28, 2)},
                      FromDoubleCase{2.675, 1, positive(26, 1)}, FromDoubleCase{1.005, 2, positive(100, 2)},
                      FromDoubleCase{static_cast<double>(0.1f), 1, positive(1, 1)},
                      FromDoubleCase{-0.001, 2, positive(0, 2)}, FromDoubleCase{-0.0, 0, positive(0, 0)},
                      FromDoubleCase{-NAN_DOUBLE, 5, positive(0, 5)},
                      FromDoubleCase{-(TWO_TO_56 - 8), 0, negative(D64_MAX_MAGNITUDE - 7, 0)},
                      FromDoubleCase{-TWO_TO_56, 0, std::nullopt}, FromDoubleCase{72.1, 15, std::nullopt},
                      FromDoubleCase{-INF_DOUBLE, 3, std::nullopt},
                      FromDoubleCase{1.0, 16, std::nullopt}));

struct ToDoubleCase {
    D64 value;
    double expected;
};

class D64ToDouble : public ::testing::TestWithParam<ToDoubleCase> {};

TEST_P(D64ToDouble, DividesByThePowerOfTen) {
    const double result = d64_to_double(GetParam().value);
    EXPECT_EQ(result, GetParam().expected);
    EXPECT_EQ(std::signbit(result), std::signbit(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Values, D64ToDouble,
                         ::testing::Values(ToDoubleCase{negative(1234, 2), -12.34}, ToDoubleCase{positive(15, 1), 1.5},
                                           ToDoubleCase{positive(1, 15), 1e-15}, ToDoubleCase{negative(0, 3), -0.0},
                                           ToDoubleCase{D64::nan(), 0.0}, ToDoubleCase{D64::infinity(), 0.0}));

}  // namespace
}  // namespace vorl
