// Ownership of Python references: every owned PyObject* in the binding sits in
// a PyRef, so an early return or a C++ exception can never leak or double-free.
#pragma once

#include <Python.h>

#include <utility>

namespace pyvorl {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new (owned) reference; nullptr is allowed and stays empty.
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    // Adds a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        // The old object is dropped last: its destructor may run Python code
        // that looks at this handle.
        PyRef old(std::exchange(object_, other.release()));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller, typically as a function's return value.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace pyvorl
