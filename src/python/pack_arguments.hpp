// The arguments of pack_table_frame(obj, columns, decimal_fields=None, /),
// checked and converted.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace pyvorl {

// Column name to number of decimal places; empty when no decimal columns.
using DecimalPlaces = std::map<std::string, std::uint64_t, std::less<>>;

struct PackArguments {
    std::string object_name;       // obj as UTF-8
    PyObject* columns = nullptr;   // borrowed: a list (exact or subclass), alive for the call
    DecimalPlaces decimal_places;  // from decimal_fields
};

// Parses and converts; on failure a Python exception is set and nothing is returned.
std::optional<PackArguments> convert_pack_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pyvorl
