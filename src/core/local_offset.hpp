// The process-wide local UTC offset that date-time columns get on their way
// out to Python. Frames always carry UTC microseconds.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorl {

// Positive east of UTC. Hours -25..25, minutes and seconds -59..59.
struct UtcOffset {
    std::int8_t hours = 0;
    std::int8_t minutes = 0;
    std::int8_t seconds = 0;

    friend bool operator==(const UtcOffset&, const UtcOffset&) = default;
};

inline constexpr std::int32_t DEFAULT_LOCAL_OFFSET_SECONDS = 8 * 3600;

// Total seconds of the offset. Relaxed ordering is enough: the cell is one word
// read and written whole, and callers are serialised by the interpreter lock.
extern std::atomic<std::int32_t> TZ_LOCAL;

void set_default_timezone(UtcOffset offset) noexcept;
UtcOffset get_local_offset() noexcept;

// hours*3600 + minutes*60 + seconds of the stored offset, in microseconds.
std::int64_t local_offset_micros() noexcept;

}  // namespace vorl
