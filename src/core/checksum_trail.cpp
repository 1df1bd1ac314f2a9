#include "core/checksum_trail.hpp"

#include <cstring>

#include "core/checksum.hpp"
#include "core/kernels/byte_scans.hpp"

namespace vorl {
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

void ChecksumTrail::copy_normalised_bools(std::uint8_t* to, const std::uint8_t* from, std::size_t count) noexcept {
    if (count == 0) return;
    if (!reaches(to, count)) return byte_scan_kernels().normalise_bools(to, from, count);
    catch_up(to);
    crc_ = crc32_copy_normalised_bools(crc_, to, {from, count});
    done_ = to + count;
}

bool ChecksumTrail::copy_bools(std::uint8_t* to, const std::uint8_t* from, std::size_t count) noexcept {
    if (count == 0) return true;
    if (!reaches(from, count)) return byte_scan_kernels().copy_booleans(to, from, count) == count;
    catch_up(from);
    bool all_bools = false;
    const std::uint32_t crc = crc32_copy_bools(crc_, to, {from, count}, all_bools);
    if (!all_bools) return false;
    crc_ = crc;
    done_ = from + count;
    return true;
}

std::uint32_t ChecksumTrail::finish() noexcept {
    catch_up(end_);
    return crc_;
}

}  // namespace vorl
