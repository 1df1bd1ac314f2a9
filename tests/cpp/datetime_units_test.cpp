#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "core/datetime_units.hpp"

namespace vorl {
namespace {

constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();

struct UnitCase {
    TimeUnit unit;
    std::vector<std::int64_t> in;
    std::vector<std::int64_t> micros;  // what converts before the first unfit value
    std::size_t unfit;
};

class ToMicroseconds : public ::testing::TestWithParam<UnitCase> {};

TEST_P(ToMicroseconds, KeepsNotATimeAndStopsAtTheFirstUnfitValue) {
    const UnitCase& c = GetParam();
    std::vector<std::int64_t> out(c.in.size(), 7);
    EXPECT_EQ(to_microseconds(c.in, c.unit, out.data()), c.unfit);
    EXPECT_EQ(std::vector<std::int64_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(c.micros.size())),
              c.micros);
}

INSTANTIATE_TEST_SUITE_P(
    Units, ToMicroseconds,
    ::testing::Values(UnitCase{TimeUnit::Second, {NOT_A_TIME, -1, MAX / 1'000'000, MAX / 1'000'000 + 1},
                               {NOT_A_TIME, -1'000'000, MAX / 1'000'000 * 1'000'000}, 3},
                      UnitCase{TimeUnit::Millisecond, {NOT_A_TIME, 2, -(MAX / 1000) - 1}, {NOT_A_TIME, 2000}, 2},
                      UnitCase{TimeUnit::Microsecond, {NOT_A_TIME, MAX}, {NOT_A_TIME, MAX}, 2},
                      UnitCase{TimeUnit::Nanosecond, {NOT_A_TIME, -1500, 1999, MAX}, {NOT_A_TIME, -1, 1, MAX / 1000}, 4}));

TEST(AddOffsetKeepingNat, WrapsEveryValueButNotATime) {
    std::vector<std::int64_t> values{NOT_A_TIME, MAX, -5};
    add_offset_keeping_nat(values, 10);
    EXPECT_EQ(values, (std::vector<std::int64_t>{NOT_A_TIME, NOT_A_TIME + 9, 5}));
}

}  // namespace
}  // namespace vorl
