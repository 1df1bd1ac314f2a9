// Output: an owned Table turned into Python objects. Column buffers become the
// memory of the NumPy arrays wherever the element layout allows it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/table.hpp"
#include "python/handle.hpp"

namespace pyvorl {

// A list of (column name, numpy.ndarray) tuples, one per field of a table
// decoded with decimals as doubles. Consumes the table; on failure a Python exception is set and nothing partial is
// returned.
PyRef table_to_py_list(vorl::Table table);

// The zero bytes behind the Null columns of one table, created for the first
// of them. Each Null field would otherwise cost a bool per row of the table,
// so a small frame of many Null fields could ask for memory in proportion to
// their number times the row count; shared and read-only, they cost one.
class NullColumns {
public:
    explicit NullColumns(std::size_t row_count) : row_count_(row_count) {}
    std::size_t row_count() const noexcept { return row_count_; }
    PyRef array();
    // One read-only array for all of them: a Python array object costs more
    // than the few bytes a Null field takes in a frame.
    PyRef shared_array();

private:
    std::size_t row_count_;
    void* data_ = nullptr;
    PyRef container_;
    PyRef shared_;
};

// How decoded columns come out: the one place where the two modules differ.
struct OutputPolicy {
    std::int64_t datetime_offset = 0;     // microseconds added to date-times
    bool string_dtype = false;            // texts as StringDType arrays instead of object arrays of str
    bool texts_as_arrow = false;          // texts and bytes as (offsets, data, is_text): see field_array
    bool release_lock = false;            // packing StringDType texts may drop the interpreter lock
    bool shared_null_array = false;       // Null columns as one array object rather than a view each
    bool restore_recorded_dtype = false;  // "pyvorl.dtype" gives the array its dtype back, and is taken out
};

// The 1-D array of one decoded field (decimals decoded as doubles), whose
// series it consumes; a Null column is a view of `nulls`. On failure a
// Python exception is set. With texts_as_arrow, a String or Bytes field without
// a recorded dtype is instead a tuple (offsets, data, is_text) in Arrow's large
// layout: int64 offsets of rows + 1 entries and the uint8 data in the decoded
// memory, so that an Arrow consumer takes the bytes without a str per value.
PyRef field_array(vorl::Field& field, NullColumns& nulls, const OutputPolicy& policy);

// The object array of str (`text`) or bytes of texts in Arrow's large layout,
// offsets already checked to ascend inside `data`; nullptr with an exception set.
PyRef objects_of_large_layout(std::span<const std::int64_t> offsets, std::span<const char> data, bool text);

}  // namespace pyvorl
