#include <gtest/gtest.h>

#include <limits>
#include <tuple>
#include <vector>

#include "core/datetime_units.hpp"

namespace vorl {
namespace {

constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();

// NaT is kept; conversion stops at the first value that does not fit.
TEST(ToMicroseconds, KeepsNotATimeAndStopsAtTheFirstUnfitValue) {
    const std::tuple<TimeUnit, std::vector<std::int64_t>, std::vector<std::int64_t>, std::size_t> cases[] = {
        {TimeUnit::Second,
         {NOT_A_TIME, -1, MAX / 1'000'000, MAX / 1'000'000 + 1},
         {NOT_A_TIME, -1'000'000, MAX / 1'000'000 * 1'000'000},
         3},
        {TimeUnit::Millisecond, {NOT_A_TIME, 2, -(MAX / 1000) - 1}, {NOT_A_TIME, 2000}, 2},
        {TimeUnit::Microsecond, {NOT_A_TIME, MAX}, {NOT_A_TIME, MAX}, 2},
        {TimeUnit::Nanosecond, {NOT_A_TIME, -1500, 1999, MAX}, {NOT_A_TIME, -1, 1, MAX / 1000}, 4}};
    for (const auto& [unit, in, micros, unfit] : cases) {
        std::vector<std::int64_t> out(in.size(), 7);
        EXPECT_EQ(to_microseconds(in, unit, out.data()), unfit);
        out.resize(micros.size());
        EXPECT_EQ(out, micros);
    }
}

TEST(AddOffsetKeepingNat, WrapsEveryValueButNotATime) {
    std::vector<std::int64_t> values{NOT_A_TIME, MAX, -5};
    add_offset_keeping_nat(values, 10);
    EXPECT_EQ(values, (std::vector<std::int64_t>{NOT_A_TIME, NOT_A_TIME + 9, 5}));
}

}  // namespace
}  // namespace vorl
