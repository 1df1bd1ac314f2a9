#include "python/slice_container.hpp"

namespace pyvorl {
namespace {

struct PySliceContainer {
    PyObject_HEAD ReleaseBuffer release;
    void* data;
    std::size_t count;
    std::size_t capacity;
};

void container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<PySliceContainer*>(self);
    container->release(container->data, container->count, container->capacity);
    PyTypeObject* type = Py_TYPE(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));  // instances of heap types own a type reference
}

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of a decoded column buffer that backs a NumPy array.")},
    {0, nullptr},
};

PyType_Spec container_spec = {
    "pyvorl._vorl.PySliceContainer",
    static_cast<int>(sizeof(PySliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    container_slots,
};

// Created on first use and kept for the life of the process.
PyTypeObject* container_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&container_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyRef make_slice_container(ReleaseBuffer release, void* data, std::size_t count, std::size_t capacity) {
    PyTypeObject* type = container_type();
    PyRef object;
    if (type != nullptr) {
        auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        object = PyRef(allocate(type, 0));
    }
    if (!object) {
        release(data, count, capacity);
        return {};
    }
    auto* container = reinterpret_cast<PySliceContainer*>(object.get());
    container->release = release;
    container->data = data;
    container->count = count;
    container->capacity = capacity;
    return object;
}

}  // namespace pyvorl
