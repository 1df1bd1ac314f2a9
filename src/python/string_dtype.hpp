// Text columns as NumPy StringDType arrays, filled from the decoded bytes
// without a Python str per element.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>
#include <vector>

#include "core/table.hpp"
#include "python/handle.hpp"
#include "python/numpy_api.hpp"

namespace pyvorl {

// A 1-D StringDType array holding the texts of `column`, which the reader has
// already checked to be UTF-8. With release_lock the texts are packed without
// the interpreter lock. On failure a Python exception is set.
PyRef string_dtype_array(const vorl::VarColumn& column, bool release_lock);

// The same of texts held elsewhere (valid UTF-8 too), which must outlive the call.
PyRef string_dtype_array(std::span<const std::string_view> texts, bool release_lock);

// The texts of a 1-D StringDType array, copied into `bytes` and viewed by `views`, read under
// the array's allocator lock (a thread that changes the array takes it too, so no text is read
// while it is freed). `missing` is the first missing element's row, or the length when none is.
// False only when NumPy fails to read an element.
bool copy_string_dtype_texts(PyArrayObject* array, vorl::Buffer<char>& bytes, std::vector<std::string_view>& views,
                             std::size_t& missing);

}  // namespace pyvorl
