// A read-only view of any C-contiguous buffer (bytes, bytearray, memoryview,
// NumPy array, mmap), released on every path. While it is held, the exporter
// cannot be resized or closed.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace pyvorl {

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False with the Python error set when `object` exports no such buffer.
    bool acquire(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) == 0;
        return held_;
    }
    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace pyvorl
