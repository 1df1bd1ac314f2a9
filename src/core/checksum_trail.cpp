#include "core/checksum_trail.hpp"

#include <cstring>

#include "core/checksum.hpp"

namespace vorl {
namespace {

thread_local ChecksumTrail* active_trail = nullptr;

}  // namespace

void ChecksumTrail::catch_up(const std::uint8_t* at) noexcept {
    if (at <= done_) return;
    crc_ = crc32_extend(crc_, {done_, static_cast<std::size_t>(at - done_)});
    done_ = at;
}

void ChecksumTrail::copy(std::uint8_t* to, const std::uint8_t* from, std::size_t count,
                         const std::uint8_t* at) noexcept {
    if (count == 0) return;
    if (!reaches(at, count)) {
        std::memcpy(to, from, count);
        return;
    }
    catch_up(at);
    crc_ = crc32_copy(crc_, to, {from, count});
    done_ = at + count;
}

std::uint32_t ChecksumTrail::finish() noexcept {
    catch_up(end_);
    return crc_;
}

ChecksumTrail* active_checksum_trail() noexcept { return active_trail; }

ActiveChecksumTrail::ActiveChecksumTrail(ChecksumTrail& trail) noexcept : previous_(active_trail) {
    active_trail = &trail;
}

ActiveChecksumTrail::~ActiveChecksumTrail() { active_trail = previous_; }

}  // namespace vorl
