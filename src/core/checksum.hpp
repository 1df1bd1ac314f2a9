// The frame checksum: CRC-32/ISO-HDLC, bit-identical to zlib's crc32() started
// from 0 (check value 0xCBF43926 for "123456789").
#pragma once

#include <cstdint>
#include <span>

namespace vorl {

std::uint32_t crc32(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace vorl
