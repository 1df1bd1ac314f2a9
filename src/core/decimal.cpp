#include "core/decimal.hpp"

#include <cmath>
#include <iterator>
#include <optional>

namespace vorl {
namespace {

constexpr std::uint64_t MAGNITUDE_LIMIT = D64_MAX_MAGNITUDE + 1;  // 2^56

// The UTF-8 encodings of every code point with the White_Space property.
// Matching whole encodings rejects overlong and truncated forms for free.
constexpr std::string_view WHITE_SPACE[] = {
    "\x09",         "\x0A",         "\x0B",         "\x0C",         "\x0D",         "\x20",
    "\xC2\x85",      // U+0085
    "\xC2\xA0",      // U+00A0
    "\xE1\x9A\x80",  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000..U+200A
    "\xE2\x80\xA8",                                                                  // U+2028
    "\xE2\x80\xA9",                                                                  // U+2029
    "\xE2\x80\xAF",                                                                  // U+202F
    "\xE2\x81\x9F",                                                                  // U+205F
    "\xE3\x80\x80",                                                                  // U+3000
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

namespace {

__extension__ typedef unsigned __int128 Wide;

// |x| = mantissa * 2^exponent with the top of `bits` significant bits set
// (x finite, normal in its width and not 0).
struct Binary {
    std::uint64_t mantissa;
    int exponent;
    int bits;
};

Binary decompose(double magnitude, FloatWidth width) noexcept {
    const int bits = width == FloatWidth::Binary64 ? 53 : 24;
    int exponent = 0;
    const double fraction = std::frexp(magnitude, &exponent);
    return {static_cast<std::uint64_t>(std::ldexp(fraction, bits)), exponent - bits, bits};
}

// The sign of m / p - n * 2^f, exactly; the operands stay within 128 bits for
// the values that reach it (see nearest_decimal).
int compare(std::uint64_t m, std::uint64_t p, std::uint64_t n, int f) noexcept {
    Wide left = m;
    Wide right = Wide{n} * p;
    if (f >= 0) {
        right <<= f;
    } else {
        left <<= -f;
    }
    return left < right ? -1 : left > right ? 1 : 0;
}

// Whether m / p rounds to x (to nearest, ties to even) in x's precision: it
// lies within half a unit of x either side, the unit below being half as
// large at the bottom of a binade; a tie goes to x when x's mantissa is even.
bool rounds_to(std::uint64_t m, std::uint64_t p, const Binary& x) noexcept {
    const bool binade_bottom = x.mantissa == std::uint64_t{1} << (x.bits - 1);
    const int low = binade_bottom ? compare(m, p, 4 * x.mantissa - 1, x.exponent - 2)
                                  : compare(m, p, 2 * x.mantissa - 1, x.exponent - 1);
    const int high = compare(m, p, 2 * x.mantissa + 1, x.exponent - 1);
    const bool ties_to_x = x.mantissa % 2 == 0;
    return (low > 0 || (low == 0 && ties_to_x)) && (high < 0 || (high == 0 && ties_to_x));
}

// The magnitude of the one decimal with `scale` places that rounds to |x|, if
// there is exactly one. Every such decimal lies within half x's unit (times
// 10^scale) of x * 10^scale, so when that span is below 2 all of them are
// among c - 1, c, c + 1 for c the nearest integer to the exact product, and
// when it is 2 or more at least two of those three qualify: counting the
// three decides uniqueness. `product` is the binary64 product, below 2^56.
std::optional<std::uint64_t> nearest_decimal(double magnitude, unsigned scale, FloatWidth width,
                                             double product) noexcept {
    if (magnitude == 0) return std::uint64_t{0};
    // Below this no decimal with up to 15 places can round to x (the nearest
    // ones, 0 and 10^-15, are too far), which also bounds the shifts below.
    if (std::fabs(product) < 0.25) return std::nullopt;
    const Binary x = decompose(magnitude, width);
    const std::uint64_t p = integer_power_of_ten(scale);
    // The exact product mantissa * p * 2^exponent, rounded to the nearest integer.
    const Wide exact = Wide{x.mantissa} * p;
    std::uint64_t c;
    if (x.exponent >= 0) {
        c = static_cast<std::uint64_t>(exact << x.exponent);
    } else {
        const int shift = -x.exponent;
        c = shift >= 128 ? 0 : static_cast<std::uint64_t>((exact + (Wide{1} << (shift - 1))) >> shift);
    }
    std::optional<std::uint64_t> found;
    int count = 0;
    for (std::uint64_t m = c == 0 ? 0 : c - 1; m <= c + 1; ++m) {
        if (m != 0 && rounds_to(m, p, x)) {
            found = m;
            ++count;
        }
    }
    if (count != 1 || *found > D64_MAX_MAGNITUDE) return std::nullopt;
    return found;
}

}  // namespace

Result<D64, D64Overflow> d64_from_float(double x, unsigned scale, FloatWidth width) noexcept {
    auto truncated = d64_from_double(x, scale);
    if (!truncated || std::isnan(x)) return truncated;
    const double product = x * power_of_ten(scale);
    if (const auto magnitude = nearest_decimal(std::fabs(x), scale, width, product)) {
        return D64::from_parts(x < 0 && *magnitude != 0, *magnitude, scale);
    }
    return truncated;
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
