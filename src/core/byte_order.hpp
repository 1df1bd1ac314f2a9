// Little-endian loads and stores of unaligned bytes. Frames are little-endian
// throughout (except the D64 magnitude), and so is every host we build for.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vorl {

static_assert(std::endian::native == std::endian::little, "the frame codec assumes a little-endian host");

template <class T>
    requires std::is_trivially_copyable_v<T>
inline T load_le(const std::uint8_t* from) noexcept {
    T value;
    std::memcpy(&value, from, sizeof(T));
    return value;
}

template <class T>
    requires std::is_trivially_copyable_v<T>
inline void store_le(std::uint8_t* to, T value) noexcept {
    std::memcpy(to, &value, sizeof(T));
}

}  // namespace vorl
