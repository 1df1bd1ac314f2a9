#include <gtest/gtest.h>

#include "core/local_offset.hpp"

namespace vorl {
namespace {

TEST(LocalOffset, ComponentsCarryTheSignOfTheTotal) {
    const UtcOffset before = get_local_offset();
    const std::pair<UtcOffset, std::int32_t> cases[] = {
        {{5, 30, 0}, 19800}, {{-1, -30, 0}, -5400}, {{25, 59, 59}, 93599}, {{-25, -59, -59}, -93599}};
    for (const auto& [stored, total] : cases) {
        set_default_timezone(stored);
        EXPECT_EQ(TZ_LOCAL.load(), total);
        EXPECT_EQ(get_local_offset(), stored);
        EXPECT_EQ(local_offset_micros(), std::int64_t{total} * 1'000'000);
    }
    set_default_timezone(before);
}

}  // namespace
}  // namespace vorl
