// A Table's columns as Arrow PyCapsules: the C data and C stream interfaces, so
// that any Arrow library (pyarrow, polars, duckdb, nanoarrow) reads them without
// pyarrow installed here. The package (pyvorl/_arrow_export.py) decides each
// column's Arrow type; this layer owns the structs, their buffers and their release.
#pragma once

#include <Python.h>

namespace pyvorl::arrow {

// columns: list of (name, format, field metadata (bytes in Arrow's encoding) or
// None, flags, kind, data, validity (bytes) or None, extra), kind being "fixed",
// "bits", "texts", "decimal" or "dictionary" (arrow_columns.hpp says what data
// and extra are for each). table_metadata: bytes in Arrow's encoding or None.

// A new "arrow_schema" capsule holding the struct type of the columns.
PyObject* schema_capsule(PyObject* columns, PyObject* table_metadata, Py_ssize_t num_rows);

// A new "arrow_array_stream" capsule whose stream yields one struct batch of the
// columns, then ends. Fixed-width columns are lent, not copied: the batch holds
// their arrays until it is released, from whichever thread.
PyObject* stream_capsule(PyObject* columns, PyObject* table_metadata, Py_ssize_t num_rows);

}  // namespace pyvorl::arrow
