#include "core/local_offset.hpp"

namespace vorl {

std::atomic<std::int32_t> TZ_LOCAL{DEFAULT_LOCAL_OFFSET_SECONDS};

void set_default_timezone(UtcOffset offset) noexcept {
    const std::int32_t total =
        std::int32_t{offset.hours} * 3600 + std::int32_t{offset.minutes} * 60 + std::int32_t{offset.seconds};
    TZ_LOCAL.store(total, std::memory_order_relaxed);
}

UtcOffset get_local_offset() noexcept {
    // Every storable total lies within +-93599 s, so each component fits int8;
    // truncating division gives all three the sign of the total.
    const std::int32_t total = TZ_LOCAL.load(std::memory_order_relaxed);
    const std::int32_t hours = total / 3600;
    const std::int32_t minutes = (total - hours * 3600) / 60;
    const std::int32_t seconds = total - (total / 60) * 60;
    return UtcOffset{static_cast<std::int8_t>(hours), static_cast<std::int8_t>(minutes),
                     static_cast<std::int8_t>(seconds)};
}

std::int64_t local_offset_micros() noexcept {
    const UtcOffset offset = get_local_offset();
    const std::int64_t seconds =
        std::int64_t{offset.hours} * 3600 + std::int64_t{offset.minutes} * 60 + std::int64_t{offset.seconds};
    return seconds * 1'000'000;
}

}  // namespace vorl
