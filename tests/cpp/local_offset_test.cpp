#include <gtest/gtest.h>

#include "core/frame.hpp"
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
                         ::testing::Values(OffsetCase{{-3, 0, 0}, -10800}, OffsetCase{{5, 30, 0}, 19800},
                                           OffsetCase{{0, -30, 0}, -1800}, OffsetCase{{-1, -30, 0}, -5400},
                                           OffsetCase{{25, 59, 59}, 93599}, OffsetCase{{-25, -59, -59}, -93599}));

struct HeaderCase {
    std::vector<std::uint8_t> bytes;
    std::optional<std::size_t> body_length;
    FrameHeaderProblem problem = FrameHeaderProblem::TooShort;
};

class FrameHeaderCheck : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(FrameHeaderCheck, ReadsOnlyTheFirstEightBytes) {
    const auto result = check_table_frame_header(GetParam().bytes);
    if (GetParam().body_length) {
        ASSERT_TRUE(result.ok());
        EXPECT_EQ(result.value(), *GetParam().body_length);
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), GetParam().problem);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, FrameHeaderCheck,
    ::testing::Values(HeaderCase{{0x7C, 0x4D, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00}, 12},
                      HeaderCase{{0x7C, 0x4D, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0xAA, 0xBB}, 12},
                      HeaderCase{{0x7C, 0x4D, 0x01, 0x00, 0x0C, 0x00, 0x00}, std::nullopt, FrameHeaderProblem::TooShort},
                      HeaderCase{{}, std::nullopt, FrameHeaderProblem::TooShort},
                      HeaderCase{{0x7C, 0x4D, 0x02, 0x00, 0, 0, 0, 0}, std::nullopt, FrameHeaderProblem::NotAFrame},
                      HeaderCase{{0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0}, std::nullopt, FrameHeaderProblem::NotAFrame},
                      HeaderCase{{0x7C, 0x4D, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00}, 2},
                      HeaderCase{{0x7C, 0x4D, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 4294967295u}));

}  // namespace
}  // namespace vorl
