// The plain loops that define the byte scan kernels.
#include "core/kernels/byte_scan_loops.hpp"

namespace vorl {
namespace {

void normalise_bools(std::uint8_t* out, const std::uint8_t* values, std::size_t count) noexcept {
    byte_scan_loops::normalise_bools(out, values, count);
}

std::size_t copy_booleans(std::uint8_t* out, const std::uint8_t* bytes, std::size_t size) noexcept {
    return byte_scan_loops::copy_booleans(out, bytes, size);
}

bool is_ascii(const std::uint8_t* bytes, std::size_t size) noexcept { return byte_scan_loops::is_ascii(bytes, size); }

}  // namespace

const ByteScanKernels BYTE_SCANS_PLAIN{"plain", normalise_bools, copy_booleans, is_ascii};

}  // namespace vorl
