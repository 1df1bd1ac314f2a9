#include "core/checksum.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "core/checksum_kernels.hpp"
#include "core/kernels/byte_scans.hpp"

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
        std::array<NamedCrc32Kernel, 4> found{};
        std::size_t count = 0;
#if defined(VORL_CRC32_X86)
        if (cpu_has_vpclmul512()) found[count++] = {"vpclmul512", crc32_vpclmul512};
        if (cpu_has_vpclmul()) found[count++] = {"vpclmul", crc32_vpclmul};
        if (cpu_has_pclmul()) found[count++] = {"pclmul", crc32_pclmul};
#endif
        found[count++] = {"zlib", crc32_zlib};
        return std::pair{found, count};
    }();
    return std::span(kernels.first.data(), kernels.second);
}

std::uint32_t crc32_copy_plain(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept {
    // Small enough that the copied block is still in the first-level cache
    // when the checksum reads it back.
    constexpr std::size_t BLOCK = 16 * 1024;
    for (std::size_t done = 0; done < from.size(); done += BLOCK) {
        const std::size_t size = std::min(BLOCK, from.size() - done);
        std::memcpy(to + done, from.data() + done, size);
        crc = crc32_extend(crc, {to + done, size});
    }
    return crc;
}

std::span<const NamedCrc32CopyKernel> usable_crc32_copy_kernels() noexcept {
    static const auto kernels = [] {
        std::array<NamedCrc32CopyKernel, 4> found{};
        std::size_t count = 0;
#if defined(VORL_CRC32_X86)
        if (cpu_has_vpclmul512()) found[count++] = {"vpclmul512", crc32_copy_vpclmul512};
        if (cpu_has_vpclmul()) found[count++] = {"vpclmul", crc32_copy_vpclmul};
        if (cpu_has_pclmul()) found[count++] = {"pclmul", crc32_copy_pclmul};
#endif
        found[count++] = {"plain", crc32_copy_plain};
        return std::pair{found, count};
    }();
    return std::span(kernels.first.data(), kernels.second);
}

namespace {

// Small enough that the written block is still in the first-level cache when
// the checksum reads it back, as in crc32_copy_plain.
constexpr std::size_t BOOL_BLOCK = 16 * 1024;

std::uint32_t normalise_bools_plain(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept {
    const ByteScanKernels& scans = byte_scan_kernels();
    for (std::size_t done = 0; done < from.size(); done += BOOL_BLOCK) {
        const std::size_t size = std::min(BOOL_BLOCK, from.size() - done);
        scans.normalise_bools(to + done, from.data() + done, size);
        crc = crc32_extend(crc, {to + done, size});
    }
    return crc;
}

std::uint32_t copy_bools_plain(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from,
                               bool& all_bools) noexcept {
    const ByteScanKernels& scans = byte_scan_kernels();
    all_bools = true;
    for (std::size_t done = 0; done < from.size(); done += BOOL_BLOCK) {
        const std::size_t size = std::min(BOOL_BLOCK, from.size() - done);
        if (scans.copy_booleans(to + done, from.data() + done, size) != size) {
            all_bools = false;
            return crc;
        }
        crc = crc32_extend(crc, {to + done, size});
    }
    return crc;
}

}  // namespace

const Crc32BoolKernels CRC32_BOOLS_PLAIN{"plain", normalise_bools_plain, copy_bools_plain};

std::span<const Crc32BoolKernels* const> usable_crc32_bool_kernels() noexcept {
    static const auto kernels = [] {
        std::array<const Crc32BoolKernels*, 2> found{};
        std::size_t count = 0;
#if defined(VORL_CRC32_X86)
        if (cpu_has_vpclmul512()) found[count++] = &CRC32_BOOLS_VPCLMUL512;
#endif
        found[count++] = &CRC32_BOOLS_PLAIN;
        return std::pair{found, count};
    }();
    return std::span(kernels.first.data(), kernels.second);
}

}  // namespace detail

std::uint32_t crc32(std::span<const std::uint8_t> bytes) noexcept { return crc32_extend(0, bytes); }

std::uint32_t crc32_extend(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
    static const detail::Crc32Kernel fastest = detail::usable_crc32_kernels().front().run;
    return fastest(crc, bytes);
}

std::uint32_t crc32_copy(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept {
    static const detail::Crc32CopyKernel fastest = detail::usable_crc32_copy_kernels().front().run;
    return fastest(crc, to, from);
}

std::uint32_t crc32_copy_normalised_bools(std::uint32_t crc, std::uint8_t* to,
                                          std::span<const std::uint8_t> from) noexcept {
    static const auto fastest = detail::usable_crc32_bool_kernels().front()->normalise;
    return fastest(crc, to, from);
}

std::uint32_t crc32_copy_bools(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from,
                               bool& all_bools) noexcept {
    static const auto fastest = detail::usable_crc32_bool_kernels().front()->copy_checked;
    return fastest(crc, to, from, all_bools);
}

}  // namespace vorl
