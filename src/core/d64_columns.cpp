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

Buffer<double> d64_column_to_doubles(Buffer<D64> values) noexcept {
    d64_to_doubles(values.span(), reinterpret_cast<double*>(values.data()));
    return std::move(values).reinterpret_as<double>();
}

}  // namespace vorl
