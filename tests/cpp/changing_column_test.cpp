// The writer reads a column twice (to count, then to write) and another
// thread may change it in between or during a pass. Whatever it then meets,
// it stays defined: the body is well formed, and the sanitizer build shows
// that nothing traps (a step of -1 against -2^63 is the classic one).
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "core/datetime_column.hpp"
#include "core/datetime_step.hpp"
#include "test_support.hpp"

namespace vorl {
namespace {

constexpr std::int64_t MIN64 = std::numeric_limits<std::int64_t>::min();

// Nine zeros and then -1, -2, ...: the step rule gives -1.
std::vector<std::int64_t> counted_column(std::size_t n) {
    std::vector<std::int64_t> values(n, 0);
    for (std::size_t i = 9; i < n; ++i) values[i] = 8 - static_cast<std::int64_t>(i);
    return values;
}

std::vector<std::uint8_t> encode_with(const std::vector<std::int64_t>& values, const DatetimePlan& plan) {
    return testing::encode_both([&](auto& sink) { encode_datetime_column(std::span(values), plan, sink); });
}

TEST(ChangingColumn, StalePlanMeetingMinusTwoToTheSixtyThreeStaysDefined) {
    for (const std::vector<std::int64_t>& counted : {std::vector<std::int64_t>{0, -1}, counted_column(40)}) {
        const std::size_t n = counted.size();
        const DatetimePlan plan = plan_datetime_column(counted);
        ASSERT_EQ(plan.step, -1);
        // First value -2^63, and one difference of -2^63 further on.
        std::vector<std::int64_t> written = counted;
        written[0] = MIN64;
        written[n - 1] = written[n - 2] ^ MIN64;  // plus 2^63, wrapping
        const auto bytes = encode_with(written, plan);
        // Negation by -1 wraps, so even these values come back.
        SliceReader reader(bytes);
        auto decoded = datetime_array_bincode_decode(reader);
        ASSERT_TRUE(decoded.ok());
        EXPECT_EQ(std::vector<std::int64_t>(decoded->begin(), decoded->end()), written);
    }
}

TEST(ChangingColumn, StalePlanOffTheGridGivesAWellFormedBody) {
    std::vector<std::int64_t> counted(100);
    for (std::size_t i = 0; i < counted.size(); ++i) counted[i] = 60 * static_cast<std::int64_t>(i);
    const DatetimePlan plan = plan_datetime_column(counted);
    for (const std::int64_t odd : {std::int64_t{7}, MIN64, std::numeric_limits<std::int64_t>::max()}) {
        std::vector<std::int64_t> written = counted;
        written[50] = odd;
        const auto bytes = encode_with(written, plan);
        SliceReader reader(bytes);
        auto decoded = datetime_array_bincode_decode(reader);
        ASSERT_TRUE(decoded.ok());
        EXPECT_EQ(decoded->size(), written.size());
        EXPECT_EQ(reader.remaining(), 0u);
    }
}

}  // namespace
}  // namespace vorl
