#include <gtest/gtest.h>

#include "core/local_offset.hpp"

namespace vorl {
namespace {

TEST(LocalOffset, StartsAtEightHoursEast) {
    EXPECT_EQ(get_local_offset(), (UtcOffset{8, 0, 0}));
}

struct OffsetCase {
    UtcOffset stored;
    std::int32_t total;
};

class LocalOffsetRoundTrip : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(LocalOffsetRoundTrip, ComponentsCarryTheSignOfTheTotal) {
    const UtcOffset before = get_local_offset();
    set_default_timezone(GetParam().stored);
    EXPECT_EQ(TZ_LOCAL.load(), GetParam().total);
    EXPECT_EQ(get_local_offset(), GetParam().stored);
    EXPECT_EQ(local_offset_micros(), std::int64_t{GetParam().total} * 1'000'000);
    set_default_timezone(before);
}

INSTANTIATE_TEST_SUITE_P(Offsets, LocalOffsetRoundTrip,
                         ::testing::Values(OffsetCase{{5, 30, 0}, 19800}, OffsetCase{{-1, -30, 0}, -5400},
                                           OffsetCase{{25, 59, 59}, 93599}, OffsetCase{{-25, -59, -59}, -93599}));

}  // namespace
}  // namespace vorl
