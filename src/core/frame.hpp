// The table frame: the public face of the engine.
//
//   offset 0  u16 LE  magic 0x4D7C
//   offset 2  u16 LE  version 1
//   offset 4  u32 LE  body length = content length + 4
//   offset 8          content: the table payload
//   then      u32 LE  CRC-32 of the content
//
// Stream readers take the 8 header bytes, learn how long the frame is from
// table_frame_length, then read exactly that many bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/checksum.hpp"
#include "core/result.hpp"
#include "core/table.hpp"

namespace vorl {

inline constexpr std::uint16_t TABLE_FRAME_MAGIC = 0x4D7C;
inline constexpr std::uint16_t TABLE_FRAME_VERSION = 1;
inline constexpr std::size_t TABLE_FRAME_HEADER_SIZE = 8;
inline constexpr std::size_t TABLE_FRAME_FOOTER_SIZE = 4;
// The header's first four bytes, 7C 4D 01 00, read as one little-endian word:
// the magic in the low half, the version in the high half (0x00014D7C).
inline constexpr std::uint32_t TABLE_FRAME_HEADER_WORD = std::uint32_t{TABLE_FRAME_VERSION} << 16 | TABLE_FRAME_MAGIC;
static_assert(TABLE_FRAME_HEADER_WORD == 0x00014D7C);
// The payload's first member, magic_version, as every packer writes it: the
// same two numbers the other way round, magic in the high half (0x4D7C0001,
// the bytes FC 01 00 7C 4D). Readers accept any value there; peers may not.
inline constexpr std::uint32_t TABLE_PAYLOAD_MAGIC_VERSION =
    std::uint32_t{TABLE_FRAME_MAGIC} << 16 | TABLE_FRAME_VERSION;
static_assert(TABLE_PAYLOAD_MAGIC_VERSION == 0x4D7C0001);
// The body length field is 32 bits wide and also counts the footer.
inline constexpr std::uint64_t TABLE_FRAME_MAX_CONTENT_SIZE = 0xFFFF'FFFFull - TABLE_FRAME_FOOTER_SIZE;

// ---- quick header check -------------------------------------------------

enum class FrameHeaderProblem : std::uint8_t {
    TooShort,   // fewer than 8 bytes
    NotAFrame,  // the first four bytes are not 7C 4D 01 00
};

// The announced body length. Reads the first 8 bytes only.
Result<std::size_t, FrameHeaderProblem> check_table_frame_header(std::span<const std::uint8_t> bytes) noexcept;

// The whole frame's length (header, content and footer) that the first 8
// bytes announce. 64-bit: header size plus a 32-bit body length never wraps,
// so a reader can compare it with what it holds or may accept.
Result<std::uint64_t, FrameHeaderProblem> table_frame_length(std::span<const std::uint8_t> bytes) noexcept;

// ---- writer ---------------------------------------------------------------

struct TableFramePackError {
    enum class Kind : std::uint8_t {
        TooLarge,  // content beyond TABLE_FRAME_MAX_CONTENT_SIZE
        Internal,  // the encoder disagreed with its own count; no input reaches this
    };
    Kind kind;
    std::uint64_t content_size = 0;
    std::string detail;

    std::string message() const;
};

// Total frame size (header + content + footer) of the table, from the counting pass.
Result<std::size_t, TableFramePackError> table_frame_size(const TableRef& table);

// Writes the frame into out, whose size must be table_frame_size(table).
Result<void, TableFramePackError> write_table_frame(const TableRef& table, std::span<std::uint8_t> out);

// One exactly sized buffer holding one frame. Pure: the same table always
// gives the same bytes.
Result<std::vector<std::uint8_t>, TableFramePackError> pack_table_ref_frame(const TableRef& table);

// ---- reader ---------------------------------------------------------------

struct TableFrameError {
    enum class Kind : std::uint8_t {
        InvalidTableFrame,  // "Invalid table frame: {message}"
        BufferTooSmall,     // "Buffer too small, want {want} got {got}"
        Crc32CheckFailed,   // "Table frame CRC32 check failed"
    };
    Kind kind;
    std::string message;
    std::size_t want = 0;
    std::size_t got = 0;

    static TableFrameError invalid(std::string message);
    static TableFrameError buffer_too_small(std::size_t want, std::size_t got);
    static TableFrameError crc32_check_failed();

    std::string to_string() const;
};

// With body_only false, bytes starts with a whole frame (later bytes are
// ignored); with body_only true, bytes is exactly one frame body. A checksum
// mismatch is reported in preference to any decoding error (the checksum is
// taken while decoding); the table owns copies of its data.
// With a selection in `options`, only the fields it wants are decoded; the
// checksum still covers the whole content.
Result<Table, TableFrameError> unpack_table_frame(std::span<const std::uint8_t> bytes, bool body_only,
                                                  const DecodeOptions& options = {});

}  // namespace vorl
