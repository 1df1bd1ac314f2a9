// The table model in its two shapes: owned (Table/Field/Series, produced by the
// frame reader) and borrowed (TableRef/FieldRef/SeriesRef, consumed by the frame
// writer, viewing memory that the caller keeps alive).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/buffer.hpp"
#include "core/data_type.hpp"
#include "core/decimal.hpp"
#include "core/variant.hpp"

namespace vorl {

struct NullColumn {};

// Owned variable-length elements (UTF-8 texts or byte strings) packed into one
// allocation: element i is bytes[end(i-1) .. end(i)), with end(-1) = 0.
class VarColumn {
public:
    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::uint64_t start = i == 0 ? 0 : ends_[i - 1];
        return {bytes_.data() + start, static_cast<std::size_t>(ends_[i] - start)};
    }

    void reserve(std::size_t elements, std::size_t bytes) {
        ends_.reserve(elements);
        bytes_.reserve(bytes);
    }
    void push_back(std::string_view element) {
        bytes_.append(element.data(), element.size());
        ends_.push_back(bytes_.size());
    }

    // Where each element ends in the bytes, which hold them all back to back.
    std::span<const std::uint64_t> ends() const noexcept { return ends_.span(); }
    Buffer<char> take_bytes() noexcept { return std::move(bytes_); }

private:
    Buffer<char> bytes_;
    Buffer<std::uint64_t> ends_;
};

// Owned column: alternative i holds the data of DataType i.
using Series = std::variant<NullColumn,             // 0 Null
                            Buffer<std::int64_t>,   // 1 DateTime
                            Buffer<std::int64_t>,   // 2 Int64
                            Buffer<double>,         // 3 Float64
                            Buffer<D64>,            // 4 Decimal
                            VarColumn,              // 5 String
                            Buffer<std::uint8_t>,   // 6 Bool
                            Buffer<std::int32_t>,   // 7 Int32
                            Buffer<std::uint32_t>,  // 8 UInt32
                            Buffer<std::uint64_t>,  // 9 UInt64
                            Buffer<float>,          // 10 Float32
                            VarColumn>;             // 11 Bytes

// Borrowed column: the same alternatives as read-only views.
using SeriesRef = std::variant<NullColumn,                          // 0 Null
                               std::span<const std::int64_t>,       // 1 DateTime
                               std::span<const std::int64_t>,       // 2 Int64
                               std::span<const double>,             // 3 Float64
                               std::span<const D64>,                // 4 Decimal
                               std::span<const std::string_view>,   // 5 String
                               std::span<const std::uint8_t>,       // 6 Bool
                               std::span<const std::int32_t>,       // 7 Int32
                               std::span<const std::uint32_t>,      // 8 UInt32
                               std::span<const std::uint64_t>,      // 9 UInt64
                               std::span<const float>,              // 10 Float32
                               std::span<const std::string_view>>;  // 11 Bytes

static_assert(std::variant_size_v<Series> == DATA_TYPE_COUNT);
static_assert(std::variant_size_v<SeriesRef> == DATA_TYPE_COUNT);

inline DataType series_type(const Series& series) noexcept { return static_cast<DataType>(series.index()); }
inline DataType series_type(const SeriesRef& series) noexcept { return static_cast<DataType>(series.index()); }

// Element count; 0 for Null.
std::size_t series_length(const Series& series) noexcept;
std::size_t series_length(const SeriesRef& series) noexcept;

struct Field {
    std::string name;
    DataType data_type = DataType::Null;
    std::optional<Metadata> metadata;
    Series series;
    // The column scale of a Decimal body that was decoded as doubles (see
    // DecodeOptions); its series is then Float64.
    std::optional<unsigned> decimal_scale;
};

struct FieldRef {
    std::string_view name;
    DataType data_type = DataType::Null;
    std::optional<Metadata> metadata;
    SeriesRef series;
    // When not empty: the column's body as encode_series_body writes it, made
    // earlier in one pass over the values (see encode_decimal_body and
    // encode_datetime_body) and copied in place of encoding `series`, which
    // then only gives the column tag.
    std::span<const std::uint8_t> encoded_body;

    // The data type follows the view's alternative, so the two always agree.
    static FieldRef of(std::string_view name, SeriesRef series) {
        return FieldRef{name, series_type(series), std::nullopt, series, {}};
    }
};

struct Table {
    std::uint32_t magic_version = 0;
    std::vector<Field> fields;
    std::optional<Metadata> metadata;
    bool trailer_flag = false;
    // The element count of the first non-Null field that a selection stepped over: the row count
    // of a table that keeps Null fields alone.
    std::optional<std::uint64_t> skipped_rows;

    // Element count of the first field's column alone (0 without fields or for
    // a Null first column).
    std::size_t row_count() const noexcept;

    // Drops the table metadata, magic_version and trailer_flag.
    std::vector<Field> into_fields() && noexcept { return std::move(fields); }
};

struct TableRef {
    std::uint32_t magic_version = 0;
    std::vector<FieldRef> fields;
    std::optional<Metadata> metadata;
    bool trailer_flag = false;
};

// The names of the fields a reader wants decoded; it steps over the others.
class FieldSelection {
public:
    explicit FieldSelection(std::vector<std::string_view> names);
    bool wants(std::string_view name) const noexcept;

private:
    std::vector<std::string_view> names_;  // sorted
};

// How a reader wants a payload decoded.
struct DecodeOptions {
    // Only the fields it wants are decoded; the others are checked and stepped over.
    const FieldSelection* selection = nullptr;
    // Decimal bodies come as Float64 series of their d64_to_double values, converted
    // while each block of values is in cache, with Field::decimal_scale set.
    bool decimals_as_doubles = false;
};

}  // namespace vorl
