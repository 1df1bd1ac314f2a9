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

// One 1-D array for `series`; row_count is the length given to a Null column.
// Date-times get the process-wide local offset, or datetime_offset (microseconds).
PyRef series_to_array(vorl::Series series, std::size_t row_count);
PyRef series_to_array(vorl::Series series, std::size_t row_count, std::int64_t datetime_offset);

}  // namespace pyvorl
