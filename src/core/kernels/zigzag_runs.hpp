// Plain loops over computed signed values (differences, quotients): their
// zigzag varint sizes and bytes. Shared by the plain kernels and by the
// blocks that the vector kernels hand back to them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/encoding.hpp"

namespace vorl {

template <class Next>
[[gnu::always_inline]] inline std::uint64_t zigzag_run_size(std::size_t begin, std::size_t end, Next next) noexcept {
    std::uint64_t total = 0;
    for (std::size_t i = begin; i < end; ++i) total += varint_size_branchless(zigzag_encode(next(i)));
    return total;
}

// write_varint_blocks over zigzag(next(i)).
template <class Next>
[[gnu::always_inline]] inline std::size_t write_zigzag_run(std::uint8_t* out, std::size_t begin, std::size_t end,
                                                           Next next) noexcept {
    return write_varint_blocks(out, begin, end, [&next](std::size_t i) { return zigzag_encode(next(i)); });
}

// Differences and running sums wrap: they are computed on the two's-complement
// bit patterns in unsigned arithmetic, as the format defines them.
constexpr std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

}  // namespace vorl
