#include "core/variant.hpp"

namespace vorl {

Metadata make_metadata(std::initializer_list<std::pair<std::string_view, Variant>> entries) {
    Metadata map;
    for (const auto& [key, value] : entries) metadata_insert(map, std::string(key), value);
    return map;
}

std::optional<Variant> metadata_insert(Metadata& map, std::string key, Variant value) {
    auto [slot, inserted] = map.try_emplace(std::move(key), std::move(value));
    if (inserted) return std::nullopt;
    // try_emplace left `value` untouched because the key existed.
    return std::exchange(slot->second, std::move(value));
}

const Variant* metadata_find(const Metadata& map, std::string_view key) noexcept {
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

std::string_view metadata_string(const std::optional<Metadata>& map, std::string_view key) noexcept {
    if (!map) return {};
    const Variant* value = metadata_find(*map, key);
    if (value == nullptr || value->index() != index_of<DataType::String>) return {};
    return get<DataType::String>(*value);
}

}  // namespace vorl
