// Intake: one column object from Python (a 1-D NumPy array or a list of str)
// classified into a form the table model can view. Fixed-width numeric and
// bool arrays are viewed in place; datetimes, texts and decimals are
// converted into buffers held here.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/buffer.hpp"
#include "core/datetime_units.hpp"
#include "core/table.hpp"
#include "python/handle.hpp"

namespace pyvorl {

// Fixed-width arrays viewed in place: `array` keeps the viewed buffer alive.
// Another thread may change them meanwhile; `private_copy` then holds a
// snapshot that `data` points at instead.
struct ViewedArray {
    vorl::DataType type;  // Int64, Float64, Int32, Float32, Bool, DateTime, UInt32 or UInt64
    PyRef array;
    const void* data;
    std::size_t length;
    vorl::Buffer<std::uint8_t> private_copy;
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

// `owner` (a bytes object) holds every element's bytes, which `views` view.
struct ByteStrings {
    PyRef owner;
    std::vector<std::string_view> views;
};

// A column (DateTime, Decimal, or integers of short varints) whose body was
// encoded as it was taken in, in one pass over its values.
struct EncodedBody {
    vorl::DataType type;
    vorl::Buffer<std::uint8_t> bytes;
};

struct PyArrayTyped {
    std::variant<ViewedArray, DateTimes, Texts, Decimals, ByteStrings, EncodedBody> column;
    PyRef source;                          // what the exact intake converted the column from, kept alive
    const char* recorded_dtype = nullptr;  // the dtype's name where the column type does not say it (exact intake)

    // The column as the table model sees it; the DataType number follows the
    // alternative (a viewed array's own type, then DateTime, String, Decimal, Bytes).
    vorl::SeriesRef view() const noexcept;
    // The field of that view, with the encoded body if there is one.
    vorl::FieldRef field(std::string_view name) const noexcept;
    // Bytes of input behind the view, to decide whether long work drops the lock.
    std::size_t byte_estimate() const noexcept;
    // Points a viewed array at a copy that no other thread can change.
    void take_private_copy();
};

// Conversions that both the specified and the exact intake make, each giving
// the column or the index of the first value it cannot take.
// Datetimes of another unit as microseconds (NaT kept, nanoseconds truncated):
// fails where the microseconds do not fit int64.
std::variant<DateTimes, std::size_t> microseconds_of(std::span<const std::int64_t> values, vorl::TimeUnit unit);
// Floats as the decimals they were meant to be at `places`, encoded at once
// (NaN gives zero unless nan_refused): fails where a value has no decimal
// that fits. Without the lock when `release_lock` is set.
std::variant<EncodedBody, std::size_t> decimals_of(std::span<const double> values, unsigned places, bool nan_refused,
                                                   bool release_lock);
std::variant<EncodedBody, std::size_t> decimals_of(std::span<const float> values, unsigned places, bool nan_refused,
                                                   bool release_lock);

// Where the elements of a text column come from, for errors that name the
// column and the row; without one, a wrong element raises the plain type
// mismatch.
struct TextRows {
    std::string_view column;
};

// The two ways a column enters a frame.
enum class IntakePolicy : std::uint8_t {
    // pack_table_frame: its six dtypes and lists of str, datetimes as
    // microseconds, decimals truncated to the places, and its error texts.
    Specified,
    // dumps: every dtype as dtype_routes.hpp routes it (its name recorded where
    // the column type does not say it), texts, byte strings and decimal texts
    // from object arrays, decimals that must fit, and errors naming the column
    // and the row.
    Exact,
};

struct ColumnIntake {
    IntakePolicy policy;
    std::optional<std::uint64_t> decimal_places;  // decimals for float columns and texts
    PyObject* name;                               // the column's name, for error texts
    std::string_view name_text;                   // the same as UTF-8
};

// Classifies `column` by the policy. On failure a Python exception is set and
// nothing is returned.
std::optional<PyArrayTyped> intake_column(PyObject* column, const ColumnIntake& how);

// What a column is called in an error text: "column 'a'".
std::string column_label(PyObject* name);

// A String column from `length` borrowed objects (an object array's elements),
// each of which must be a str; the first that is not, or that UTF-8 cannot
// hold, raises the type mismatch or (with rows) a ValueError naming its row.
std::optional<PyArrayTyped> intake_text_objects(PyObject* const* items, std::size_t length,
                                                const TextRows* rows = nullptr);
// The same for the elements of a list.
std::optional<PyArrayTyped> intake_text_list(PyObject* list, const TextRows* rows = nullptr);
// The texts of a 1-D StringDType array, copied from its own storage with no str per element; a
// missing element is refused as None is.
std::optional<PyArrayTyped> intake_string_dtype(PyObject* array, const TextRows& rows);

// A Bytes column from borrowed objects, each of which must be bytes; their
// bytes are copied into one bytes object in one walk.
std::optional<PyArrayTyped> intake_byte_objects(PyObject* const* items, std::size_t length, const TextRows& rows);

// The ValueError for element `row` of a text or bytes column that is not of
// the column's kind ("column 'a' row 1: None in a text column"), or that UTF-8
// cannot hold (with its encoding error set).
void raise_misplaced_element(const TextRows& rows, std::size_t row, PyObject* item, bool bytes_column);

}  // namespace pyvorl
