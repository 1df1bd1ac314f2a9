#include "core/table.hpp"

#include <algorithm>

namespace vorl {
namespace {

template <class AnySeries>
std::size_t length_of(const AnySeries& series) noexcept {
    return std::visit(
        [](const auto& column) -> std::size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(column)>, NullColumn>) {
                return 0;
            } else {
                return column.size();
            }
        },
        series);
}

}  // namespace

std::size_t series_length(const Series& series) noexcept { return length_of(series); }
std::size_t series_length(const SeriesRef& series) noexcept { return length_of(series); }

std::size_t Table::row_count() const noexcept { return fields.empty() ? 0 : series_length(fields.front().series); }

FieldSelection::FieldSelection(std::vector<std::string_view> names) : names_(std::move(names)) {
    std::sort(names_.begin(), names_.end());
}

bool FieldSelection::wants(std::string_view name) const noexcept {
    return std::binary_search(names_.begin(), names_.end(), name);
}

}  // namespace vorl
