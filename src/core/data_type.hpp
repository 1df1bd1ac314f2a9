// The one numbering of column types, shared by DataType, the alternatives of
// Series, SeriesRef and Variant, and the tags written into frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <variant>

namespace vorl {

enum class DataType : std::uint8_t {
    Null = 0,
    DateTime = 1,  // int64 microseconds since 1970-01-01T00:00:00 UTC
    Int64 = 2,
    Float64 = 3,
    Decimal = 4,
    String = 5,
    Bool = 6,  // one byte, 0 or 1
    Int32 = 7,
    UInt32 = 8,
    UInt64 = 9,
    Float32 = 10,
    Bytes = 11,
};

inline constexpr std::size_t DATA_TYPE_COUNT = 12;

// The alternative index of type T: std::get<index_of<DataType::String>>(value).
template <DataType T>
inline constexpr std::size_t index_of = static_cast<std::size_t>(T);

// std::get by type: get<DataType::String>(variant) for Variant, Series and SeriesRef.
template <DataType T, class Alternatives>
constexpr decltype(auto) get(Alternatives&& alternatives) {
    return std::get<index_of<T>>(std::forward<Alternatives>(alternatives));
}

}  // namespace vorl
