#include "python/args.hpp"
#include "python/arrow_import.hpp"
#include "python/codec/functions.hpp"

namespace pyvorl::codec {

PyObject* arrow_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs == 1) return arrow_columns_of_stream(args[0]);
        if (nargs == 2) return arrow_columns_of_array(args[0], args[1]);
        PyErr_SetString(PyExc_TypeError,
                        "arrow_columns(stream_capsule) or arrow_columns(schema_capsule, array_capsule)");
        return nullptr;
    });
}

}  // namespace pyvorl::codec
