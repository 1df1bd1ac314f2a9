// Strict UTF-8 validation (no overlong forms, no surrogates, nothing above
// U+10FFFF) that reports where and how a text goes wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/decode_error.hpp"

namespace vorl {

// Nothing when the bytes are valid UTF-8.
std::optional<Utf8Error> validate_utf8(const std::uint8_t* bytes, std::size_t size) noexcept;

}  // namespace vorl
