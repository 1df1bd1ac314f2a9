#include "python/value_error.hpp"

#include "python/handle.hpp"

namespace pyvorl {

void raise_value_error(const std::string& message) {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

void raise_unencodable(PyObject* text, const std::string& where) {
    PyRef error(PyErr_GetRaisedException());
    PyRef reason(error ? PyObject_GetAttrString(error.get(), "reason") : nullptr);
    PyErr_Clear();
    Py_ssize_t size = 0;
    const char* because =
        reason && PyUnicode_Check(reason.get()) ? PyUnicode_AsUTF8AndSize(reason.get(), &size) : nullptr;
    const auto shown = repr_text(text);
    if (!shown) return;
    raise_value_error(where + ": " + *shown + " cannot be encoded as UTF-8 (" +
                      (because != nullptr ? std::string(because, static_cast<std::size_t>(size)) : "invalid text") +
                      ")");
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
