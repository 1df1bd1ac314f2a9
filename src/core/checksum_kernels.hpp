// The CRC-32 routines behind vorl::crc32, exposed so that each one can be
// checked against zlib on any machine that can run it.
#pragma once

#include <cstdint>
#include <span>

#include "core/kernels/isa.hpp"

#if VORL_SIMD && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORL_CRC32_X86 1
#endif

namespace vorl::detail {

// Every kernel continues a checksum the way zlib's crc32() does: `crc` is the
// checksum of the bytes before `bytes` (0 at the start of a run).
using Crc32Kernel = std::uint32_t (*)(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;

struct NamedCrc32Kernel {
    const char* name;
    Crc32Kernel run;
};

std::uint32_t crc32_zlib(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;

#if defined(VORL_CRC32_X86)
bool cpu_has_pclmul() noexcept;
bool cpu_has_vpclmul() noexcept;
// 512-bit carry-less multiplication, with the AVX-512 byte operations the bool kernels use.
bool cpu_has_vpclmul512() noexcept;

// Need cpu_has_pclmul().
std::uint32_t crc32_pclmul(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;
// Need cpu_has_vpclmul().
std::uint32_t crc32_vpclmul(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;
// Need cpu_has_vpclmul512().
std::uint32_t crc32_vpclmul512(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;
#endif

// The kernels this processor can run, fastest first; zlib is always last.
std::span<const NamedCrc32Kernel> usable_crc32_kernels() noexcept;

// Copies `from` to `to` (which must not overlap) and continues `crc` over the
// bytes, in one pass: the bytes pass through registers once instead of being
// read again from memory by a checksum pass of their own.
using Crc32CopyKernel = std::uint32_t (*)(std::uint32_t crc, std::uint8_t* to,
                                          std::span<const std::uint8_t> from) noexcept;

struct NamedCrc32CopyKernel {
    const char* name;
    Crc32CopyKernel run;
};

// The plain loop that defines the fused kernels: copy, then checksum the copy,
// a cache-sized block at a time so the checksum reads from cache.
std::uint32_t crc32_copy_plain(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept;

#if defined(VORL_CRC32_X86)
// Need cpu_has_pclmul() / cpu_has_vpclmul().
std::uint32_t crc32_copy_pclmul(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept;
std::uint32_t crc32_copy_vpclmul(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept;
std::uint32_t crc32_copy_vpclmul512(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept;
#endif

// The fused kernels this processor can run, fastest first; the plain loop is always last.
std::span<const NamedCrc32CopyKernel> usable_crc32_copy_kernels() noexcept;

// The bodies of bool columns, copied and checksummed in one pass like crc32_copy: both
// continue `crc` over the bytes as written to `to`, which must not overlap `from`.
struct Crc32BoolKernels {
    const char* name;
    // to[i] = from[i] != 0 ? 1 : 0, for a column being written: arrays viewed as
    // bool may hold other bytes, the format knows only 0 and 1.
    std::uint32_t (*normalise)(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept;
    // Copies a column being read and sets `all_bools` to whether every byte is 0 or 1;
    // when one is not, the result and the bytes in `to` are unspecified.
    std::uint32_t (*copy_checked)(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from,
                                  bool& all_bools) noexcept;
};

// The plain loops that define them: the byte scan kernels, then the checksum
// of what they wrote, a cache-sized block at a time.
extern const Crc32BoolKernels CRC32_BOOLS_PLAIN;
#if defined(VORL_CRC32_X86)
extern const Crc32BoolKernels CRC32_BOOLS_VPCLMUL512;  // needs cpu_has_vpclmul512()
#endif

// The bool kernels this processor can run, fastest first; the plain loops are always last.
std::span<const Crc32BoolKernels* const> usable_crc32_bool_kernels() noexcept;

}  // namespace vorl::detail
