// The loops of the byte scan kernels, written so that the compiler vectorises
// them: the plain kernels compile them for the baseline, the AVX2 kernels for
// AVX2 (both inline them into functions carrying their own target).
#pragma once

#include "core/kernels/byte_scans.hpp"

namespace vorl::byte_scan_loops {

[[gnu::always_inline]] inline void normalise_bools(std::uint8_t* __restrict out, const std::uint8_t* __restrict values,
                                                   std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) out[i] = values[i] != 0 ? 1 : 0;
}

// Blocks are copied and tested whole, without an early exit inside, so that
// the loop vectorises; the block holding a byte above 1 goes byte by byte.
[[gnu::always_inline]] inline std::size_t copy_booleans(std::uint8_t* __restrict out,
                                                        const std::uint8_t* __restrict bytes,
                                                        std::size_t size) noexcept {
    constexpr std::size_t BLOCK = 64;
    std::size_t i = 0;
    for (; size - i >= BLOCK; i += BLOCK) {
        std::uint8_t any = 0;
        for (std::size_t k = 0; k < BLOCK; ++k) {
            out[i + k] = bytes[i + k];
            any |= bytes[i + k];
        }
        if (any > 1) break;
    }
    for (; i < size; ++i) {
        if (bytes[i] > 1) return i;
        out[i] = bytes[i];
    }
    return size;
}

// all_ascii a block of 64 bytes at a time, stopping at the first block that fails.
[[gnu::always_inline]] inline bool is_ascii(const std::uint8_t* bytes, std::size_t size) noexcept {
    std::size_t i = 0;
    for (; size - i >= 64; i += 64) {
        std::uint64_t high = 0;
        for (std::size_t k = 0; k < 64; k += 8) high |= load_le<std::uint64_t>(bytes + i + k);
        if ((high & 0x8080'8080'8080'8080ull) != 0) return false;
    }
    return all_ascii(bytes + i, size - i);
}

}  // namespace vorl::byte_scan_loops
