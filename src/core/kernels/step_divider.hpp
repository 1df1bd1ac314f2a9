// Division by the one step of a datetime column, which is slow as an
// instruction and repeated for every value. Below 2^50 the quotient is taken
// from the product with the step's reciprocal, rounded to the nearest
// integer, and kept only when it multiplies back to x exactly; every other
// case goes to the plain division, which defines the results.
//
// Defined for every step and every x, since the values may change under the
// writer (another thread owning the array): a step of 0 gives 0 and -1
// negates with wrap-around, where the plain division would trap.
#pragma once

#include <cstdint>

namespace vorl {

constexpr std::uint64_t magnitude_of(std::int64_t value) noexcept {
    const auto bits = static_cast<std::uint64_t>(value);
    return value < 0 ? 0 - bits : bits;
}

// Whether step divides x exactly and x / step is defined.
constexpr bool divides(std::int64_t step, std::int64_t x) noexcept {
    if (step == 0) return false;
    if (step == -1) return x != INT64_MIN;
    return x % step == 0;
}

// x / step truncated toward zero where that is defined; otherwise the
// wrapping result (INT64_MIN / -1 is INT64_MIN) or 0 for a step of 0.
constexpr std::int64_t safe_quotient(std::int64_t x, std::int64_t step) noexcept {
    if (step == 0) return 0;
    if (step == -1) return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(x));
    return x / step;
}

class StepDivider {
public:
    explicit StepDivider(std::int64_t step) noexcept
        : step_(step), reciprocal_(step == 0 ? 0.0 : 1.0 / static_cast<double>(step)) {}

    std::int64_t step() const noexcept { return step_; }

    bool divides(std::int64_t x) const noexcept {
        std::int64_t quotient;
        return fast_quotient(x, quotient) || vorl::divides(step_, x);
    }
    // safe_quotient(x, step).
    std::int64_t quotient(std::int64_t x) const noexcept {
        std::int64_t quotient;
        return fast_quotient(x, quotient) ? quotient : safe_quotient(x, step_);
    }

private:
    static constexpr std::uint64_t FAST_LIMIT = std::uint64_t{1} << 50;

    // The nearest integer to the product is within 0.2 of x / step below the
    // limit, so a step that divides x always multiplies back.
    bool fast_quotient(std::int64_t x, std::int64_t& quotient) const noexcept {
        if (magnitude_of(x) >= FAST_LIMIT) return false;
        const double product = static_cast<double>(x) * reciprocal_;
        // Rounded half away from zero by truncation (one instruction); ties
        // never multiply back, so their direction does not matter.
        quotient = static_cast<std::int64_t>(product < 0 ? product - 0.5 : product + 0.5);
        // Wrapping product: both factors are small enough that a wrapped
        // product cannot meet x by accident.
        const auto back = static_cast<std::uint64_t>(quotient) * static_cast<std::uint64_t>(step_);
        return back == static_cast<std::uint64_t>(x) && step_ != 0;
    }

    std::int64_t step_;
    double reciprocal_;
};

}  // namespace vorl
