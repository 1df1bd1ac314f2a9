// The _codec extension module: the C++ half of pyvorl.dumps and pyvorl.loads,
// and the frame length that the package's stream and file readers take from a header.
#include <Python.h>

#include "python/codec/functions.hpp"

namespace pyvorl::codec {
namespace {

template <class Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

PyMethodDef function_defs[] = {
    {"encode", as_method(&encode), METH_FASTCALL,
     "encode(columns, table_metadata, /)\n--\n\nOne whole frame from normalised columns (see pyvorl.dumps)."},
    {"encode_arrays", as_method(&encode_arrays), METH_FASTCALL,
     "encode_arrays(columns, obj, name, /)\n--\n\nThe frame of a dict of 1-D arrays, or None (see pyvorl.dumps)."},
    {"decode", as_method(&decode), METH_FASTCALL,
     "decode(buffer, string_dtype=False, columns=None, texts_as_arrow=False, /)\n--\n\nThe metadata and columns of one "
     "whole frame (see pyvorl.loads)."},
    {"frame_length", as_method(&frame_length), METH_FASTCALL,
     "frame_length(buffer, max_frame_size, /)\n--\n\nThe whole length of the frame whose header the buffer starts "
     "with."},
    {"texts_from_arrow", as_method(&texts_from_arrow), METH_FASTCALL,
     "texts_from_arrow(offsets, data, is_text, /)\n--\n\nThe object array of str or bytes of texts in Arrow's "
     "large layout."},
    {"gaps", as_method(&gaps), METH_FASTCALL,
     "gaps(array, /)\n--\n\nTrue where an object array holds None or NaN; None when it holds neither."},
    {"objects", as_method(&objects), METH_FASTCALL,
     "objects(items, /)\n--\n\nA 1-D object array holding the elements of a list."},
    {"arrow_schema", as_method(&arrow_schema), METH_FASTCALL,
     "arrow_schema(columns, table_metadata, num_rows, /)\n--\n\nThe Arrow schema capsule of prepared columns (see "
     "pyvorl._arrow_export)."},
    {"arrow_stream", as_method(&arrow_stream), METH_FASTCALL,
     "arrow_stream(columns, table_metadata, num_rows, /)\n--\n\nAn Arrow stream capsule of one batch of prepared "
     "columns (see pyvorl._arrow_export)."},
    {"arrow_columns", as_method(&arrow_columns), METH_FASTCALL,
     "arrow_columns(stream_capsule, /)\n--\n\nThe columns of an Arrow C stream, or of a schema and struct array "
     "capsule pair: (num_rows, [(name, format, metadata, flags, values, validity, dictionary)], schema_metadata)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&add_frame_header_constants)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_codec",
    "The encoder and decoder behind pyvorl.dumps and pyvorl.loads, and the frame length of a header.",
    0,
    function_defs,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pyvorl::codec

PyMODINIT_FUNC PyInit__codec(void) { return PyModuleDef_Init(&pyvorl::codec::module_def); }
