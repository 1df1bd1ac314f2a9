#include "core/datetime_step.hpp"

#include <algorithm>
#include <numeric>

#include "core/kernels/datetime_differences.hpp"
#include "core/kernels/step_divider.hpp"
#include "core/kernels/zigzag_runs.hpp"

namespace vorl {
namespace {

// The format's step rule over the first ten values.
std::int64_t specified_step(std::span<const std::int64_t> values) noexcept {
    std::int64_t step = values.front();
    for (const std::int64_t x : values.first(std::min<std::size_t>(values.size(), 10))) {
        if (step == 0) {
            step = x;
        } else if (x == 0) {
            step = static_cast<std::int64_t>(magnitude_of(step));
        } else {
            step = static_cast<std::int64_t>(std::gcd(magnitude_of(step), magnitude_of(x)));
        }
    }
    return step;
}

// gcd of |t(0)| and every |difference|: divides them all by construction. It is
// 2^63 only when every one of them is 0 or -2^63, and -2^63 divides those too.
std::int64_t exact_step(std::span<const std::int64_t> values, bool one_difference) noexcept {
    std::uint64_t step = magnitude_of(values.front());
    // A column with one difference gives the same gcd from its first two values.
    const std::size_t end = one_difference ? std::min<std::size_t>(values.size(), 2) : values.size();
    for (std::size_t i = 1; i < end && step != 1; ++i) {
        // The step settles within a few values; one division then tells that it still divides,
        // where a gcd would take dozens of steps for every value.
        const std::uint64_t difference = magnitude_of(wrapping_sub(values[i], values[i - 1]));
        if (step == 0 || difference % step != 0) step = std::gcd(step, difference);
    }
    return step == 0 ? 1 : static_cast<std::int64_t>(step);
}

}  // namespace

DatetimePlan plan_datetime_column(std::span<const std::int64_t> values) noexcept {
    const DatetimeDifferenceKernels& kernels = datetime_difference_kernels();
    // The first two values are read once, before the scan, and the scan
    // compares every difference with theirs.
    const std::int64_t first = values.front();
    const std::int64_t difference = values.size() < 2 ? 0 : wrapping_sub(values[1], first);
    const std::int64_t specified = specified_step(values);
    const bool one_difference = kernels.one_difference(values.data(), values.size()) &&
                                (values.size() < 2 || wrapping_sub(values[1], values[0]) == difference) &&
                                values[0] == first;
    bool fits = divides(specified, first);
    if (fits && one_difference) {
        fits = values.size() < 2 || divides(specified, difference);
    } else if (fits && specified != 1) {  // 1 divides every difference
        fits = kernels.step_divides(values.data(), 1, values.size(), specified);
    }
    const std::int64_t step = fits ? specified : exact_step(values, one_difference);
    return {step, one_difference, first, difference};
}

}  // namespace vorl
