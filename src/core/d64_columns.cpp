#include "core/d64_columns.hpp"

#include "core/kernels/d64_conversions.hpp"

namespace vorl {

std::size_t doubles_to_d64(std::span<const double> values, unsigned places, D64* out) noexcept {
    return d64_conversion_kernels().from_doubles(values.data(), values.size(), places, out);
}

std::size_t floats_to_d64(std::span<const float> values, unsigned places, D64* out) noexcept {
    return d64_conversion_kernels().from_floats(values.data(), values.size(), places, out);
}

void d64_to_doubles(std::span<const D64> values, double* out) noexcept {
    d64_conversion_kernels().to_doubles(values.data(), values.size(), out);
}

namespace {

template <class Float>
std::size_t first_nan_of(std::span<const Float> values) noexcept {
    std::size_t i = 0;
    // Blocks tested without a branch per value, which compilers vectorise.
    for (constexpr std::size_t BLOCK = 64; values.size() - i >= BLOCK; i += BLOCK) {
        bool nan = false;
        for (std::size_t k = 0; k < BLOCK; ++k) nan |= values[i + k] != values[i + k];
        if (nan) break;
    }
    while (i < values.size() && values[i] == values[i]) ++i;
    return i;
}

}  // namespace

std::size_t first_nan(std::span<const double> values) noexcept { return first_nan_of(values); }
std::size_t first_nan(std::span<const float> values) noexcept { return first_nan_of(values); }

}  // namespace vorl
