#include "python/pack_arguments.hpp"

#include <array>

#include "python/args.hpp"
#include "python/convert.hpp"

namespace pyvorl {
namespace {

constexpr const char* parameter_names[] = {"obj", "columns", "decimal_fields"};
constexpr Signature signature{"pack_table_frame", parameter_names, 3, 2};

// Errors here carry the decimal_fields prefix when they are TypeErrors; the
// OverflowError of a negative or too large count passes unprefixed.
bool convert_decimal_places(PyObject* object, DecimalPlaces& out) {
    if (!PyDict_Check(object)) {
        raise_argument_type_mismatch("decimal_fields", object, "dict");
        return false;
    }
    // Neither conversion below runs Python code, so the dict cannot change
    // while it is walked.
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(object, &position, &key, &value)) {
        const auto name = utf8_view(key);
        if (!name) {
            prefix_argument_error("decimal_fields");
            return false;
        }
        const unsigned long long places = PyLong_AsUnsignedLongLong(value);
        if (places == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
            prefix_argument_error("decimal_fields");
            return false;
        }
        out.insert_or_assign(std::string(*name), std::uint64_t{places});
    }
    return true;
}

}  // namespace

std::optional<PackArguments> convert_pack_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> values{};
    if (!parse_arguments(signature, args, nargs, kwnames, values)) return std::nullopt;
    const auto [obj, columns, decimal_fields] = values;

    PackArguments converted;
    const auto object_name = utf8_view(obj);
    if (!object_name) {
        prefix_argument_error("obj");
        return std::nullopt;
    }
    converted.object_name = *object_name;

    if (!PyList_Check(columns)) {
        raise_argument_type_mismatch("columns", columns, "list");
        return std::nullopt;
    }
    converted.columns = columns;

    if (decimal_fields != nullptr && decimal_fields != Py_None &&
        !convert_decimal_places(decimal_fields, converted.decimal_places)) {
        return std::nullopt;
    }
    return converted;
}

}  // namespace pyvorl
