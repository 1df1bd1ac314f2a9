// Where values start in a stretch of varints, found four bytes at a time by a
// table walk instead of value by value. A byte's width class (0 for a one-byte
// value, 1, 2, 3 for the 0xFB, 0xFC, 0xFD markers) only matters where a value
// starts, and which bytes of a four-byte chunk start values depends only on
// the chunk's classes and on how far the value before reaches into it (0 to 8
// bytes). The table answers that for every entry point at once, so the walk
// from chunk to chunk is a shift and a mask: no branch and no load depends on
// the width of a value.
#pragma once

#include <array>
#include <cstdint>

namespace vorl::varint_starts {

// Fields of six bits, one per entry point 0..8, so that the next shift is the
// field itself: "reaches s bytes into the next chunk" is stored as 6 * s.
constexpr unsigned FIELD = 6;

struct ChunkEntry {
    std::uint64_t next_shift;  // field s: FIELD * (bytes the chunk's last value reaches into the next)
    std::uint64_t starts;      // field s: bits 0..3, the chunk's bytes that start values
};

// Indexed by the four classes c0 + 4 c1 + 16 c2 + 64 c3.
constexpr std::array<ChunkEntry, 256> CHUNKS = [] {
    constexpr unsigned WIDTH[4] = {1, 3, 5, 9};
    std::array<ChunkEntry, 256> table{};
    for (unsigned index = 0; index < 256; ++index) {
        for (unsigned entry = 0; entry <= 8; ++entry) {
            unsigned pos = entry;
            std::uint64_t starts = 0;
            while (pos < 4) {
                starts |= 1u << pos;
                pos += WIDTH[(index >> (2 * pos)) & 3];
            }
            table[index].next_shift |= std::uint64_t{FIELD * (pos - 4)} << (FIELD * entry);
            table[index].starts |= starts << (FIELD * entry);
        }
    }
    return table;
}();

// The value starts among 64 bytes whose chunk indices (as above) are
// `indices`, entered `entry` bytes into the first chunk; `entry` becomes the
// entry point of the 64 bytes that follow.
inline std::uint64_t starts_of_window(const std::uint8_t (&indices)[16], unsigned& entry) noexcept {
    std::uint64_t shift = FIELD * entry;
    std::uint64_t starts = 0;
#if defined(__clang__)
#pragma clang loop unroll(full)
#elif defined(__GNUC__)
#pragma GCC unroll 16
#endif
    for (unsigned c = 0; c < 16; ++c) {
        const ChunkEntry& chunk = CHUNKS[indices[c]];
        starts |= ((chunk.starts >> shift) & 15) << (4 * c);
        shift = (chunk.next_shift >> shift) & 63;
    }
    entry = static_cast<unsigned>(shift) / FIELD;
    return starts;
}

// Windows whose only markers are 0xFB (one- and three-byte values, the
// common mix) go eight bytes a step: a chunk is entered 0, 1 or 2 bytes in,
// and the table is indexed by the chunk's 0xFB bits. Fields of eight bits.
struct PairChunkEntry {
    std::uint32_t next_shift;  // field s: 8 * (bytes the chunk's last value reaches into the next)
    std::uint32_t starts;      // field s: the chunk's bytes that start values
};

constexpr std::array<PairChunkEntry, 256> ONE_OR_THREE = [] {
    std::array<PairChunkEntry, 256> table{};
    for (unsigned markers = 0; markers < 256; ++markers) {
        for (unsigned entry = 0; entry <= 2; ++entry) {
            unsigned pos = entry;
            std::uint32_t starts = 0;
            while (pos < 8) {
                starts |= 1u << pos;
                pos += (markers >> pos) & 1 ? 3 : 1;
            }
            table[markers].next_shift |= (8 * (pos - 8)) << (8 * entry);
            table[markers].starts |= starts << (8 * entry);
        }
    }
    return table;
}();

// starts_of_window for 64 bytes whose 0xFB bytes are the bits of `markers`
// and that hold no other marker; `entry` is at most 2.
inline std::uint64_t starts_of_one_or_three(std::uint64_t markers, unsigned& entry) noexcept {
    std::uint32_t shift = 8 * entry;
    std::uint64_t starts = 0;
#if defined(__clang__)
#pragma clang loop unroll(full)
#elif defined(__GNUC__)
#pragma GCC unroll 8
#endif
    for (unsigned c = 0; c < 8; ++c) {
        const PairChunkEntry& chunk = ONE_OR_THREE[(markers >> (8 * c)) & 0xFF];
        starts |= std::uint64_t{(chunk.starts >> shift) & 0xFF} << (8 * c);
        shift = (chunk.next_shift >> shift) & 0xFF;
    }
    entry = shift / 8;
    return starts;
}

}  // namespace vorl::varint_starts
