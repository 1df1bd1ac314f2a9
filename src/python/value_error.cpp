#include "python/value_error.hpp"

#include "python/handle.hpp"

namespace pyvorl {

void raise_value_error(const std::string& message) {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

std::optional<std::string> repr_text(PyObject* object) {
    PyRef text(PyObject_Repr(object));
    if (!text) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace pyvorl
