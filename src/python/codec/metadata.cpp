#include "python/codec/metadata.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "python/convert.hpp"

namespace pyvorl::codec {
namespace {

std::optional<vorl::Variant> variant_from_python(long tag, PyObject* value) {
    switch (tag) {
        case 1:
        case 2: {
            const long long number = PyLong_AsLongLong(value);
            if (number == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
            return tag == 1 ? vorl::datetime_variant(number) : vorl::int64_variant(number);
        }
        case 3: {
            const double number = PyFloat_AsDouble(value);
            if (number == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
            return vorl::Variant{std::in_place_index<3>, number};
        }
        case 5: {
            const auto text = utf8_view(value);
            if (!text) return std::nullopt;
            return vorl::string_variant(std::string(*text));
        }
        case 6: return vorl::Variant{std::in_place_index<6>, PyObject_IsTrue(value) == 1};
        case 9: {
            const unsigned long long number = PyLong_AsUnsignedLongLong(value);
            if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return std::nullopt;
            return vorl::Variant{std::in_place_index<9>, static_cast<std::uint64_t>(number)};
        }
        case 11: {
            const auto bytes = bytes_view(value);
            if (!bytes) return std::nullopt;
            return vorl::bytes_variant(std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        }
        default: break;
    }
    PyErr_Format(PyExc_ValueError, "metadata tag %ld is not written from Python", tag);
    return std::nullopt;
}

PyObject* variant_to_python(const vorl::Variant& value) {
    switch (value.index()) {
        case 0: Py_RETURN_NONE;
        case 1: return PyLong_FromLongLong(std::get<1>(value));
        case 2: return PyLong_FromLongLong(std::get<2>(value));
        case 3: return PyFloat_FromDouble(std::get<3>(value));
        case 4: {
            const vorl::D64 decimal = std::get<4>(value);
            double number = vorl::d64_to_double(decimal);
            if (decimal.is_nan()) number = std::numeric_limits<double>::quiet_NaN();
            if (decimal.is_infinite()) number = decimal.is_negative() ? -HUGE_VAL : HUGE_VAL;
            return PyFloat_FromDouble(number);
        }
        case 5: {
            const std::string& text = std::get<5>(value);
            return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        }
        case 6: return PyBool_FromLong(std::get<6>(value) ? 1 : 0);
        case 7: return PyLong_FromLong(std::get<7>(value));
        case 8: return PyLong_FromUnsignedLong(std::get<8>(value));
        case 9: return PyLong_FromUnsignedLongLong(std::get<9>(value));
        case 10: return PyFloat_FromDouble(static_cast<double>(std::get<10>(value)));
        case 11: {
            const std::string& bytes = std::get<11>(value);
            return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
        }
        default: break;
    }
    PyErr_SetString(PyExc_SystemError, "unknown metadata variant");
    return nullptr;
}

}  // namespace

std::optional<std::optional<vorl::Metadata>> metadata_from_python(PyObject* entries) {
    if (entries == Py_None) return std::optional<vorl::Metadata>{};
    if (!PyList_Check(entries)) {
        PyErr_SetString(PyExc_TypeError, "metadata must be a list of (key, tag, value)");
        return std::nullopt;
    }
    vorl::Metadata map;
    for (Py_ssize_t i = 0; i < PyList_Size(entries); ++i) {
        PyObject* entry = PyList_GetItem(entries, i);
        if (!PyTuple_Check(entry) || PyTuple_Size(entry) != 3) {
            PyErr_SetString(PyExc_TypeError, "metadata entries must be (key, tag, value)");
            return std::nullopt;
        }
        const auto key = utf8_view(PyTuple_GetItem(entry, 0));
        if (!key) return std::nullopt;
        const long tag = PyLong_AsLong(PyTuple_GetItem(entry, 1));
        if (tag == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
        auto value = variant_from_python(tag, PyTuple_GetItem(entry, 2));
        if (!value) return std::nullopt;
        vorl::metadata_insert(map, std::string(*key), std::move(*value));
    }
    return std::optional<vorl::Metadata>(std::move(map));
}

PyRef metadata_to_python(const std::optional<vorl::Metadata>& metadata) {
    if (!metadata) return PyRef::borrow(Py_None);
    PyRef list(PyList_New(0));
    if (!list) return {};
    for (const auto& [key, value] : *metadata) {
        PyRef python_value(variant_to_python(value));
        if (!python_value) return {};
        PyRef key_text(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        if (!key_text) return {};
        PyRef entry(Py_BuildValue("(OnO)", key_text.get(), static_cast<Py_ssize_t>(value.index()), python_value.get()));
        if (!entry || PyList_Append(list.get(), entry.get()) != 0) return {};
    }
    return list;
}

}  // namespace pyvorl::codec
