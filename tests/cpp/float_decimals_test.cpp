// Floats become the decimal that was meant when exactly one decimal rounds to
// them, and survive a parse -> pack relay unchanged.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "core/d64_columns.hpp"

namespace vorl {
namespace {

std::int64_t signed_value(D64 value) {
    const auto magnitude = static_cast<std::int64_t>(value.magnitude());
    return value.is_negative() ? -magnitude : magnitude;
}

constexpr auto B64 = FloatWidth::Binary64;
constexpr auto B32 = FloatWidth::Binary32;

// Keep the one decimal that rounds to them, else the truncated product.
TEST(FloatDecimals, KeepTheOneDecimalThatRoundsToThem) {
    const std::tuple<double, unsigned, FloatWidth, std::int64_t> cases[] = {
        {0.29, 2, B64, 29},
        {8.2, 2, B64, 820},
        {100.29, 2, B64, 10029},
        {static_cast<float>(8.2), 2, B32, 820},
        {static_cast<float>(0.29), 2, B32, 29},
        // Read as binary64, the float32 value of 8.2 is no decimal with 2 places: truncated.
        {static_cast<float>(8.2), 2, B64, 819},
        // Binary values no short decimal rounds to keep the truncated product.
        {2.675, 2, B64, 267},
        {-1.239, 2, B64, -123},
        {-0.004, 2, B64, 0},
        {-0.0, 2, B64, 0},
        {NAN, 3, B64, 0},
        {1e-300, 15, B64, 0},
        // Below 2^52 each double holds at most one decimal; beyond 2^53 several.
        {450359962737049.5, 1, B64, 4503599627370495},
        {0x1p53 - 1, 0, B64, 9007199254740991},
        {0x1p55, 0, B64, 36028797018963968},
        {-(0x1p56 - 8), 0, B64, -72057594037927928},
        {600000000000000.125, 1, B64, 6000000000000001},
        {16777215.0, 0, B32, 16777215},
        {0x1p30, 2, B32, 107374182400}};
    for (const auto& [x, places, width, stored] : cases) {
        const auto result = d64_from_float(x, places, width);
        ASSERT_TRUE(result.ok()) << x;
        EXPECT_EQ(std::make_pair(signed_value(result.value()), result.value().scale()), std::make_pair(stored, places))
            << x;
    }
}

TEST(FloatDecimals, ProductsFromTwoToTheFiftySixAreRefused) {
    for (const double x : {0x1p56, -0x1p56, double{INFINITY}, 0x1p53}) {
        EXPECT_FALSE(d64_from_float(x, x == 0x1p53 ? 3 : 0, B64).ok()) << x;
    }
    const std::vector<double> column = {1.5, 0x1p60, 2.5};
    std::vector<D64> out(column.size());
    EXPECT_EQ(doubles_to_d64(column, 1, out.data()), 1u);
}

// Random cents at 2 and 4 places: decimals -> doubles (what parsing returns)
// -> decimals again gives the same decimals, bit for bit, and float32 values
// come back as themselves.
TEST(FloatDecimals, ParsePackRelayIsStable) {
    std::mt19937_64 rng(3);
    for (const unsigned places : {2u, 4u}) {
        for (const bool binary32 : {false, true}) {
            const std::uint64_t limit = binary32 ? 10'000'000 : 1'000'000'000'000'000;
            std::vector<D64> decimals;
            for (int i = 0; i < 20000; ++i) decimals.push_back(D64::from_parts(rng() % 2, rng() % limit, places));
            std::vector<double> parsed(decimals.size());
            d64_to_doubles(decimals, parsed.data());
            std::vector<D64> packed(decimals.size());
            if (binary32) {
                const std::vector<float> floats(parsed.begin(), parsed.end());
                ASSERT_EQ(floats_to_d64(floats, places, packed.data()), floats.size());
                std::vector<D64> again(floats.size());
                std::vector<double> reparsed(floats.size());
                d64_to_doubles(packed, reparsed.data());
                const std::vector<float> refloats(reparsed.begin(), reparsed.end());
                ASSERT_EQ(floats_to_d64(refloats, places, again.data()), floats.size());
                EXPECT_EQ(again, packed);
                EXPECT_EQ(refloats, floats);
            } else {
                ASSERT_EQ(doubles_to_d64(parsed, places, packed.data()), parsed.size());
                for (std::size_t i = 0; i < decimals.size(); ++i) {
                    if (decimals[i].magnitude() == 0) continue;  // negative zero comes back positive
                    ASSERT_EQ(packed[i], decimals[i]) << i;
                }
            }
        }
    }
}

}  // namespace
}  // namespace vorl
