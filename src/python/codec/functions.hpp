// The functions of the _codec module (METH_FASTCALL). The Python package
// (pyvorl._api) checks and normalises what users pass; these do the work that
// is worth doing in C++: intake, encoding, checksums and decoding, with the
// interpreter lock released around the long parts.
#pragma once

#include <Python.h>

namespace pyvorl::codec {

// encode(columns, table_metadata) -> bytes, one whole frame.
//   columns: list of (name, 1-D array, decimal places or None, field metadata
//   or None). Each dtype is stored as dtype_routes.hpp says; texts and byte
//   strings come as object, <U or StringDType arrays. A column that cannot be
//   stored raises ValueError naming it (and the row). Metadata as in metadata.hpp.
PyObject* encode(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// encode_arrays(columns, obj, name) -> bytes, or None: the frame of a dict of
// 1-D arrays of one length with str names and nothing else to store, in one
// call; None, with nothing done, for anything else, which encode() takes.
PyObject* encode_arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// decode(buffer, string_dtype=False, columns=None, texts_as_arrow=False) -> (columns, num_rows, obj, name,
// metadata, field_metadata, decimals, reserved_field_metadata,
// reserved_metadata): the parts of the Table that loads returns, as dicts,
// from a buffer holding exactly one whole frame. "pyvorl."-prefixed keys are
// kept apart from the user's. A bad frame raises ValueError whose text begins
// "truncated frame", "trailing bytes", "not a table frame" or "damaged frame";
// repeated names, columns of different lengths and a damaged "pyvorl.dtype"
// raise ValueError naming the column. Arrays come back in the dtype recorded
// under "pyvorl.dtype" (which is not handed on), else date-times as UTC
// datetime64[us], decimals as float64; texts as str in object arrays, or as
// StringDType arrays when string_dtype is true. With a list of names in
// `columns`, only those fields are decoded (in frame order; the checksum still
// covers every byte) and a name the frame lacks raises KeyError. With
// texts_as_arrow (and not string_dtype), text and bytes columns without a
// recorded dtype come as (offsets, data, is_text) in Arrow's large layout
// (table_output.hpp, field_array), for texts_from_arrow to make objects of.
PyObject* decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// objects(list) -> a 1-D object array holding the list's elements, in one pass.
PyObject* objects(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// texts_from_arrow(offsets, data, is_text) -> the 1-D object array of str (or
// bytes) of texts in Arrow's large layout: a 1-D int64 array of rows + 1
// ascending offsets into the bytes of `data`. Texts repeated often share one str.
PyObject* texts_from_arrow(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// gaps(array) -> a bool array, True where a 1-D object array holds None or a
// float NaN (a missing text), or None when it holds neither.
PyObject* gaps(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// arrow_schema(columns, table_metadata, num_rows) -> PyCapsule "arrow_schema" and
// arrow_stream(columns, table_metadata, num_rows) -> PyCapsule "arrow_array_stream":
// a Table's columns over the Arrow C data and C stream interfaces, as prepared by
// pyvorl._arrow_export (python/arrow_export.hpp says what each column tuple holds).
PyObject* arrow_schema(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* arrow_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
// arrow_columns(stream_capsule) or arrow_columns(schema_capsule, array_capsule) ->
// (num_rows, columns, schema_metadata): the columns of an Arrow stream, or of one struct array,
// as arrow_import.hpp describes them.
PyObject* arrow_columns(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// frame_length(buffer, max_frame_size) -> int: the whole length (header, body)
// of the frame whose header the buffer starts with; only its first 8 bytes are
// read. ValueError "buffer is too short", "buffer is not a table frame" or
// "announced body of {n} bytes exceeds max_frame_size {max}".
PyObject* frame_length(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Adds FRAME_HEADER_SIZE and FRAME_HEADER_PREFIX (the bytes every header starts
// with) to the module; 0, or -1 with an exception set.
int add_frame_header_constants(PyObject* module) noexcept;

}  // namespace pyvorl::codec
