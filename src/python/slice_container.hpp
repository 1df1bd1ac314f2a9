// PySliceContainer: the base object of arrays built over decoded column
// buffers. It owns one released buffer and frees it when the last array (or
// view) using it goes away.
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/handle.hpp"

namespace pyvorl {

// Frees a released buffer; buffers of object references drop one reference
// per element first.
using ReleaseBuffer = void (*)(void* data, std::size_t count, std::size_t capacity) noexcept;

// A new container that owns `data` from now on, also on failure (the buffer is
// released before nullptr is returned).
PyRef make_slice_container(ReleaseBuffer release, void* data, std::size_t count, std::size_t capacity);

}  // namespace pyvorl
