#include "python/metadata.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "core/data_type.hpp"
#include "python/convert.hpp"
#include "python/numpy_api.hpp"
#include "python/value_error.hpp"

namespace pyvorl {
namespace {

using vorl::DataType;
// The Variant alternative (and the tag Python writes) of a column type.
template <DataType T>
constexpr long tag_of = static_cast<long>(vorl::index_of<T>);

std::optional<vorl::Variant> variant_from_python(long tag, PyObject* value) {
    switch (tag) {
        case tag_of<DataType::DateTime>:
        case tag_of<DataType::Int64>: {
            const long long number = PyLong_AsLongLong(value);
            if (number == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
            return tag == tag_of<DataType::DateTime> ? vorl::datetime_variant(number) : vorl::int64_variant(number);
        }
        case tag_of<DataType::Float64>: {
            const double number = PyFloat_AsDouble(value);
            if (number == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
            return vorl::Variant{std::in_place_index<vorl::index_of<DataType::Float64>>, number};
        }
        case tag_of<DataType::String>: {
            const auto text = utf8_view(value);
            if (!text) return std::nullopt;
            return vorl::string_variant(std::string(*text));
        }
        case tag_of<DataType::Bool>:
            return vorl::Variant{std::in_place_index<vorl::index_of<DataType::Bool>>, PyObject_IsTrue(value) == 1};
        case tag_of<DataType::UInt64>: {
            const unsigned long long number = PyLong_AsUnsignedLongLong(value);
            if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return std::nullopt;
            return vorl::Variant{std::in_place_index<vorl::index_of<DataType::UInt64>>,
                                 static_cast<std::uint64_t>(number)};
        }
        case tag_of<DataType::Bytes>: {
            const auto bytes = bytes_view(value);
            if (!bytes) return std::nullopt;
            return vorl::bytes_variant(std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        }
        default: break;
    }
    PyErr_Format(PyExc_ValueError, "metadata tag %ld is not written from Python", tag);
    return std::nullopt;
}

}  // namespace

PyObject* variant_to_python(const vorl::Variant& value) {
    switch (value.index()) {
        case tag_of<DataType::Null>: Py_RETURN_NONE;
        case tag_of<DataType::DateTime>: return PyLong_FromLongLong(vorl::get<DataType::DateTime>(value));
        case tag_of<DataType::Int64>: return PyLong_FromLongLong(vorl::get<DataType::Int64>(value));
        case tag_of<DataType::Float64>: return PyFloat_FromDouble(vorl::get<DataType::Float64>(value));
        case tag_of<DataType::Decimal>: {
            const vorl::D64 decimal = vorl::get<DataType::Decimal>(value);
            double number = vorl::d64_to_double(decimal);
            if (decimal.is_nan()) number = std::numeric_limits<double>::quiet_NaN();
            if (decimal.is_infinite()) number = decimal.is_negative() ? -HUGE_VAL : HUGE_VAL;
            return PyFloat_FromDouble(number);
        }
        case tag_of<DataType::String>: {
            const std::string& text = vorl::get<DataType::String>(value);
            return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        }
        case tag_of<DataType::Bool>: return PyBool_FromLong(vorl::get<DataType::Bool>(value) ? 1 : 0);
        case tag_of<DataType::Int32>: return PyLong_FromLong(vorl::get<DataType::Int32>(value));
        case tag_of<DataType::UInt32>: return PyLong_FromUnsignedLong(vorl::get<DataType::UInt32>(value));
        case tag_of<DataType::UInt64>: return PyLong_FromUnsignedLongLong(vorl::get<DataType::UInt64>(value));
        case tag_of<DataType::Float32>:
            return PyFloat_FromDouble(static_cast<double>(vorl::get<DataType::Float32>(value)));
        case tag_of<DataType::Bytes>: {
            const std::string& bytes = vorl::get<DataType::Bytes>(value);
            return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
        }
        default: break;
    }
    PyErr_SetString(PyExc_SystemError, "unknown metadata variant");
    return nullptr;
}

namespace {

// Where a value of the map sits, for an error text: the table map's "obj"
// and "table" entries are the arguments obj and name.
std::string place_of(std::string_view where, PyObject* key, std::string_view key_text) {
    if (where == "metadata" && key_text == "obj") return "obj";
    if (where == "metadata" && key_text == "table") return "name";
    return std::string(where) + " " + repr_text(key).value_or("?");
}

}  // namespace

std::optional<std::optional<vorl::Metadata>> metadata_from_python(PyObject* entries, std::string_view where) {
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
        PyObject* key_object = PyTuple_GetItem(entry, 0);
        const auto key = utf8_view(key_object);
        if (!key) {
            if (PyUnicode_Check(key_object)) raise_unencodable(key_object, std::string(where) + " key");
            return std::nullopt;
        }
        const long tag = PyLong_AsLong(PyTuple_GetItem(entry, 1));
        if (tag == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
        PyObject* value_object = PyTuple_GetItem(entry, 2);
        auto value = variant_from_python(tag, value_object);
        if (!value) {
            if (PyUnicode_Check(value_object)) raise_unencodable(value_object, place_of(where, key_object, *key));
            return std::nullopt;
        }
        vorl::metadata_insert(map, std::string(*key), std::move(*value));
    }
    return std::optional<vorl::Metadata>(std::move(map));
}

bool metadata_into_dicts(const std::optional<vorl::Metadata>& metadata, PyObject* user, PyObject* reserved) {
    if (!metadata) return true;
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return false;
    for (const auto& [key, value] : *metadata) {
        PyRef python_value;
        if (value.index() == vorl::index_of<DataType::DateTime>) {
            std::int64_t micros = vorl::get<DataType::DateTime>(value);
            python_value = PyRef(PyArray_Scalar(&micros, types->datetime_us, nullptr));
        } else {
            python_value = PyRef(variant_to_python(value));
        }
        if (!python_value) return false;
        PyRef key_text(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        if (!key_text) return false;
        PyObject* into = std::string_view(key).starts_with(RESERVED_PREFIX) ? reserved : user;
        if (PyDict_SetItem(into, key_text.get(), python_value.get()) != 0) return false;
    }
    return true;
}

}  // namespace pyvorl
