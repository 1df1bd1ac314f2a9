// Metadata maps between the engine and _codec's Python side, which hands them
// over as lists of (key, tag, value) triples: the tag is the Variant number,
// so the Python side alone decides how a Python value is stored.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "core/variant.hpp"
#include "python/handle.hpp"

namespace pyvorl {

// Tags accepted from Python: 1 DateTime (int microseconds), 2 Int64, 3 Float64,
// 5 String, 6 Bool, 9 UInt64, 11 Bytes. None gives an absent map. On failure a
// Python exception is set and nothing is returned; a text that UTF-8 cannot
// hold is named by `where` ("metadata", "field metadata of column 'a'").
std::optional<std::optional<vorl::Metadata>> metadata_from_python(PyObject* entries, std::string_view where);

// One value as metadata_to_python gives it (a new reference, or nullptr with
// the Python error set).
PyObject* variant_to_python(const vorl::Variant& value);

// None for an absent map, else a list of (key, tag, value): DateTime and the
// integer tags as int, the float tags and Decimal as float, String as str,
// Bytes as bytes, Bool as bool, Null as None.
PyRef metadata_to_python(const std::optional<vorl::Metadata>& metadata);

}  // namespace pyvorl
