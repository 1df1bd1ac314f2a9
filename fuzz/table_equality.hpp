// Bit-exact equality of two borrowed tables: floats by their bit patterns (so
// NaN payloads count), metadata maps as sets of entries (their order is not
// part of a table).
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/table.hpp"

namespace vorl::fuzz {

inline bool same_value(std::monostate, std::monostate) noexcept { return true; }
inline bool same_value(NullColumn, NullColumn) noexcept { return true; }
inline bool same_value(float a, float b) noexcept {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}
inline bool same_value(double a, double b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
template <class T>
    requires std::is_integral_v<T>
bool same_value(T a, T b) noexcept {
    return a == b;
}
inline bool same_value(const D64& a, const D64& b) noexcept { return a == b; }
inline bool same_value(std::string_view a, std::string_view b) noexcept { return a == b; }

template <class T>
bool same_value(std::span<const T> a, std::span<const T> b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_value(a[i], b[i])) return false;
    }
    return true;
}

// By index: Variant and SeriesRef repeat alternative types.
template <class AnyVariant>
bool same_alternative(const AnyVariant& a, const AnyVariant& b) noexcept {
    if (a.index() != b.index()) return false;
    return [&]<std::size_t... Index>(std::index_sequence<Index...>) {
        return ((a.index() == Index && same_value(std::get<Index>(a), std::get<Index>(b))) || ...);
    }(std::make_index_sequence<std::variant_size_v<AnyVariant>>{});
}

inline bool same_metadata(const std::optional<Metadata>& a, const std::optional<Metadata>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    if (a->size() != b->size()) return false;
    for (const auto& [key, value] : *a) {
        const Variant* other = metadata_find(*b, key);
        if (other == nullptr || !same_alternative(value, *other)) return false;
    }
    return true;
}

inline bool same_table(const TableRef& a, const TableRef& b) {
    if (a.magic_version != b.magic_version || a.trailer_flag != b.trailer_flag || a.fields.size() != b.fields.size()) {
        return false;
    }
    if (!same_metadata(a.metadata, b.metadata)) return false;
    for (std::size_t i = 0; i < a.fields.size(); ++i) {
        const FieldRef& x = a.fields[i];
        const FieldRef& y = b.fields[i];
        if (x.name != y.name || x.data_type != y.data_type || !same_metadata(x.metadata, y.metadata) ||
            !same_alternative(x.series, y.series)) {
            return false;
        }
    }
    return true;
}

}  // namespace vorl::fuzz
