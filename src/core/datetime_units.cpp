#include "core/datetime_units.hpp"

#include <cstring>

namespace vorl {
namespace {

// A product of a coarser unit: NaT itself is excluded from the range, so a
// value never lands on NaT by accident.
std::size_t scale_up(std::span<const std::int64_t> in, std::int64_t factor, std::int64_t* out) noexcept {
    const std::int64_t limit = std::numeric_limits<std::int64_t>::max() / factor;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::int64_t value = in[i];
        if (value == NOT_A_TIME) {
            out[i] = NOT_A_TIME;
        } else if (value > limit || value < -limit) {
            return i;
        } else {
            out[i] = value * factor;
        }
    }
    return in.size();
}

}  // namespace

std::int64_t micros_per_tick(TimeUnit unit) noexcept {
    switch (unit) {
        case TimeUnit::Second: return 1'000'000;
        case TimeUnit::Millisecond: return 1'000;
        case TimeUnit::Microsecond: return 1;
        case TimeUnit::Nanosecond: return 0;
        case TimeUnit::Minute: return 60'000'000;
        case TimeUnit::Hour: return 3'600'000'000;
        case TimeUnit::Day: return 86'400'000'000;
        case TimeUnit::Week: return 604'800'000'000;
    }
    return 1;
}

std::size_t to_microseconds(std::span<const std::int64_t> in, TimeUnit unit, std::int64_t* out) noexcept {
    switch (unit) {
        case TimeUnit::Second:
        case TimeUnit::Millisecond:
        case TimeUnit::Minute:
        case TimeUnit::Hour:
        case TimeUnit::Day:
        case TimeUnit::Week: return scale_up(in, micros_per_tick(unit), out);
        case TimeUnit::Microsecond:
            if (!in.empty() && in.data() != out) std::memmove(out, in.data(), in.size_bytes());
            return in.size();
        case TimeUnit::Nanosecond:
            for (std::size_t i = 0; i < in.size(); ++i) {
                const std::int64_t value = in[i];
                out[i] = value == NOT_A_TIME ? NOT_A_TIME : value / 1000;  // truncates toward zero
            }
            return in.size();
    }
    return 0;
}

void add_offset_keeping_nat(std::span<std::int64_t> values, std::int64_t offset) noexcept {
    if (offset == 0) return;
    const auto step = static_cast<std::uint64_t>(offset);
    for (std::int64_t& value : values) {
        if (value != NOT_A_TIME) value = static_cast<std::int64_t>(static_cast<std::uint64_t>(value) + step);
    }
}

}  // namespace vorl
