// Views of Python objects as C++ data. Each raises the type mismatch of its
// required type, without an argument prefix, and returns nothing on failure.
// A view lives as long as the object it was taken from.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace pyvorl {

// A str (exact or subclass) as UTF-8; a lone surrogate raises the encoding error.
std::optional<std::string_view> utf8_view(PyObject* object);

// The contents of a bytes object (exact or subclass); other buffers are refused.
std::optional<std::span<const std::uint8_t>> bytes_view(PyObject* object);

}  // namespace pyvorl
