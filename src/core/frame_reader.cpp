#include "core/byte_order.hpp"
#include "core/checksum_trail.hpp"
#include "core/frame.hpp"
#include "core/payload.hpp"

namespace vorl {

TableFrameError TableFrameError::invalid(std::string message) {
    return TableFrameError{Kind::InvalidTableFrame, std::move(message), 0, 0};
}
TableFrameError TableFrameError::buffer_too_small(std::size_t want, std::size_t got) {
    return TableFrameError{Kind::BufferTooSmall, {}, want, got};
}
TableFrameError TableFrameError::crc32_check_failed() { return TableFrameError{Kind::Crc32CheckFailed, {}, 0, 0}; }

std::string TableFrameError::to_string() const {
    switch (kind) {
        case Kind::InvalidTableFrame: return "Invalid table frame: " + message;
        case Kind::BufferTooSmall:
            return "Buffer too small, want " + std::to_string(want) + " got " + std::to_string(got);
        case Kind::Crc32CheckFailed: return "Table frame CRC32 check failed";
    }
    return "Invalid table frame";
}

namespace {

constexpr std::string_view CONTENT_AND_FOOTER_TOO_SHORT = "Content and footer too short";

// The body of a whole frame, checked in the order that decides which error a
// damaged frame reports: length, magic, version, body present, body length.
Result<std::span<const std::uint8_t>, TableFrameError> locate_body(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < TABLE_FRAME_HEADER_SIZE) {
        return err(TableFrameError::buffer_too_small(TABLE_FRAME_HEADER_SIZE, bytes.size()));
    }
    const auto magic = load_le<std::uint16_t>(bytes.data());
    if (magic != TABLE_FRAME_MAGIC) return err(TableFrameError::invalid("Invalid magic: " + std::to_string(magic)));
    const auto version = load_le<std::uint16_t>(bytes.data() + 2);
    if (version != TABLE_FRAME_VERSION) {
        return err(TableFrameError::invalid("Invalid version: " + std::to_string(version)));
    }
    const std::uint64_t body_length = load_le<std::uint32_t>(bytes.data() + 4);
    const std::uint64_t frame_length = body_length + TABLE_FRAME_HEADER_SIZE;
    if (bytes.size() < frame_length) {
        return err(TableFrameError::buffer_too_small(static_cast<std::size_t>(frame_length), bytes.size()));
    }
    if (body_length < TABLE_FRAME_FOOTER_SIZE) {
        return err(TableFrameError::invalid(std::string(CONTENT_AND_FOOTER_TOO_SHORT)));
    }
    return bytes.subspan(TABLE_FRAME_HEADER_SIZE, static_cast<std::size_t>(body_length));
}

}  // namespace

Result<Table, TableFrameError> unpack_table_frame(std::span<const std::uint8_t> bytes, bool body_only,
                                                  const DecodeOptions& options) {
    std::span<const std::uint8_t> body = bytes;
    if (body_only) {
        if (bytes.size() < TABLE_FRAME_FOOTER_SIZE) {
            return err(TableFrameError::invalid(std::string(CONTENT_AND_FOOTER_TOO_SHORT)));
        }
    } else {
        VORL_TRY(auto located, locate_body(bytes));
        body = located;
    }
    const auto content = body.first(body.size() - TABLE_FRAME_FOOTER_SIZE);
    const auto footer = load_le<std::uint32_t>(body.data() + content.size());
    // The checksum is taken while decoding (fixed-width columns fold it into
    // their copy), but a damaged frame reports the checksum failure before
    // any decoding error, exactly as if it had been checked first.
    SliceReader reader(content);
    ChecksumTrail trail(content);
    auto table = decode_payload(reader, &trail, options);
    if (!table) {
        if (crc32(content) != footer) return err(TableFrameError::crc32_check_failed());
        return err(TableFrameError::invalid("Failed to decode table: " + table.error().to_string()));
    }
    if (trail.finish() != footer) return err(TableFrameError::crc32_check_failed());
    return std::move(table).value();
}

}  // namespace vorl
