#include "core/checksum.hpp"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace vorl {

std::uint32_t crc32(std::span<const std::uint8_t> bytes) noexcept {
    // zlib takes a uInt length, so longer runs go in slices.
    uLong crc = ::crc32(0L, Z_NULL, 0);
    const std::uint8_t* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const std::size_t slice = std::min<std::size_t>(left, std::numeric_limits<uInt>::max());
        crc = ::crc32(crc, data, static_cast<uInt>(slice));
        data += slice;
        left -= slice;
    }
    return static_cast<std::uint32_t>(crc);
}

}  // namespace vorl
