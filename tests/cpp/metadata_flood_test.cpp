// Metadata keys come from whoever wrote the frame. Decoding a map costs
// O(log n) comparisons per entry whatever the keys (an ordered map, with no
// hash for colliding keys to aim at), and a repeated key keeps the last value.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <type_traits>

#include "core/payload.hpp"

namespace vorl {
namespace {

static_assert(std::is_same_v<Metadata, std::map<std::string, Variant, std::less<>>>);

TEST(MetadataFlood, ThirtyTwoThousandLookAlikeKeysDecodeWithTheLastValueKept) {
    constexpr std::uint32_t KEYS = 32768;
    const std::string prefix(200, 'k');
    std::vector<std::uint8_t> bytes(64 * 1024 * 1024);
    VecWriter writer(bytes);
    encode_option_tag(writer, true);
    encode_len(writer, KEYS + 1);
    for (std::uint32_t i = 0; i <= KEYS; ++i) {
        encode_str(writer, prefix + std::to_string(i % KEYS));  // key 0 once more at the end
        encode_variant(writer, int64_variant(i));
    }
    ASSERT_TRUE(writer.status().ok());
    SliceReader reader(std::span(bytes.data(), static_cast<std::size_t>(writer.size())));
    auto map = decode_metadata(reader);
    ASSERT_TRUE(map.ok());
    ASSERT_EQ(map.value()->size(), KEYS);
    EXPECT_EQ(*metadata_find(**map, prefix + "0"), int64_variant(KEYS));
    EXPECT_EQ(*metadata_find(**map, prefix + "7"), int64_variant(7));
}

}  // namespace
}  // namespace vorl
