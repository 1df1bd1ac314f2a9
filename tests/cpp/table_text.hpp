// A canonical text of a table (metadata in key order) so that a TableRef and
// the Table read back from its bytes can be compared as a whole.
#pragma once

#include <bit>
#include <sstream>
#include <string>

#include "core/table.hpp"

namespace vorl::testing {

// Floats by their bits, so that NaN payloads and -0.0 count.
template <class V>
void put(std::ostream& out, const V& v) {
    if constexpr (std::is_same_v<V, std::monostate> || std::is_same_v<V, NullColumn>)
        out << "null";
    else if constexpr (std::is_same_v<V, D64>)
        for (auto b : v.bytes) out << int{b} << '.';
    else if constexpr (std::is_same_v<V, double>)
        out << std::bit_cast<std::uint64_t>(v);
    else if constexpr (std::is_same_v<V, float>)
        out << std::bit_cast<std::uint32_t>(v);
    else if constexpr (std::is_convertible_v<V, std::string_view>)
        out << '"' << v << '"';
    else if constexpr (std::is_arithmetic_v<V>)
        out << +v;
    else {
        out << '[';
        for (std::size_t i = 0; i < v.size(); ++i) put(out << (i ? "," : ""), v[i]);
        out << ']';
    }
}

template <class V>
std::string text_of(const V& variant) {
    std::ostringstream out;
    out << variant.index() << ':';
    std::visit([&](const auto& v) { put(out, v); }, variant);
    return out.str();
}

inline std::string metadata_text(const std::optional<Metadata>& metadata) {
    if (!metadata) return "absent";
    std::string text = "{";  // in key order: the map is ordered
    for (const auto& [key, value] : *metadata) text += key + "=" + text_of(value) + ";";
    return text + "}";
}

template <class AnyTable>
std::string table_text(const AnyTable& table) {
    std::string text = "magic=" + std::to_string(table.magic_version) +
                       " trailer=" + std::to_string(table.trailer_flag) + " meta=" + metadata_text(table.metadata) +
                       "\n";
    for (const auto& field : table.fields) {
        text += std::string(field.name) + " type=" + std::to_string(static_cast<int>(field.data_type)) +
                " meta=" + metadata_text(field.metadata) + " " + text_of(field.series) + "\n";
    }
    return text;
}

}  // namespace vorl::testing
