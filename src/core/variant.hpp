// Variant: one dynamically typed scalar, the value type of metadata maps.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/data_type.hpp"
#include "core/decimal.hpp"

namespace vorl {

// Alternative i carries the value of tag i (the same numbering as DataType):
// 0 Null, 1 DateTime (microseconds), 2 Int64, 3 Float64, 4 Decimal, 5 String,
// 6 Bool, 7 Int32, 8 UInt32, 9 UInt64, 10 Float32, 11 Bytes. DateTime/Int64
// and String/Bytes share a C++ type, so always construct by index.
using Variant = std::variant<std::monostate, std::int64_t, std::int64_t, double, D64, std::string, bool, std::int32_t,
                             std::uint32_t, std::uint64_t, float, std::string>;

inline constexpr std::size_t VARIANT_TAG_COUNT = 12;
static_assert(std::variant_size_v<Variant> == VARIANT_TAG_COUNT);

inline Variant string_variant(std::string text) {
    return Variant{std::in_place_index<index_of<DataType::String>>, std::move(text)};
}
inline Variant bytes_variant(std::string bytes) {
    return Variant{std::in_place_index<index_of<DataType::Bytes>>, std::move(bytes)};
}
inline Variant datetime_variant(std::int64_t micros) {
    return Variant{std::in_place_index<index_of<DataType::DateTime>>, micros};
}
inline Variant int64_variant(std::int64_t value) {
    return Variant{std::in_place_index<index_of<DataType::Int64>>, value};
}

// Ordered by key: a frame's keys come from whoever wrote it, and a tree takes
// O(log n) comparisons per entry whatever the keys, where a hash map with a
// hash known in advance can be flooded with colliding keys. Nothing may
// depend on the order in which a map yields entries all the same.
using Metadata = std::map<std::string, Variant, std::less<>>;

// Later pairs with a repeated key replace earlier ones.
Metadata make_metadata(std::initializer_list<std::pair<std::string_view, Variant>> entries);

// Inserts or replaces; returns the value that was replaced, if any.
std::optional<Variant> metadata_insert(Metadata& map, std::string key, Variant value);

const Variant* metadata_find(const Metadata& map, std::string_view key) noexcept;

// The text of a String entry; empty when the map is absent, lacks the key or
// holds another variant there.
std::string_view metadata_string(const std::optional<Metadata>& map, std::string_view key) noexcept;

}  // namespace vorl
