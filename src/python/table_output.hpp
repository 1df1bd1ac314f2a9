// Output: an owned Table turned into Python objects. Column buffers become the
// memory of the NumPy arrays wherever the element layout allows it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/table.hpp"
#include "python/handle.hpp"

namespace pyvorl {

// A list of (column name, numpy.ndarray) tuples, one per field. Consumes the
// table; on failure a Python exception is set and nothing partial is returned.
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

// One 1-D array for `series`; a Null column is a view of `nulls`. Date-times
// get datetime_offset (microseconds) added.
PyRef series_to_array(vorl::Series series, NullColumns& nulls, std::int64_t datetime_offset);

}  // namespace pyvorl
