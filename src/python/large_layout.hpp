// Texts in Arrow's large layout (int64 offsets of rows + 1 entries into one
// buffer of bytes), as loads keeps them until someone asks for objects.
#pragma once

#include <cstdint>
#include <span>

namespace pyvorl {

// Whether the offsets start at 0 and ascend, ending inside `data_size` bytes:
// what makes every element a view inside the data.
inline bool offsets_fit(std::span<const std::int64_t> offsets, std::uint64_t data_size) noexcept {
    if (offsets.empty() || offsets[0] != 0) return false;
    for (std::size_t i = 1; i < offsets.size(); ++i) {
        if (offsets[i] < offsets[i - 1]) return false;
    }
    return static_cast<std::uint64_t>(offsets.back()) <= data_size;
}

}  // namespace pyvorl
