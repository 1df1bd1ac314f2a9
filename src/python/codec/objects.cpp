#include <algorithm>
#include <cmath>

#include "python/args.hpp"
#include "python/buffer_view.hpp"
#include "python/codec/functions.hpp"
#include "python/handle.hpp"
#include "python/large_layout.hpp"
#include "python/numpy_api.hpp"
#include "python/table_output.hpp"

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

PyObject* texts_from_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, "texts_from_arrow(offsets, data, is_text)");
            return nullptr;
        }
        if (numpy_types() == nullptr) return nullptr;
        auto* offsets = reinterpret_cast<PyArrayObject*>(args[0]);
        if (!PyArray_Check(args[0]) || PyArray_NDIM(offsets) != 1 || PyArray_TYPE(offsets) != NPY_INT64 ||
            (PyArray_FLAGS(offsets) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)) !=
                (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)) {
            PyErr_SetString(PyExc_TypeError, "offsets must be a contiguous 1-D int64 array");
            return nullptr;
        }
        const int text = PyObject_IsTrue(args[2]);
        if (text < 0) return nullptr;
        BufferView data;
        if (!data.acquire(args[1])) return nullptr;
        const std::span<const std::int64_t> positions(static_cast<const std::int64_t*>(PyArray_DATA(offsets)),
                                                      static_cast<std::size_t>(PyArray_DIM(offsets, 0)));
        if (!offsets_fit(positions, data.bytes().size())) {
            PyErr_SetString(PyExc_ValueError, "offsets must start at 0 and ascend inside the data");
            return nullptr;
        }
        const std::span<const char> bytes(reinterpret_cast<const char*>(data.bytes().data()), data.bytes().size());
        return objects_of_large_layout(positions, bytes, text != 0).release();
    });
}

// A gap is None, or a float NaN, which pandas writes for a missing text. Comparing each element
// from Python costs a rich comparison per value; here it is a pointer test for almost all of them.
PyObject* gaps(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        const NumpyTypes* types = numpy_types();
        if (types == nullptr) return nullptr;
        if (nargs != 1 || !PyArray_Check(args[0]) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(args[0])) != 1 ||
            PyArray_TYPE(reinterpret_cast<PyArrayObject*>(args[0])) != NPY_OBJECT) {
            PyErr_SetString(PyExc_TypeError, "gaps(array: 1-D object array)");
            return nullptr;
        }
        auto* array = reinterpret_cast<PyArrayObject*>(args[0]);
        const npy_intp count = PyArray_DIM(array, 0);
        const npy_intp stride = PyArray_STRIDE(array, 0);
        const char* base = static_cast<const char*>(PyArray_DATA(array));
        auto is_gap = [&](npy_intp i) {
            PyObject* item = *reinterpret_cast<PyObject* const*>(base + i * stride);
            return item == Py_None || (PyFloat_CheckExact(item) && std::isnan(PyFloat_AsDouble(item)));
        };
        npy_intp first = 0;
        while (first < count && !is_gap(first)) ++first;
        if (first == count) Py_RETURN_NONE;
        npy_intp dims[1] = {count};
        PyRef mask(PyArray_NewFromDescr(&PyArray_Type, new_descr_reference(types->boolean), 1, dims, nullptr, nullptr,
                                        0, nullptr));
        if (!mask) return nullptr;
        auto* out = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(mask.get())));
        std::fill(out, out + first, npy_bool{0});
        for (npy_intp i = first; i < count; ++i) out[i] = is_gap(i) ? 1 : 0;
        return mask.release();
    });
}

}  // namespace pyvorl::codec
