// The step of a compact datetime column: the format's rule (the greatest
// common divisor of the non-zero values among the first ten, with its sign
// rule) whenever that step divides the first value and every difference
// exactly; otherwise a step that does, so every column survives the round
// trip. Never 0 for a non-empty column.
#pragma once

#include <cstdint>
#include <span>

namespace vorl {

struct DatetimePlan {
    std::int64_t step;
    bool one_difference;  // every t(i) - t(i-1) equals t(1) - t(0)
    // t(0) and t(1) - t(0) as the plan read them. A column of one difference
    // is written from these alone: the scan that found it compared every
    // value with its neighbours, so the column it writes is the one it read.
    std::int64_t first = 0;
    std::int64_t difference = 0;
};

// values must not be empty.
DatetimePlan plan_datetime_column(std::span<const std::int64_t> values) noexcept;

}  // namespace vorl
