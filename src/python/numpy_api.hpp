// NumPy's C interface, reached through the table that NumPy publishes in the
// `_ARRAY_API` capsule. It is fetched on first use and kept for the process.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL PYVORL_ARRAY_API
#ifndef PYVORL_NUMPY_API_DEFINITION
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace pyvorl {

// Reference descriptors, created once and never released.
struct NumpyTypes {
    PyArray_Descr* int64;
    PyArray_Descr* float64;
    PyArray_Descr* int32;
    PyArray_Descr* float32;
    PyArray_Descr* boolean;
    PyArray_Descr* uint32;
    PyArray_Descr* uint64;
    PyArray_Descr* uint8;
    PyArray_Descr* object;
    PyArray_Descr* datetime_us;
    PyArray_Descr* datetime_ms;
    PyArray_Descr* datetime_s;
    PyArray_Descr* datetime_ns;
};

// Imports NumPy's interface table and the descriptors when first called.
// nullptr with a Python exception set when NumPy cannot be imported.
const NumpyTypes* numpy_types();

// A new reference to `descr`, for the calls that steal one.
inline PyArray_Descr* new_descr_reference(PyArray_Descr* descr) {
    Py_INCREF(reinterpret_cast<PyObject*>(descr));
    return descr;
}

}  // namespace pyvorl
