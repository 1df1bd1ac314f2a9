// A canonical text of a table (metadata keys sorted) so that a TableRef and
// the Table read back from its bytes can be compared as a whole.
#pragma once

#include <algorithm>
#include <bit>
#include <sstream>
#include <string>

#include "core/table.hpp"

namespace vorl::testing {

inline std::string variant_text(const Variant& value) {
    std::ostringstream out;
    out << value.index() << ':';
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::monostate>) {
                out << "null";
            } else if constexpr (std::is_same_v<V, D64>) {
                for (auto b : v.bytes) out << int{b} << ',';
            } else if constexpr (std::is_same_v<V, double>) {
                out << std::bit_cast<std::uint64_t>(v);
            } else if constexpr (std::is_same_v<V, float>) {
                out << std::bit_cast<std::uint32_t>(v);
            } else {
                out << v;
            }
        },
        value);
    return out.str();
}

inline std::string metadata_text(const std::optional<Metadata>& metadata) {
    if (!metadata) return "absent";
    std::vector<std::string> entries;
    for (const auto& [key, value] : *metadata) entries.push_back(key + "=" + variant_text(value));
    std::sort(entries.begin(), entries.end());
    std::string text = "{";
    for (const auto& entry : entries) text += entry + ";";
    return text + "}";
}

template <class Column>
std::string column_text(const Column& column) {
    std::ostringstream out;
    out << '[';
    for (std::size_t i = 0; i < column.size(); ++i) {
        const auto& value = column[i];
        using V = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<V, D64>) {
            for (auto b : value.bytes) out << int{b} << '.';
        } else if constexpr (std::is_same_v<V, double>) {
            out << std::bit_cast<std::uint64_t>(value);
        } else if constexpr (std::is_same_v<V, float>) {
            out << std::bit_cast<std::uint32_t>(value);
        } else if constexpr (std::is_same_v<V, std::string_view>) {
            out << '"' << value << '"';
        } else {
            out << +value;
        }
        out << ',';
    }
    return out.str() + ']';
}

template <class AnySeries>
std::string series_text(const AnySeries& series) {
    return std::to_string(series.index()) + std::visit(
                                                [](const auto& column) -> std::string {
                                                    if constexpr (std::is_same_v<std::decay_t<decltype(column)>, NullColumn>) {
                                                        return "null";
                                                    } else {
                                                        return column_text(column);
                                                    }
                                                },
                                                series);
}

template <class AnyTable>
std::string table_text(const AnyTable& table) {
    std::string text = "magic=" + std::to_string(table.magic_version) + " trailer=" + std::to_string(table.trailer_flag) +
                       " meta=" + metadata_text(table.metadata) + "\n";
    for (const auto& field : table.fields) {
        text += std::string(field.name) + " type=" + std::to_string(static_cast<int>(field.data_type)) +
                " meta=" + metadata_text(field.metadata) + " " + series_text(field.series) + "\n";
    }
    return text;
}

}  // namespace vorl::testing
