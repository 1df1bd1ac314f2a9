#include "core/decimal.hpp"

#include <cmath>
#include <iterator>

namespace vorl {
namespace {

constexpr std::uint64_t MAGNITUDE_LIMIT = D64_MAX_MAGNITUDE + 1;  // 2^56

// The UTF-8 encodings of every code point with the White_Space property.
// Matching whole encodings rejects overlong and truncated forms for free.
constexpr std::string_view WHITE_SPACE[] = {
    "\x09", "\x0A", "\x0B", "\x0C", "\x0D", "\x20",
    "\xC2\x85",      // U+0085
    "\xC2\xA0",      // U+00A0
    "\xE1\x9A\x80",  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000..U+200A
    "\xE2\x80\xA8",  // U+2028
    "\xE2\x80\xA9",  // U+2029
    "\xE2\x80\xAF",  // U+202F
    "\xE2\x81\x9F",  // U+205F
    "\xE3\x80\x80",  // U+3000
};

std::size_t leading_white_space(std::string_view text) noexcept {
    for (const std::string_view space : WHITE_SPACE)
        if (text.starts_with(space)) return space.size();
    return 0;
}

std::size_t trailing_white_space(std::string_view text) noexcept {
    for (const std::string_view space : WHITE_SPACE)
        if (text.ends_with(space)) return space.size();
    return 0;
}

std::string_view trim_white_space(std::string_view text) noexcept {
    while (const std::size_t size = leading_white_space(text)) text.remove_prefix(size);
    while (const std::size_t size = trailing_white_space(text)) text.remove_suffix(size);
    return text;
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char folded = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (folded != lower[i]) return false;
    }
    return true;
}

constexpr std::uint64_t integer_power_of_ten(unsigned exponent) noexcept {
    std::uint64_t result = 1;
    for (unsigned i = 0; i < exponent; ++i) result *= 10;
    return result;
}

// Rebuilds the value with a new magnitude and scale, keeping the low flag bits
// (sign and the reserved bit) exactly as they were.
void store(D64& value, std::uint64_t magnitude, unsigned scale) noexcept {
    const auto low_flags = static_cast<std::uint8_t>(value.flags() & 0x0F);
    value = D64::from_parts(false, magnitude, scale);
    value.bytes[7] = static_cast<std::uint8_t>(value.bytes[7] | low_flags);
}

}  // namespace

Result<D64, D64ParseError> parse_d64(std::string_view text) noexcept {
    text = trim_white_space(text);
    if (text.empty()) return err(D64ParseError::Empty);
    if (equals_ignoring_ascii_case(text, "inf")) return D64::infinity();
    if (equals_ignoring_ascii_case(text, "nan")) return D64::nan();

    std::uint64_t magnitude = 0;
    bool negative = false;
    std::size_t point = std::string_view::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            // Once out of range the value only needs to stay out of range, and
            // stopping here keeps the multiplication clear of wrap-around.
            if (magnitude < MAGNITUDE_LIMIT) magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
        } else if (c == '-') {
            negative = true;
        } else if (c == '.') {
            point = i;
        } else {
            return err(D64ParseError::InvalidCharacter);
        }
    }
    if (magnitude >= MAGNITUDE_LIMIT) return err(D64ParseError::OutOfRange);

    const std::size_t scale = point == std::string_view::npos ? 0 : text.size() - point - 1;
    if (scale > D64_MAX_SCALE) return err(D64ParseError::OutOfRange);
    return D64::from_parts(negative, magnitude, static_cast<unsigned>(scale));
}

Result<void, D64Overflow> set_decimal(D64& value, unsigned new_scale) noexcept {
    const unsigned scale = value.scale();
    if (value.is_special() || new_scale == scale) return {};
    if (new_scale > D64_MAX_SCALE) return err(D64Overflow{});

    const std::uint64_t magnitude = value.magnitude();
    if (new_scale < scale) {
        store(value, magnitude / integer_power_of_ten(scale - new_scale), new_scale);
        return {};
    }
    const std::uint64_t factor = integer_power_of_ten(new_scale - scale);
    if (magnitude > D64_MAX_MAGNITUDE / factor) return err(D64Overflow{});
    store(value, magnitude * factor, new_scale);
    return {};
}

Result<D64, D64Overflow> d64_from_double(double x, unsigned scale) noexcept {
    if (scale > D64_MAX_SCALE) return err(D64Overflow{});
    const double product = x * power_of_ten(scale);
    if (std::isnan(product)) return D64::from_parts(false, 0, scale);
    // Checked on the double: converting an out-of-range double to an integer
    // is undefined, and infinities fail here too.
    if (std::fabs(product) >= static_cast<double>(MAGNITUDE_LIMIT)) return err(D64Overflow{});

    const auto truncated = static_cast<std::int64_t>(product);
    const bool negative = truncated < 0;
    const std::uint64_t magnitude =
        negative ? std::uint64_t{0} - static_cast<std::uint64_t>(truncated) : static_cast<std::uint64_t>(truncated);
    return D64::from_parts(negative, magnitude, scale);
}

double d64_to_double(D64 value) noexcept {
    double result = static_cast<double>(value.magnitude());
    if (value.is_negative()) result = -result;
    if (value.scale() != 0) result /= power_of_ten(value.scale());
    return result;
}

double power_of_ten(unsigned scale) noexcept {
    static constexpr double EXACT[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11};
    if (scale < std::size(EXACT)) return EXACT[scale];
    return std::pow(10.0, static_cast<double>(scale));
}

}  // namespace vorl
