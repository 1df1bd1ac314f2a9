// DecodeError: the first problem a reader meets in a payload, with the one
// text form used wherever such an error is shown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorl {

enum class IntegerType : std::uint8_t {
    U8 = 0,
    U16,
    U32,
    U64,
    U128,
    Usize,
    I8,
    I16,
    I32,
    I64,
    I128,
    Isize,
    Reserved,
};

std::string_view integer_type_name(IntegerType type) noexcept;

// U8..Usize become I8..Isize; Reserved stays.
constexpr IntegerType change_integer_type_to_signed(IntegerType type) noexcept {
    const auto number = static_cast<std::uint8_t>(type);
    return number < 6 ? static_cast<IntegerType>(number + 6) : type;
}

// Every enum of the format allows a contiguous range of indexes from 0.
struct AllowedEnumVariants {
    std::uint32_t min = 0;
    std::uint32_t max = 0;
};

struct Utf8Error {
    std::size_t valid_up_to = 0;
    // Absent when the bytes end inside a character that might have been valid.
    std::optional<std::uint8_t> error_len;
};

struct DecodeError {
    enum class Kind : std::uint8_t {
        UnexpectedEnd,
        InvalidIntegerType,
        UnexpectedVariant,
        Utf8,
        InvalidBooleanValue,
    };

    Kind kind = Kind::UnexpectedEnd;
    std::uint64_t additional = 0;            // UnexpectedEnd: bytes still missing
    IntegerType expected = IntegerType::U8;  // InvalidIntegerType
    IntegerType found = IntegerType::U8;     // InvalidIntegerType
    std::string_view type_name;              // UnexpectedVariant; always a static text
    AllowedEnumVariants allowed;             // UnexpectedVariant
    std::uint32_t found_variant = 0;         // UnexpectedVariant
    Utf8Error utf8;                          // Utf8
    std::uint8_t boolean_byte = 0;           // InvalidBooleanValue

    static DecodeError unexpected_end(std::uint64_t additional) noexcept {
        DecodeError error;
        error.kind = Kind::UnexpectedEnd;
        error.additional = additional;
        return error;
    }
    static DecodeError invalid_integer_type(IntegerType expected, IntegerType found) noexcept {
        DecodeError error;
        error.kind = Kind::InvalidIntegerType;
        error.expected = expected;
        error.found = found;
        return error;
    }
    static DecodeError unexpected_variant(std::string_view type_name, AllowedEnumVariants allowed,
                                          std::uint32_t found) noexcept {
        DecodeError error;
        error.kind = Kind::UnexpectedVariant;
        error.type_name = type_name;
        error.allowed = allowed;
        error.found_variant = found;
        return error;
    }
    static DecodeError invalid_utf8(Utf8Error inner) noexcept {
        DecodeError error;
        error.kind = Kind::Utf8;
        error.utf8 = inner;
        return error;
    }
    static DecodeError invalid_boolean(std::uint8_t byte) noexcept {
        DecodeError error;
        error.kind = Kind::InvalidBooleanValue;
        error.boolean_byte = byte;
        return error;
    }

    // For a signed field: the unsigned read's integer types move to their
    // signed counterparts; other kinds pass through.
    DecodeError as_signed() const noexcept {
        DecodeError error = *this;
        if (kind == Kind::InvalidIntegerType) {
            error.expected = change_integer_type_to_signed(expected);
            error.found = change_integer_type_to_signed(found);
        }
        return error;
    }

    // e.g. `UnexpectedEnd { additional: 3 }`, `InvalidBooleanValue(2)`,
    // `UnexpectedVariant { type_name: "Series", allowed: Range { min: 0, max: 11 }, found: 12 }`.
    std::string to_string() const;

    friend bool operator==(const DecodeError& a, const DecodeError& b) { return a.to_string() == b.to_string(); }
};

}  // namespace vorl
