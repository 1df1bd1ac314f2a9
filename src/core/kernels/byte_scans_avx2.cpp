// The byte scan loops compiled for AVX2: the compiler vectorises them 32
// bytes at a time, where the baseline build takes 16.
#include "core/kernels/byte_scans.hpp"

#if VORL_KERNELS_AVX2

#include "core/kernels/byte_scan_loops.hpp"

namespace vorl {
namespace {

VORL_TARGET_AVX2 void normalise_bools(std::uint8_t* out, const std::uint8_t* values, std::size_t count) noexcept {
    byte_scan_loops::normalise_bools(out, values, count);
}

VORL_TARGET_AVX2 std::size_t copy_booleans(std::uint8_t* out, const std::uint8_t* bytes, std::size_t size) noexcept {
    return byte_scan_loops::copy_booleans(out, bytes, size);
}

VORL_TARGET_AVX2 bool is_ascii(const std::uint8_t* bytes, std::size_t size) noexcept {
    return byte_scan_loops::is_ascii(bytes, size);
}

}  // namespace

const ByteScanKernels BYTE_SCANS_AVX2{"avx2", normalise_bools, copy_booleans, is_ascii};

}  // namespace vorl

#endif
