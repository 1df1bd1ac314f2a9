// A borrowed TableRef over an owned Table, so that whatever the frame reader
// produced can go straight back into the frame writer.
#pragma once

#include <algorithm>
#include <deque>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/table.hpp"

namespace vorl::fuzz {

class TableView {
public:
    // `table` must outlive the view; the view keeps the string lists and the
    // normalised decimal copies that its spans point into.
    explicit TableView(const Table& table) {
        ref_.magic_version = table.magic_version;
        ref_.metadata = table.metadata;
        ref_.trailer_flag = table.trailer_flag;
        ref_.fields.reserve(table.fields.size());
        for (const Field& field : table.fields) {
            // The data type is copied on its own: a frame may pair it with a
            // column of another type, and that pairing must travel back as is.
            ref_.fields.push_back(FieldRef{field.name, field.data_type, field.metadata, view_of(field.series), {}});
        }
    }
    TableView(const TableView&) = delete;
    TableView& operator=(const TableView&) = delete;

    const TableRef& ref() const noexcept { return ref_; }

private:
    SeriesRef view_of(const Series& series) {
        return [&]<std::size_t... Index>(std::index_sequence<Index...>) {
            SeriesRef view;
            ((series.index() == Index ? (view = view_of_alternative<Index>(series), 0) : 0), ...);
            return view;
        }(std::make_index_sequence<DATA_TYPE_COUNT>{});
    }

    template <std::size_t Index>
    SeriesRef view_of_alternative(const Series& series) {
        const auto& column = std::get<Index>(series);
        using Column = std::decay_t<decltype(column)>;
        if constexpr (std::is_same_v<Column, NullColumn>) {
            return SeriesRef{std::in_place_index<Index>};
        } else if constexpr (std::is_same_v<Column, VarColumn>) {
            auto& views = texts_.emplace_back();
            views.reserve(column.size());
            for (std::size_t i = 0; i < column.size(); ++i) views.push_back(column[i]);
            return SeriesRef{std::in_place_index<Index>, std::span<const std::string_view>(views)};
        } else if constexpr (std::is_same_v<Column, Buffer<D64>>) {
            return SeriesRef{std::in_place_index<Index>, decimals_without_negative_zero(column.span())};
        } else {
            return SeriesRef{std::in_place_index<Index>, column.span()};
        }
    }

    // A hostile run of decimal differences can reach -2^56, whose low 56 bits
    // are 0: the reader then builds a zero with the sign bit set, which the
    // writer rightly writes as plain 0. Both denote the same number, so the
    // view carries the plain zero and the round trip stays exact otherwise.
    std::span<const D64> decimals_without_negative_zero(std::span<const D64> values) {
        const auto negative_zero = [](const D64& v) { return v.is_negative() && v.magnitude() == 0; };
        if (std::none_of(values.begin(), values.end(), negative_zero)) return values;
        auto& copy = decimals_.emplace_back(values.begin(), values.end());
        for (D64& value : copy) {
            if (negative_zero(value)) value.bytes[7] = static_cast<std::uint8_t>(value.bytes[7] & ~D64::SIGN_BIT);
        }
        return copy;
    }

    std::deque<std::vector<std::string_view>> texts_;
    std::deque<std::vector<D64>> decimals_;
    TableRef ref_;
};

}  // namespace vorl::fuzz
