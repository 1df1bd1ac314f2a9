#include "core/decode_error.hpp"

#include <array>

namespace vorl {

std::string_view integer_type_name(IntegerType type) noexcept {
    static constexpr std::array<std::string_view, 13> NAMES = {"U8",  "U16", "U32", "U64",  "U128",  "Usize",   "I8",
                                                               "I16", "I32", "I64", "I128", "Isize", "Reserved"};
    const auto number = static_cast<std::size_t>(type);
    return number < NAMES.size() ? NAMES[number] : "Reserved";
}

std::string DecodeError::to_string() const {
    using std::to_string;
    switch (kind) {
        case Kind::UnexpectedEnd: return "UnexpectedEnd { additional: " + to_string(additional) + " }";
        case Kind::InvalidIntegerType:
            return "InvalidIntegerType { expected: " + std::string(integer_type_name(expected)) +
                   ", found: " + std::string(integer_type_name(found)) + " }";
        case Kind::UnexpectedVariant:
            return "UnexpectedVariant { type_name: \"" + std::string(type_name) +
                   "\", allowed: Range { min: " + to_string(allowed.min) + ", max: " + to_string(allowed.max) +
                   " }, found: " + to_string(found_variant) + " }";
        case Kind::Utf8: {
            const std::string length =
                utf8.error_len ? "Some(" + to_string(unsigned{*utf8.error_len}) + ")" : std::string("None");
            return "Utf8 { inner: Utf8Error { valid_up_to: " + to_string(utf8.valid_up_to) + ", error_len: " + length +
                   " } }";
        }
        case Kind::InvalidBooleanValue: return "InvalidBooleanValue(" + to_string(unsigned{boolean_byte}) + ")";
    }
    return "UnknownDecodeError";
}

}  // namespace vorl
