// Byte-at-a-time column bodies: bool columns in and out, and the ASCII test
// that lets a body of short texts skip UTF-8 checking element by element.
// The plain loops (byte_scans_scalar.cpp) define the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/byte_order.hpp"
#include "core/kernels/isa.hpp"

namespace vorl {

struct ByteScanKernels {
    const char* name;
    // out[i] = values[i] != 0 ? 1 : 0; arrays viewed as bool may hold other
    // bytes, the format knows only 0 and 1. out and values do not overlap.
    void (*normalise_bools)(std::uint8_t* out, const std::uint8_t* values, std::size_t count) noexcept;
    // Copies bytes to out up to the first byte above 1 and returns its index,
    // or size when there is none (all of it copied). out past that index is
    // unspecified. out and bytes do not overlap.
    std::size_t (*copy_booleans)(std::uint8_t* out, const std::uint8_t* bytes, std::size_t size) noexcept;
    // True when no byte has its high bit set; for whole column bodies.
    bool (*is_ascii)(const std::uint8_t* bytes, std::size_t size) noexcept;
};

extern const ByteScanKernels BYTE_SCANS_PLAIN;
#if VORL_KERNELS_AVX2
extern const ByteScanKernels BYTE_SCANS_AVX2;
#endif

std::span<const ByteScanKernels* const> usable_byte_scan_kernels() noexcept;
const ByteScanKernels& byte_scan_kernels() noexcept;

// is_ascii for a short span (one text), where a call through the table
// would cost more than the test.
inline bool all_ascii(const std::uint8_t* bytes, std::size_t size) noexcept {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; size - i >= 8; i += 8) high |= load_le<std::uint64_t>(bytes + i);
    for (; i < size; ++i) high |= bytes[i];
    return (high & 0x8080'8080'8080'8080ull) == 0;
}

}  // namespace vorl
