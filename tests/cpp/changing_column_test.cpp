// The writer reads a column twice (to count, then to write) and another
// thread may change it in between or during a pass. Whatever it then meets,
// it stays defined (the sanitizer build shows that nothing traps; a step of -1
// against -2^63 is the classic one), and the writing pass never writes a value
// that was not in the column: it restores what it read, or refuses.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
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

// The body written with a plan made from other values, or nothing when the
// writing sink refused them. The counting sink always counts a whole body.
std::optional<std::vector<std::uint8_t>> encode_with(const std::vector<std::int64_t>& values,
                                                     const DatetimePlan& plan) {
    SizeWriter counter;
    encode_datetime_column(std::span(values), plan, counter);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(counter.size()) + 64);
    VecWriter writer(bytes);
    encode_datetime_column(std::span(values), plan, writer);
    if (!writer.status()) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(writer.size()));
    return bytes;
}

std::vector<std::int64_t> decoded(const std::vector<std::uint8_t>& bytes) {
    SliceReader reader(bytes);
    auto values = datetime_array_bincode_decode(reader);
    EXPECT_TRUE(values.ok());
    EXPECT_EQ(reader.remaining(), 0u);
    return values.ok() ? std::vector<std::int64_t>(values->begin(), values->end()) : std::vector<std::int64_t>{};
}

std::vector<std::int64_t> grid(std::size_t n, std::int64_t step) {
    std::vector<std::int64_t> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = step * static_cast<std::int64_t>(i * i % 97);
    return values;
}

std::vector<std::int64_t> regular(std::size_t n, std::int64_t step) {
    std::vector<std::int64_t> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = 1'700'000'000'000'000 + step * static_cast<std::int64_t>(i);
    return values;
}

// A value that left the plan's grid after the plan was made must not be
// written as a truncated quotient: the writer refuses, and the caller encodes
// a private copy instead. A change that still fits the plan is written as the
// value read. A column of one difference is written as the plan read it.
TEST(ChangingColumn, StalePlanIsRefusedOrRestoresWhatWasRead) {
    struct Case {
        std::vector<std::int64_t> planned;
        std::size_t at;
        std::int64_t value;
        bool fits;
    };
    const std::size_t n = 5000;  // beyond one chunk of the writer
    const std::vector<Case> cases = {
        {grid(n, 1000), 4500, 7, false},
        {grid(n, 1000), 3, 1'000'000'001, false},
        {grid(n, 1000), 0, 1, false},
        {grid(n, 1000), 4999, 123'000, true},
        {regular(n, 1000), 2500, regular(n, 1000)[2500] + 1000, true},
        {regular(n, 1000), 1, 0, true},
        {regular(n, 1), 4999, 0, true},
        {regular(n, 1000), 0, regular(n, 1000)[0] + 1, true},
        {grid(n, 1), 4000, MIN64, true},
        {counted_column(40), 0, MIN64, false},
        {counted_column(40), 39, counted_column(40)[38] ^ MIN64, false},  // a difference of -2^63 against step -1
    };
    for (const Case& c : cases) {
        const DatetimePlan plan = plan_datetime_column(c.planned);
        std::vector<std::int64_t> written = c.planned;
        written[c.at] = c.value;
        const auto bytes = encode_with(written, plan);
        ASSERT_EQ(bytes.has_value(), c.fits) << c.at << " " << c.value;
        if (bytes) {
            EXPECT_EQ(decoded(*bytes), plan.one_difference ? c.planned : written);
        }
    }
}

}  // namespace
}  // namespace vorl
