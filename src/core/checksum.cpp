#include "core/checksum.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "core/checksum_kernels.hpp"

namespace vorl {
namespace detail {

std::uint32_t crc32_zlib(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
    // zlib takes a uInt length, so longer runs go in slices.
    uLong state = crc;
    const std::uint8_t* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const std::size_t slice = std::min<std::size_t>(left, std::numeric_limits<uInt>::max());
        state = ::crc32(state, data, static_cast<uInt>(slice));
        data += slice;
        left -= slice;
    }
    return static_cast<std::uint32_t>(state);
}

std::span<const NamedCrc32Kernel> usable_crc32_kernels() noexcept {
    static const auto kernels = [] {
        std::array<NamedCrc32Kernel, 3> found{};
        std::size_t count = 0;
#if defined(VORL_CRC32_X86)
        if (cpu_has_vpclmul()) found[count++] = {"vpclmul", crc32_vpclmul};
        if (cpu_has_pclmul()) found[count++] = {"pclmul", crc32_pclmul};
#endif
        found[count++] = {"zlib", crc32_zlib};
        return std::pair{found, count};
    }();
    return std::span(kernels.first.data(), kernels.second);
}

}  // namespace detail

std::uint32_t crc32(std::span<const std::uint8_t> bytes) noexcept {
    static const detail::Crc32Kernel fastest = detail::usable_crc32_kernels().front().run;
    return fastest(0, bytes);
}

}  // namespace vorl
