#include "python/arrow_export.hpp"
#include "python/args.hpp"
#include "python/codec/functions.hpp"

namespace pyvorl::codec {
namespace {

template <class Export>
PyObject* export_capsule(PyObject* const* args, Py_ssize_t nargs, const char* usage, Export make) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, usage);
            return nullptr;
        }
        const Py_ssize_t rows = PyLong_AsSsize_t(args[2]);
        if (rows == -1 && PyErr_Occurred()) return nullptr;
        if (rows < 0) {
            PyErr_SetString(PyExc_ValueError, "num_rows must not be negative");
            return nullptr;
        }
        return make(args[0], args[1], rows);
    });
}

}  // namespace

PyObject* arrow_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return export_capsule(args, nargs, "arrow_schema(columns, table_metadata, num_rows)", &arrow::schema_capsule);
}

PyObject* arrow_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return export_capsule(args, nargs, "arrow_stream(columns, table_metadata, num_rows)", &arrow::stream_capsule);
}

}  // namespace pyvorl::codec
