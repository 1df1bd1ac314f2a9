// NumPy's datetime64 units brought to the microseconds that DateTime columns
// hold, with NumPy's not-a-time value (INT64_MIN) kept as itself both ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace vorl {

// The coarse units (dates among them) are numbered after the four that came first.
enum class TimeUnit : std::uint8_t { Second, Millisecond, Microsecond, Nanosecond, Minute, Hour, Day, Week };

inline constexpr std::int64_t NOT_A_TIME = std::numeric_limits<std::int64_t>::min();

// Microseconds in one tick of `unit`; 0 for nanoseconds, the one unit finer than a microsecond.
std::int64_t micros_per_tick(TimeUnit unit) noexcept;

// Writes in.size() values to out (which may be in.data()). NaT stays NaT;
// nanoseconds are truncated toward zero. Returns the index of the first value
// whose microseconds do not fit int64 (out is then only filled before it), or
// in.size() when all fit.
std::size_t to_microseconds(std::span<const std::int64_t> in, TimeUnit unit, std::int64_t* out) noexcept;

// values[i] += offset in wrapping 64-bit arithmetic, NaT left as it is.
void add_offset_keeping_nat(std::span<std::int64_t> values, std::int64_t offset) noexcept;

}  // namespace vorl
