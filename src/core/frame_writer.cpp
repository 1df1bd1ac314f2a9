#include "core/byte_order.hpp"
#include "core/checksum_trail.hpp"
#include "core/frame.hpp"
#include "core/payload.hpp"

namespace vorl {

std::string TableFramePackError::message() const {
    switch (kind) {
        case Kind::TooLarge:
            return "table frame content of " + std::to_string(content_size) + " bytes exceeds the limit of " +
                   std::to_string(TABLE_FRAME_MAX_CONTENT_SIZE) + " bytes";
        case Kind::Internal: return "Failed to serialize table: " + detail;
    }
    return "Failed to serialize table";
}

Result<std::size_t, TableFramePackError> table_frame_size(const TableRef& table) {
    SizeWriter counter;
    encode_payload(counter, table, nullptr);
    // The body length field would wrap beyond this; refuse before writing anything.
    if (counter.size() > TABLE_FRAME_MAX_CONTENT_SIZE) {
        return err(TableFramePackError{TableFramePackError::Kind::TooLarge, counter.size(), {}});
    }
    return static_cast<std::size_t>(counter.size()) + TABLE_FRAME_HEADER_SIZE + TABLE_FRAME_FOOTER_SIZE;
}

Result<void, TableFramePackError> write_table_frame(const TableRef& table, std::span<std::uint8_t> out) {
    constexpr std::size_t envelope = TABLE_FRAME_HEADER_SIZE + TABLE_FRAME_FOOTER_SIZE;
    if (out.size() < envelope || out.size() - envelope > TABLE_FRAME_MAX_CONTENT_SIZE) {
        return err(TableFramePackError{TableFramePackError::Kind::Internal, 0, "frame buffer of the wrong size"});
    }
    const std::size_t content_size = out.size() - envelope;
    const auto content = out.subspan(TABLE_FRAME_HEADER_SIZE, content_size);
    VecWriter writer(content);
    ChecksumTrail trail(content);
    encode_payload(writer, table, &trail);
    if (!writer.status() || writer.size() != content_size) {
        return err(TableFramePackError{TableFramePackError::Kind::Internal, content_size,
                                       "the written payload differs from its counted size"});
    }
    store_le(out.data(), TABLE_FRAME_MAGIC);
    store_le(out.data() + 2, TABLE_FRAME_VERSION);
    store_le(out.data() + 4, static_cast<std::uint32_t>(content_size + TABLE_FRAME_FOOTER_SIZE));
    store_le(out.data() + TABLE_FRAME_HEADER_SIZE + content_size, trail.finish());
    return {};
}

Result<std::vector<std::uint8_t>, TableFramePackError> pack_table_ref_frame(const TableRef& table) {
    VORL_TRY(auto size, table_frame_size(table));
    std::vector<std::uint8_t> frame(size);
    VORL_TRY_VOID(write_table_frame(table, frame));
    return frame;
}

}  // namespace vorl
