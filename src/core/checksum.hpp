// The frame checksum: CRC-32/ISO-HDLC, bit-identical to zlib's crc32() started
// from 0 (check value 0xCBF43926 for "123456789").
#pragma once

#include <cstdint>
#include <span>

namespace vorl {

std::uint32_t crc32(std::span<const std::uint8_t> bytes) noexcept;

// The checksum of the bytes before `bytes` (crc) continued over `bytes`:
// crc32_extend(crc32(a), b) == crc32(a followed by b).
std::uint32_t crc32_extend(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;

// Copies `from` to `to` (no overlap) and returns crc32_extend(crc, from), in one pass.
std::uint32_t crc32_copy(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept;

// crc32_copy for the body of a bool column being written: writes from[i] != 0 ? 1 : 0
// and continues `crc` over what it wrote.
std::uint32_t crc32_copy_normalised_bools(std::uint32_t crc, std::uint8_t* to,
                                          std::span<const std::uint8_t> from) noexcept;

// crc32_copy for the body of a bool column being read, also telling whether every
// byte is 0 or 1; when one is not, the result and the bytes in `to` are unspecified.
std::uint32_t crc32_copy_bools(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from,
                               bool& all_bools) noexcept;

}  // namespace vorl
