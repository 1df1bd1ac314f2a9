// Intake: one column object from Python (a 1-D NumPy array or a list of str)
// classified into a form the table model can view. Fixed-width numeric and
// bool arrays are viewed in place; datetimes, texts and decimals are
// converted into buffers held here.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "core/buffer.hpp"
#include "core/table.hpp"
#include "python/handle.hpp"

namespace pyvorl {

struct PyArrayTyped {
    enum class Kind : std::uint8_t { Int64, Float64, Int32, Float32, Bool, DateTime, String, Decimal };

    Kind kind;
    // Int64..Bool and datetime64[us]: the array itself, whose buffer is viewed.
    // String: an object owning every text's UTF-8 (one copy), which `texts` view.
    PyRef owner;
    const void* data = nullptr;            // viewed arrays: the array's buffer
    std::size_t length = 0;                // viewed arrays: their element count
    vorl::Buffer<std::int64_t> datetimes;  // datetimes converted from ms, s or ns
    std::vector<std::string_view> texts;
    vorl::Buffer<vorl::D64> decimals;

    // The column as the table model sees it; the DataType number follows the
    // alternative (02 03 07 0A 06 01 05 04 for the kinds in order).
    vorl::SeriesRef view() const noexcept;
};

// Classifies `column`. decimal_places selects the decimal conversions for float
// arrays and lists; column_name only appears in error messages. On failure a
// Python exception is set and nothing is returned.
std::optional<PyArrayTyped> intake_column(PyObject* column, std::optional<std::uint64_t> decimal_places,
                                          std::string_view column_name);

// A String column from `length` borrowed objects (an object array's elements),
// each of which must be a str; the first that is not raises the type mismatch.
std::optional<PyArrayTyped> intake_text_objects(PyObject* const* items, std::size_t length);

}  // namespace pyvorl
