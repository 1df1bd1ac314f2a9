// The plain loops that define the decimal difference kernels.
#include "core/kernels/d64_words.hpp"
#include "core/kernels/decimal_differences.hpp"
#include "core/kernels/zigzag_runs.hpp"

namespace vorl {
namespace {

inline std::int64_t difference(const D64* values, std::size_t i) noexcept {
    return wrapping_sub(d64_signed_magnitude(values[i]), d64_signed_magnitude(values[i - 1]));
}

std::uint64_t size(const D64* values, std::size_t begin, std::size_t end) noexcept {
    return zigzag_run_size(begin, end, [values](std::size_t i) { return difference(values, i); });
}

std::size_t write(std::uint8_t* out, const D64* values, std::size_t begin, std::size_t end) noexcept {
    return write_zigzag_run(out, begin, end, [values](std::size_t i) { return difference(values, i); });
}

void accumulate(std::uint8_t* slots, std::size_t count, unsigned scale, std::uint64_t& running_sum) noexcept {
    std::uint64_t running = running_sum;
    for (std::size_t i = 0; i < count; ++i) {
        running += load_le<std::uint64_t>(slots + 8 * i);
        store_le(slots + 8 * i, d64_word(running, scale));
    }
    running_sum = running;
}

}  // namespace

const DecimalDifferenceKernels DECIMAL_DIFFERENCES_PLAIN{"plain", size, write, accumulate};

}  // namespace vorl
