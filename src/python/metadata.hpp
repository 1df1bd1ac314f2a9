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

// One metadata value as a Python object: integers as int, floats and decimals
// as float, texts as str, bytes as bytes, Null as None (a new reference, or
// nullptr with the Python error set).
PyObject* variant_to_python(const vorl::Variant& value);

// Keys that pyvorl writes for itself start with this; loads keeps them apart
// from the user's metadata.
inline constexpr std::string_view RESERVED_PREFIX = "pyvorl.";

// The entries of `metadata` set into two dicts as loads gives them: keys
// with RESERVED_PREFIX into `reserved`, the others into `user`; values as
// variant_to_python gives them, but date-times as datetime64[us] scalars.
// False with a Python error set on failure.
bool metadata_into_dicts(const std::optional<vorl::Metadata>& metadata, PyObject* user, PyObject* reserved);

}  // namespace pyvorl
