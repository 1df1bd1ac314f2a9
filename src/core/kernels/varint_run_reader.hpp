// The loop that reads a run of varints, shared by the plain and the vector
// kernels of varint_runs.hpp. A `Widen` policy supplies the bulk steps over
// one-byte values; everything else (wider forms, the end of the input, the
// errors) is the same code for every kernel, and the checked per-value read
// of SliceReader defines it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/byte_order.hpp"
#include "core/encoding.hpp"

namespace vorl::varint_run_detail {

// Reads one varint at p, which has room for the widest form, and moves p past
// it; nothing for the markers a `Wide` (or narrow) target refuses.
template <bool Wide>
[[gnu::always_inline]] inline std::optional<std::uint64_t> read_unchecked(const std::uint8_t*& p) noexcept {
    const std::uint8_t marker = *p;
    if (marker <= VARINT_MAX_SINGLE_BYTE) {
        p += 1;
        return marker;
    }
    if (marker == VARINT_MARKER_U16) {
        p += 3;
        return load_le<std::uint16_t>(p - 2);
    }
    if (marker == VARINT_MARKER_U32) {
        p += 5;
        return load_le<std::uint32_t>(p - 4);
    }
    if (Wide && marker == VARINT_MARKER_U64) {
        p += 9;
        return load_le<std::uint64_t>(p - 8);
    }
    return std::nullopt;
}

// Runs of nine-byte values (random 64-bit data) in a tight loop; returns how
// many were read.
template <class T>
[[gnu::always_inline]] inline std::uint64_t read_nine_byte_values(const std::uint8_t*& p, std::size_t left,
                                                                  std::uint64_t wanted, T* values) noexcept {
    const std::uint64_t room = std::min<std::uint64_t>(wanted, left / VARINT_MAX_SIZE_U64);
    std::uint64_t n = 0;
    for (; n < room && *p == VARINT_MARKER_U64; ++n, p += VARINT_MAX_SIZE_U64) {
        values[n] = from_varint_bits<T>(load_le<std::uint64_t>(p + 1));
    }
    return n;
}

// The values a policy's mixed reader needs room for: MIXED_VALUES where it
// says, else MIXED_ROOM.
template <class Widen>
constexpr std::uint64_t mixed_values() noexcept {
    if constexpr (requires { Widen::MIXED_VALUES; }) {
        return Widen::MIXED_VALUES;
    } else {
        return Widen::MIXED_ROOM;
    }
}

// Widen::mixed(p, left, out, max), where a policy has it (with MIXED_ROOM, the
// input room it needs, and the output room too unless MIXED_VALUES says
// otherwise), reads values of any width, at most max,
// and stops before a value it leaves to the checked reader.
// Widen::nines(p, left, out, max), where a policy has it (with NINES_ROOM),
// reads a run of nine-byte values the same way.
// Widen::blocks(p, out, max_blocks) reads whole blocks of one-byte values (at
// most max_blocks blocks of Widen::BLOCK values, each checked) and returns
// how many; Widen::sixteen(p, out) widens the 16 bytes at p, which start with
// a one-byte value, into out[0..16) and returns how many of them lead with
// one-byte values.
template <class T, class Widen>
[[gnu::always_inline]] inline Result<void, DecodeError> read_run(SliceReader& reader, std::uint64_t count,
                                                                 T* values) noexcept {
    constexpr bool wide = sizeof(T) == 8;
    constexpr std::size_t worst = wide ? VARINT_MAX_SIZE_U64 : VARINT_MAX_SIZE_U32;
    std::uint64_t i = 0;
    const std::uint8_t* p = reader.position();
    const std::uint8_t* const end = p + reader.remaining();
    while (i < count) {
        const auto left = static_cast<std::size_t>(end - p);
        if constexpr (Widen::BLOCK != 0) {
            const std::uint64_t blocks =
                Widen::blocks(p, values + i, std::min<std::uint64_t>(count - i, left) / Widen::BLOCK);
            i += Widen::BLOCK * blocks;
            if (blocks != 0) continue;
        }
        // All sixteen slots are written, which the room for min(count,
        // remaining) values allows: each value so far took at least a byte
        // and sixteen bytes are left.
        if (left >= 16 && count - i >= 16 && *p <= VARINT_MAX_SINGLE_BYTE) {
            const unsigned run = Widen::sixteen(p, values + i);
            p += run;
            i += run;
            continue;
        }
        if constexpr (wide) {
            if (left >= VARINT_MAX_SIZE_U64 && *p == VARINT_MARKER_U64) {
                std::uint64_t n = 0;
                if constexpr (requires { Widen::NINES_ROOM; }) {
                    if (left >= Widen::NINES_ROOM && count - i >= Widen::NINES_ROOM) {
                        n = Widen::nines(p, left, values + i, count - i);
                    }
                }
                n += read_nine_byte_values(p, static_cast<std::size_t>(end - p), count - i - n, values + i + n);
                i += n;
                if (n != 0) continue;
            }
        }
        // Mixed widths, where the policy has a reader for them.
        if constexpr (requires { Widen::MIXED_ROOM; }) {
            if (left >= Widen::MIXED_ROOM && count - i >= mixed_values<Widen>()) {
                const std::uint64_t n = Widen::mixed(p, left, values + i, count - i);
                i += n;
                if (n != 0) continue;
            }
        }
        if (left >= worst) {
            if (const auto bits = read_unchecked<wide>(p)) {
                values[i++] = from_varint_bits<T>(*bits);
                continue;
            }
        }
        reader.advance(static_cast<std::size_t>(p - reader.position()));
        auto bits = reader.read_varint_checked(wide ? IntegerType::U64 : IntegerType::U32);
        if (!bits) {
            if constexpr (std::is_signed_v<T>) return err(bits.error().as_signed());
            return err(std::move(bits).error());
        }
        values[i++] = from_varint_bits<T>(bits.value());
        p = reader.position();
    }
    reader.advance(static_cast<std::size_t>(p - reader.position()));
    return {};
}

}  // namespace vorl::varint_run_detail
