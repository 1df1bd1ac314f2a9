#include "python/args.hpp"
#include "python/codec/functions.hpp"
#include "python/handle.hpp"
#include "python/numpy_api.hpp"

namespace pyvorl::codec {

// NumPy builds object arrays from lists element by element through its generic
// sequence machinery; a list of texts needs only its references copied.
PyObject* objects(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs != 1 || !PyList_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "objects(items: list)");
            return nullptr;
        }
        const NumpyTypes* types = numpy_types();
        if (types == nullptr) return nullptr;
        PyObject* list = args[0];
        npy_intp dims[1] = {PyList_Size(list)};
        PyRef array(PyArray_NewFromDescr(&PyArray_Type, new_descr_reference(types->object), 1, dims, nullptr, nullptr,
                                         0, nullptr));
        if (!array) return nullptr;
        // Nothing below runs Python code, so the list keeps its length.
        auto** slots = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        for (npy_intp i = 0; i < dims[0]; ++i) {
            PyObject* item = PyList_GetItem(list, i);
            Py_INCREF(item);
            PyObject* old = slots[i];
            slots[i] = item;
            Py_XDECREF(old);  // NumPy may have filled the array with None
        }
        return array.release();
    });
}

}  // namespace pyvorl::codec
