#include "python/convert.hpp"

#include "python/args.hpp"

namespace pyvorl {

std::optional<std::string_view> utf8_view(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_type_mismatch(object, "str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::span<const std::uint8_t>> bytes_view(PyObject* object) {
    if (!PyBytes_Check(object)) {
        raise_type_mismatch(object, "bytes");
        return std::nullopt;
    }
    const char* data = PyBytes_AsString(object);
    if (data == nullptr) return std::nullopt;
    const Py_ssize_t size = PyBytes_Size(object);
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

}  // namespace pyvorl
