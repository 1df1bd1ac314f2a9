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
#include <bit>
#include <cstdint>

#include "core/byte_order.hpp"
#include "core/encoding.hpp"

namespace vorl::varint_starts {

// Fields of six bits, one per entry point 0..8, so that the next shift is the
// field itself: "reaches s bytes into the next chunk" is stored as 6 * s.
constexpr unsigned FIELD = 6;

// A walk table: for each chunk index, a field per entry point, `Bits` wide.
template <class Word>
struct ChunkEntry {
    Word next_shift;  // field s: Bits * (bytes the chunk's last value reaches into the next)
    Word starts;      // field s: the chunk's bytes that start values
};

// The table of `Count` chunks of `Bytes` bytes, entered 0..`MaxEntry` bytes
// in, whose value at `pos` of chunk `index` is `width(index, pos)` bytes wide.
// Each chunk is walked once from its end: the starts and the reach of a value
// at `pos` are its own and those of the value after it, so the table costs a
// step per byte rather than per byte and entry point (compilers bound the
// steps of a constant expression).
template <class Word, unsigned Bytes, unsigned MaxEntry, unsigned Bits, unsigned Count = 256, class Width>
constexpr std::array<ChunkEntry<Word>, Count> walk_table(Width width) {
    std::array<ChunkEntry<Word>, Count> table{};
    for (unsigned index = 0; index < Count; ++index) {
        Word starts_from[Bytes] = {};     // the bytes that start values, entered at pos
        unsigned reach_from[Bytes] = {};  // bytes the last of them reaches into the next chunk
        for (unsigned pos = Bytes; pos-- > 0;) {
            const unsigned next = pos + width(index, pos);
            starts_from[pos] = (Word{1} << pos) | (next < Bytes ? starts_from[next] : 0);
            reach_from[pos] = next < Bytes ? reach_from[next] : next - Bytes;
        }
        for (unsigned entry = 0; entry <= MaxEntry; ++entry) {
            const Word starts = entry < Bytes ? starts_from[entry] : 0;
            const unsigned reach = entry < Bytes ? reach_from[entry] : entry - Bytes;
            table[index].next_shift |= Word{Bits * reach} << (Bits * entry);
            table[index].starts |= starts << (Bits * entry);
        }
    }
    return table;
}

// Chunks of four bytes, indexed by their four classes c0 + 4 c1 + 16 c2 + 64 c3.
constexpr auto CHUNKS = walk_table<std::uint64_t, 4, 8, FIELD>([](unsigned index, unsigned pos) {
    constexpr unsigned WIDTH[4] = {1, 3, 5, 9};
    return WIDTH[(index >> (2 * pos)) & 3];
});

// The value starts among 64 bytes whose chunk indices (as above) are the
// bytes of `indices` (chunk c in byte c % 8 of word c / 8), entered `entry`
// bytes into the first chunk; `entry` becomes the entry point of the 64 bytes
// that follow. The indices come in two words, not sixteen bytes of memory: taken
// out by shifts, they keep the vector unit free.
inline std::uint64_t starts_of_window(const std::uint64_t (&indices)[2], unsigned& entry) noexcept {
    std::uint64_t shift = FIELD * entry;
    std::uint64_t starts = 0;
#if defined(__clang__)
#pragma clang loop unroll(full)
#elif defined(__GNUC__)
#pragma GCC unroll 16
#endif
    for (unsigned c = 0; c < 16; ++c) {
        const auto& chunk = CHUNKS[(indices[c / 8] >> (8 * (c % 8))) & 0xFF];
        starts |= ((chunk.starts >> shift) & 15) << (4 * c);
        shift = (chunk.next_shift >> shift) & 63;
    }
    entry = static_cast<unsigned>(shift) / FIELD;
    return starts;
}

// Windows whose only markers are 0xFB (one- and three-byte values, the
// common mix) go eight bytes a step: a chunk is entered 0, 1 or 2 bytes in,
// and the table is indexed by the chunk's 0xFB bits. Fields of eight bits.
constexpr auto ONE_OR_THREE =
    walk_table<std::uint32_t, 8, 2, 8>([](unsigned markers, unsigned pos) { return (markers >> pos) & 1 ? 3u : 1u; });

// The walk over the eight 8-byte chunks of a window, with fields of eight
// bits; `chunk_of(c)` is the table entry of chunk c.
template <class ChunkOf>
[[gnu::always_inline]] inline std::uint64_t walk_eight_byte_chunks(ChunkOf chunk_of, unsigned& entry) noexcept {
    std::uint64_t shift = 8 * entry;
    std::uint64_t starts = 0;
#if defined(__clang__)
#pragma clang loop unroll(full)
#elif defined(__GNUC__)
#pragma GCC unroll 8
#endif
    for (unsigned c = 0; c < 8; ++c) {
        const auto& chunk = chunk_of(c);
        starts |= ((std::uint64_t{chunk.starts} >> shift) & 0xFF) << (8 * c);
        shift = (std::uint64_t{chunk.next_shift} >> shift) & 0xFF;
    }
    entry = static_cast<unsigned>(shift) / 8;
    return starts;
}

// starts_of_window for 64 bytes whose 0xFB bytes are the bits of `markers`
// and that hold no other marker; `entry` is at most 2.
inline std::uint64_t starts_of_one_or_three(std::uint64_t markers, unsigned& entry) noexcept {
    return walk_eight_byte_chunks(
        [markers](unsigned c) -> const auto& { return ONE_OR_THREE[(markers >> (8 * c)) & 0xFF]; }, entry);
}

// Windows whose markers are 0xFB and 0xFC alone (values of one, three and
// five bytes) also go eight bytes a step: a chunk is entered 0 to 4 bytes in,
// and the table is indexed by the chunk's classes (0, 1 or 2 per byte) in
// base 3, c0 + 3 c1 + ... + 3^7 c7. Fields of eight bits; 105 KB.
constexpr unsigned UP_TO_FIVE_CHUNKS = 6561;  // 3^8
inline constexpr auto UP_TO_FIVE =
    walk_table<std::uint64_t, 8, 4, 8, UP_TO_FIVE_CHUNKS>([](unsigned index, unsigned pos) {
        constexpr unsigned POWER_OF_3[8] = {1, 3, 9, 27, 81, 243, 729, 2187};
        constexpr unsigned WIDTH[3] = {1, 3, 5};
        return WIDTH[index / POWER_OF_3[pos] % 3];
    });

// starts_of_window for 64 bytes that hold no marker but 0xFB and 0xFC, whose
// chunk k has the base-3 index of UP_TO_FIVE in bits 32 (k % 2) .. of word
// k / 2 of `indices`; `entry` is at most 4.
inline std::uint64_t starts_of_up_to_five(const std::uint64_t (&indices)[4], unsigned& entry) noexcept {
    return walk_eight_byte_chunks(
        [&indices](unsigned c) -> const auto& { return UP_TO_FIVE[(indices[c / 2] >> (32 * (c % 2))) & 0xFFFF'FFFF]; },
        entry);
}

// The first `keep` of the bits of `starts` (fewer than it holds); the rest
// are cleared from the top, one at a time: this only happens at the end of a run.
inline std::uint64_t first_starts(std::uint64_t starts, unsigned keep) noexcept {
    for (auto excess = static_cast<unsigned>(std::popcount(starts)) - keep; excess != 0; --excess) {
        starts &= ~(std::uint64_t{1} << (63 - std::countl_zero(starts)));
    }
    return starts;
}

// The payload bits of a value by its first byte: the byte itself for a
// one-byte value, the 2, 4 or 8 bytes after a marker. 0xFE and 0xFF never
// start a value read here.
constexpr auto PAYLOAD_BITS = [] {
    std::array<std::uint64_t, 256> bits{};
    for (unsigned byte = 0; byte <= VARINT_MAX_SINGLE_BYTE; ++byte) bits[byte] = 0xFF;
    bits[VARINT_MARKER_U16] = 0xFFFF;
    bits[VARINT_MARKER_U32] = 0xFFFF'FFFF;
    bits[VARINT_MARKER_U64] = ~std::uint64_t{0};
    return bits;
}();

// The values that start at the bits of `starts` in `window` (which has room
// for eight bytes after each marker), stored at out; returns how many. Each
// value is one load and one mask, none waiting for the one before, so the
// only chain from value to value is clearing the lowest bit.
template <class T>
[[gnu::always_inline]] inline unsigned gather_starts(const std::uint8_t* window, std::uint64_t starts,
                                                     T* out) noexcept {
    unsigned n = 0;
    for (; starts != 0; starts &= starts - 1) {
        const auto pos = static_cast<unsigned>(std::countr_zero(starts));
        const std::uint8_t first = window[pos];
        const std::uint64_t word = load_le<std::uint64_t>(window + pos + (first > VARINT_MAX_SINGLE_BYTE));
        out[n++] = from_varint_bits<T>(word & PAYLOAD_BITS[first]);
    }
    return n;
}

}  // namespace vorl::varint_starts
