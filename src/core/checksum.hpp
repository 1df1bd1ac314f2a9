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

}  // namespace vorl
