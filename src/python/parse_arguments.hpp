// The argument of parse_table_frame(buffer, /), checked and converted.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

namespace pyvorl {

struct ParseArguments {
    std::span<const std::uint8_t> body;  // the bytes of buffer, alive for the call
};

// Parses and converts; on failure a Python exception is set and nothing is returned.
std::optional<ParseArguments> convert_parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pyvorl
