// Text columns as NumPy StringDType arrays, filled from the decoded bytes
// without a Python str per element.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "core/table.hpp"
#include "python/handle.hpp"

namespace pyvorl {

// A 1-D StringDType array holding the texts of `column`, which the reader has
// already checked to be UTF-8. With release_lock the texts are packed without
// the interpreter lock. On failure a Python exception is set.
PyRef string_dtype_array(const vorl::VarColumn& column, bool release_lock);

// The same of texts held elsewhere (valid UTF-8 too), which must outlive the call.
PyRef string_dtype_array(std::span<const std::string_view> texts, bool release_lock);

}  // namespace pyvorl
