#include <gtest/gtest.h>
#include <sys/mman.h>

#include "core/frame.hpp"
#include "table_text.hpp"
#include "test_support.hpp"

namespace vorl {
namespace {

using testing::hex;
using testing::table_text;
using testing::TableBuilder;
using testing::to_hex;

std::vector<std::uint8_t> pack(const TableRef& table) {
    auto frame = pack_table_ref_frame(table);
    EXPECT_TRUE(frame.ok());
    return frame.ok() ? frame.value() : std::vector<std::uint8_t>{};
}

std::string unpack_text(const std::vector<std::uint8_t>& bytes, bool body_only) {
    auto table = unpack_table_frame(bytes, body_only);
    return table ? table_text(table.value()) : table.error().to_string();
}

std::vector<std::uint8_t> body_of(const std::vector<std::uint8_t>& frame) {
    return {frame.begin() + TABLE_FRAME_HEADER_SIZE, frame.end()};
}

const std::string EMPTY_FRAME = "7C 4D 01 00 0C 00 00 00 FC 01 00 7C 4D 00 00 00 F6 58 CD 3E";

TableBuilder int64_table() {
    TableBuilder builder;
    builder.column<2>("a", std::vector<std::int64_t>{1, -1, 300});
    return builder;
}

TEST(Frame, WorkedFramesAreByteExact) {
    EXPECT_EQ(to_hex(pack(TableBuilder().build(std::nullopt))), EMPTY_FRAME);
    const auto frame = pack(int64_table().build(make_metadata({{"obj", string_variant("x")}})));
    EXPECT_EQ(to_hex(frame),
              "7C 4D 01 00 1F 00 00 00 FC 01 00 7C 4D 01 01 61 02 00 02 03 02 01 FB 58 02 01 01 03 6F 62 6A 05 01 "
              "78 00 D9 46 02 AF");
    EXPECT_EQ(check_table_frame_header(frame).value(), 31u);
}

TEST(Frame, RoundTripsInBothModesAndIgnoresWhatFollows) {
    TableBuilder builder = int64_table();
    builder.text_column("s", {"x", "yy"});
    const TableRef table = builder.build(make_metadata({{"obj", string_variant("o")}}));
    const auto frame = pack(table);
    EXPECT_EQ(frame, pack(table));  // packing is a pure function of the table
    std::vector<std::uint8_t> followed = frame;
    followed.insert(followed.end(), {0x7C, 0x4D, 0x01});
    EXPECT_EQ(unpack_text(frame, false), table_text(table));
    EXPECT_EQ(unpack_text(followed, false), table_text(table));
    EXPECT_EQ(unpack_text(body_of(frame), true), table_text(table));
    // A whole frame given as a body takes the header for content.
    EXPECT_EQ(unpack_text(frame, true), "Table frame CRC32 check failed");
}

TEST(Frame, ErrorsAreReportedInCheckOrder) {
    const std::tuple<std::string, bool, std::string> cases[] = {
        {"7C 4D 01 00 0C 00 00", false, "Buffer too small, want 8 got 7"},
        {EMPTY_FRAME.substr(0, EMPTY_FRAME.size() - 3), false, "Buffer too small, want 20 got 19"},
        {"00 00 01 00 0C 00 00 00", false, "Invalid table frame: Invalid magic: 0"},
        {"7C 4D 02 00 0C 00 00 00", false, "Invalid table frame: Invalid version: 2"},
        {"7C 4D 01 00 FF FF FF FF", false, "Buffer too small, want 4294967303 got 8"},
        {"7C 4D 01 00 00 00 00 00", false, "Invalid table frame: Content and footer too short"},
        {"", true, "Invalid table frame: Content and footer too short"},
        // Empty content with the checksum of no bytes reaches the decoder.
        {"7C 4D 01 00 04 00 00 00 00 00 00 00", false,
         "Invalid table frame: Failed to decode table: UnexpectedEnd { additional: 1 }"},
        {"00 00 00 01", true, "Table frame CRC32 check failed"}};
    for (const auto& [bytes, body_only, expected] : cases) EXPECT_EQ(unpack_text(hex(bytes), body_only), expected);
}

TEST(Frame, AnySingleBitFlipInTheBodyFailsTheChecksum) {
    const auto body = body_of(pack(int64_table().build(make_metadata({{"obj", string_variant("x")}}))));
    for (std::size_t bit = 0; bit < body.size() * 8; ++bit) {
        auto damaged = body;
        damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        ASSERT_EQ(unpack_text(damaged, true), "Table frame CRC32 check failed") << bit;
    }
}

TEST(Frame, ContentBeyondTheLengthFieldIsRefusedBeforeWriting) {
    // 2^32 bools in untouched address space: the counting pass never reads them.
    const std::size_t count = std::size_t{1} << 32;
    void* region = mmap(nullptr, count, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    const std::span<const std::uint8_t> flags(static_cast<const std::uint8_t*>(region), count);
    const TableRef table{
        0x4D7C0001, {FieldRef::of("b", SeriesRef{std::in_place_index<6>, flags})}, std::nullopt, false};
    auto size = table_frame_size(table);
    ASSERT_FALSE(size.ok());
    EXPECT_EQ(size.error().kind, TableFramePackError::Kind::TooLarge);
    EXPECT_EQ(size.error().content_size, count + 22);
    EXPECT_FALSE(pack_table_ref_frame(table).ok());
    munmap(region, count);
}

TEST(Frame, WriterRefusesABufferOfTheWrongSize) {
    const TableRef table = TableBuilder().build(std::nullopt);
    std::vector<std::uint8_t> small(19);
    auto written = write_table_frame(table, small);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().kind, TableFramePackError::Kind::Internal);
    EXPECT_EQ(written.error().message().rfind("Failed to serialize table", 0), 0u);
}

}  // namespace
}  // namespace vorl
