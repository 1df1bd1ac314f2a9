// Columns from any Arrow producer, through the C data and C stream interfaces alone: no Arrow
// library is needed. Every struct received is released exactly once, on every path; a single
// batch's fixed-width columns are NumPy views of its buffers, which keep the batch alive.
#pragma once

#include <Python.h>

namespace pyvorl {

// Takes over the stream in an "arrow_array_stream" capsule and reads all of it:
//   (num_rows, [(name, format, metadata, flags, values, validity, dictionary), ...], schema_metadata)
// metadata: the field's Arrow metadata as a dict of bytes to bytes, or None; values: a NumPy
// array (texts as StringDType, binaries as an object array of bytes, fill values under nulls);
// validity: the Arrow bitmap of the rows from 0, ceil(rows / 8) bytes, or None without nulls;
// dictionary: (value format, [categories]) for a dictionary column, else None. Columns of types
// no frame holds raise one TypeError naming them all; malformed input raises ValueError naming
// the column. nullptr with the Python error set on failure.
PyObject* arrow_columns_of_stream(PyObject* stream_capsule);

// The same of an "arrow_schema" capsule (read, left to its owner) and an "arrow_array" capsule of
// a struct array (taken over).
PyObject* arrow_columns_of_array(PyObject* schema_capsule, PyObject* array_capsule);

}  // namespace pyvorl
