// Raising a ValueError whose text the binding composed, and the repr() such texts show.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace pyvorl {

// Sized, so that a column name holding NUL characters is shown whole.
void raise_value_error(const std::string& message);

// With the UnicodeEncodeError of `text` set (a str holding a lone surrogate):
// ValueError "{where}: {repr(text)} cannot be encoded as UTF-8 ({reason})".
void raise_unencodable(PyObject* text, const std::string& where);

// repr(object) as UTF-8, for an error text; nothing (with the Python error set)
// where repr fails.
std::optional<std::string> repr_text(PyObject* object);

}  // namespace pyvorl
