// The five functions of the module, in the shapes their PyMethodDef entries
// expect. None of them lets a C++ exception escape.
#pragma once

#include <Python.h>

namespace pyvorl {

// METH_FASTCALL | METH_KEYWORDS
PyObject* set_local_zone(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* check_table_frame(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* parse_table_frame(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* pack_table_frame(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// METH_NOARGS
PyObject* get_local_offset(PyObject* module, PyObject* unused) noexcept;

}  // namespace pyvorl
