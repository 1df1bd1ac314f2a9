#include "core/byte_order.hpp"
#include "core/frame.hpp"

namespace vorl {

Result<std::size_t, FrameHeaderProblem> check_table_frame_header(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.size() < TABLE_FRAME_HEADER_SIZE) return err(FrameHeaderProblem::TooShort);
    if (load_le<std::uint32_t>(bytes.data()) != TABLE_FRAME_HEADER_WORD) return err(FrameHeaderProblem::NotAFrame);
    return std::size_t{load_le<std::uint32_t>(bytes.data() + 4)};
}

Result<std::uint64_t, FrameHeaderProblem> table_frame_length(std::span<const std::uint8_t> bytes) noexcept {
    const auto body_length = check_table_frame_header(bytes);
    if (!body_length) return err(body_length.error());
    return std::uint64_t{body_length.value()} + TABLE_FRAME_HEADER_SIZE;
}

}  // namespace vorl
