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

// int64, float64, int32, float32, bool and datetime64[us] arrays, viewed in
// place: `array` keeps the viewed buffer alive.
struct ViewedArray {
    vorl::DataType type;  // Int64, Float64, Int32, Float32, Bool or DateTime
    PyRef array;
    const void* data;
    std::size_t length;
};

// Datetimes converted to microseconds from ms, s or ns.
struct DateTimes {
    vorl::Buffer<std::int64_t> micros;
};

// `owner` holds every text's UTF-8 (one copy), which `views` view.
struct Texts {
    PyRef owner;
    std::vector<std::string_view> views;
};

struct Decimals {
    vorl::Buffer<vorl::D64> values;
};

struct PyArrayTyped {
    std::variant<ViewedArray, DateTimes, Texts, Decimals> column;

    // The column as the table model sees it; the DataType number follows the
    // alternative (a viewed array's own type, then DateTime, String, Decimal).
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
