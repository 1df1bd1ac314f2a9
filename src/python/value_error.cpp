#include "python/value_error.hpp"

#include "python/handle.hpp"

namespace pyvorl {

void raise_value_error(const std::string& message) {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

}  // namespace pyvorl
