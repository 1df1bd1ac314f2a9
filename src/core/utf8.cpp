#include "core/utf8.hpp"

#include <cstring>

namespace vorl {
namespace {

constexpr bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// Bytes of the sequence that a lead byte starts; 0 for bytes that cannot lead.
constexpr unsigned sequence_width(std::uint8_t lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF5) return 4;
    return 0;
}

// The second byte of a three- or four-byte sequence has a narrower range for
// some leads: that is what excludes overlong forms, surrogates and values
// above U+10FFFF.
constexpr bool second_byte_allowed(std::uint8_t lead, std::uint8_t second) noexcept {
    switch (lead) {
        case 0xE0: return second >= 0xA0 && second <= 0xBF;
        case 0xED: return second >= 0x80 && second <= 0x9F;
        case 0xF0: return second >= 0x90 && second <= 0xBF;
        case 0xF4: return second >= 0x80 && second <= 0x8F;
        default: return is_continuation(second);
    }
}

}  // namespace

std::optional<Utf8Error> validate_utf8(const std::uint8_t* bytes, std::size_t size) noexcept {
    std::size_t i = 0;
    while (i < size) {
        // Texts are mostly ASCII: skip eight bytes at a time while no high bit is set.
        while (size - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            if ((word & 0x8080808080808080ull) != 0) break;
            i += 8;
        }
        if (i >= size) break;
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const unsigned width = sequence_width(lead);
        const std::size_t start = i;
        // error_len is the length of the invalid prefix; None when the input
        // ends while the sequence could still have been valid.
        auto fail = [&](std::optional<std::uint8_t> error_len) { return Utf8Error{start, error_len}; };
        if (width == 0) return fail(1);
        if (start + 1 >= size) return fail(std::nullopt);
        if (width == 2) {
            if (!is_continuation(bytes[start + 1])) return fail(1);
        } else {
            if (!second_byte_allowed(lead, bytes[start + 1])) return fail(1);
            if (start + 2 >= size) return fail(std::nullopt);
            if (!is_continuation(bytes[start + 2])) return fail(2);
            if (width == 4) {
                if (start + 3 >= size) return fail(std::nullopt);
                if (!is_continuation(bytes[start + 3])) return fail(3);
            }
        }
        i = start + width;
    }
    return std::nullopt;
}

}  // namespace vorl
