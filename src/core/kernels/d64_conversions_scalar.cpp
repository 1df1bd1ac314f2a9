// The plain loops that define the D64 conversion kernels.
#include <cstring>

#include "core/kernels/d64_conversions.hpp"
#include "core/kernels/d64_words.hpp"

namespace vorl {
namespace {

template <class Float>
std::size_t from_floating(const Float* values, std::size_t count, unsigned places, D64* out) noexcept {
    constexpr FloatWidth width = sizeof(Float) == 8 ? FloatWidth::Binary64 : FloatWidth::Binary32;
    for (std::size_t i = 0; i < count; ++i) {
        auto decimal = d64_from_float(static_cast<double>(values[i]), places, width);
        if (!decimal) return i;
        out[i] = decimal.value();
    }
    return count;
}

template <class Float>
std::size_t signed_from_floating(const Float* values, std::size_t count, unsigned places, bool nan_refused,
                                 std::int64_t* out) noexcept {
    constexpr FloatWidth width = sizeof(Float) == 8 ? FloatWidth::Binary64 : FloatWidth::Binary32;
    for (std::size_t i = 0; i < count; ++i) {
        if (nan_refused && values[i] != values[i]) return i;
        auto decimal = d64_from_float(static_cast<double>(values[i]), places, width);
        if (!decimal) return i;
        out[i] = d64_signed_magnitude(decimal.value());
    }
    return count;
}

void to_doubles(const D64* values, std::size_t count, double* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        D64 decimal;
        std::memcpy(&decimal, values + i, sizeof decimal);  // out may overlap values
        const double value = d64_to_double(decimal);
        std::memcpy(out + i, &value, sizeof value);
    }
}

void sums_to_doubles(std::uint8_t* slots, std::size_t count, unsigned scale, std::uint64_t& running_sum) noexcept {
    std::uint64_t running = running_sum;
    for (std::size_t i = 0; i < count; ++i) {
        running += load_le<std::uint64_t>(slots + 8 * i);
        const double value = d64_sum_to_double(running, scale);
        std::memcpy(slots + 8 * i, &value, sizeof value);
    }
    running_sum = running;
}

}  // namespace

const D64ConversionKernels D64_CONVERSIONS_PLAIN{
    "plain",    from_floating<double>, from_floating<float>, signed_from_floating<double>, signed_from_floating<float>,
    to_doubles, sums_to_doubles};

}  // namespace vorl
