#define PYVORL_NUMPY_API_DEFINITION
#include "python/numpy_api.hpp"

#include "python/handle.hpp"

namespace pyvorl {
namespace {

// NumPy 2 keeps its modules under numpy._core; NumPy 1 under numpy.core.
bool import_array_api() {
    PyRef module(PyImport_ImportModule("numpy._core.multiarray"));
    if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        module = PyRef(PyImport_ImportModule("numpy.core.multiarray"));
    }
    if (!module) return false;
    PyRef capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return false;
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return false;
    PyArray_API = table;
    if (NPY_VERSION < PyArray_GetNDArrayCVersion() ||
        static_cast<int>(PyArray_GetNDArrayCFeatureVersion()) < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_ImportError, "pyvorl needs NumPy 2 or later (C-API version 0x%x), found 0x%x",
                     static_cast<int>(NPY_FEATURE_VERSION), static_cast<int>(PyArray_GetNDArrayCFeatureVersion()));
        PyArray_API = nullptr;
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    return true;
}

PyArray_Descr* datetime_descr(PyObject* dtype_type, const char* spelling) {
    return reinterpret_cast<PyArray_Descr*>(PyObject_CallFunction(dtype_type, "s", spelling));
}

bool load_types(NumpyTypes& types) {
    types.int64 = PyArray_DescrFromType(NPY_INT64);
    types.float64 = PyArray_DescrFromType(NPY_FLOAT64);
    types.int32 = PyArray_DescrFromType(NPY_INT32);
    types.float32 = PyArray_DescrFromType(NPY_FLOAT32);
    types.boolean = PyArray_DescrFromType(NPY_BOOL);
    types.uint32 = PyArray_DescrFromType(NPY_UINT32);
    types.uint64 = PyArray_DescrFromType(NPY_UINT64);
    types.uint8 = PyArray_DescrFromType(NPY_UINT8);
    types.object = PyArray_DescrFromType(NPY_OBJECT);
    PyObject* dtype_type = reinterpret_cast<PyObject*>(&PyArrayDescr_Type);
    types.datetime_us = datetime_descr(dtype_type, "M8[us]");
    types.datetime_ms = datetime_descr(dtype_type, "M8[ms]");
    types.datetime_s = datetime_descr(dtype_type, "M8[s]");
    types.datetime_ns = datetime_descr(dtype_type, "M8[ns]");
    for (PyArray_Descr* descr :
         {types.int64, types.float64, types.int32, types.float32, types.boolean, types.uint32, types.uint64,
          types.uint8, types.object, types.datetime_us, types.datetime_ms, types.datetime_s, types.datetime_ns}) {
        if (descr == nullptr) return false;
    }
    return true;
}

}  // namespace

const NumpyTypes* numpy_types() {
    // Interpreter lock held: no other thread runs this at the same time.
    static NumpyTypes types{};
    static bool ready = false;
    if (ready) return &types;
    if (PyArray_API == nullptr && !import_array_api()) return nullptr;
    NumpyTypes loaded{};
    if (!load_types(loaded)) return nullptr;  // the references taken so far stay with the process
    types = loaded;
    ready = true;
    return &types;
}

}  // namespace pyvorl
