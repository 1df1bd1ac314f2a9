// The plain loops that define the datetime difference kernels.
#include "core/kernels/datetime_differences.hpp"
#include "core/kernels/step_divider.hpp"
#include "core/kernels/zigzag_runs.hpp"

namespace vorl {
namespace {

bool one_difference(const std::int64_t* values, std::size_t count) noexcept {
    if (count < 3) return true;
    const std::int64_t first = wrapping_sub(values[1], values[0]);
    for (std::size_t i = 2; i < count; ++i) {
        if (wrapping_sub(values[i], values[i - 1]) != first) return false;
    }
    return true;
}

bool step_divides(const std::int64_t* values, std::size_t begin, std::size_t end, std::int64_t step) noexcept {
    const StepDivider divider(step);
    // Irregular columns still repeat differences; test each run of one once.
    bool checked = false;
    std::int64_t last_checked = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const std::int64_t difference = wrapping_sub(values[i], values[i - 1]);
        if (checked && difference == last_checked) continue;
        if (!divider.divides(difference)) return false;
        checked = true;
        last_checked = difference;
    }
    return true;
}

inline std::int64_t difference(const std::int64_t* values, std::size_t i) noexcept {
    return wrapping_sub(values[i], values[i - 1]);
}

// The quotients of a step of 1 are the differences themselves.
std::uint64_t quotients_size(const std::int64_t* values, std::size_t begin, std::size_t end,
                             std::int64_t step) noexcept {
    if (step == 1) return zigzag_run_size(begin, end, [values](std::size_t i) { return difference(values, i); });
    const StepDivider divider(step);
    return zigzag_run_size(begin, end, [&](std::size_t i) { return divider.quotient(difference(values, i)); });
}

std::size_t write_quotients(std::uint8_t* out, const std::int64_t* values, std::size_t begin, std::size_t end,
                            std::int64_t step) noexcept {
    if (step == 1) return write_zigzag_run(out, begin, end, [values](std::size_t i) { return difference(values, i); });
    const StepDivider divider(step);
    return write_zigzag_run(out, begin, end, [&](std::size_t i) { return divider.quotient(difference(values, i)); });
}

void accumulate(std::int64_t* values, std::size_t count, std::uint64_t g, std::uint64_t& running_sum) noexcept {
    std::uint64_t running = running_sum;  // a local: stores to values could alias the reference
    for (std::size_t i = 0; i < count; ++i) {
        running += static_cast<std::uint64_t>(values[i]);
        values[i] = static_cast<std::int64_t>(running * g);
    }
    running_sum = running;
}

}  // namespace

const DatetimeDifferenceKernels DATETIME_DIFFERENCES_PLAIN{"plain",        one_difference,  step_divides,
                                                           quotients_size, write_quotients, accumulate};

}  // namespace vorl
