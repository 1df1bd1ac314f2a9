// The argument conventions shared by every function of the module: one parser
// with the texts of Python's own functions, the "argument '{name}': " rule, the
// type-mismatch message, and the guard that keeps C++ exceptions inside.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <type_traits>

namespace pyvorl {

// Positional parameters only: no keyword-only parameters, *args or **kwargs.
struct Signature {
    const char* function;                // without "()"
    std::span<const char* const> names;  // positional parameters in order
    std::size_t positional_only;         // the first this many
    std::size_t required;                // the first this many have no default
};

// Parses a METH_FASTCALL | METH_KEYWORDS call. On success `out` (one slot per
// parameter) holds borrowed references, nullptr for an omitted optional
// parameter. On failure a TypeError is set and false is returned.
bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out);

// Call with an exception set, after converting argument `name` failed. A plain
// TypeError becomes "argument '{name}': " + its message, keeping its cause;
// any other exception is left as it is.
void prefix_argument_error(const char* name);

// Sets TypeError "'{T}' object is not an instance of '{required}'" (or the
// None form) for `object`.
void raise_type_mismatch(PyObject* object, const char* required);

// The type mismatch of a named argument, with its prefix.
void raise_argument_type_mismatch(const char* name, PyObject* object, const char* required);

// Runs a function body that returns a PyObject* or an int status and turns any
// C++ exception into a Python one (std::bad_alloc into MemoryError), returning
// nullptr or -1 for it.
template <class Body>
auto run_guarded(Body&& body) noexcept -> std::invoke_result_t<Body&> {
    using Return = std::invoke_result_t<Body&>;
    static_assert(std::is_same_v<Return, PyObject*> || std::is_same_v<Return, int>);
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    if constexpr (std::is_same_v<Return, PyObject*>) {
        return nullptr;
    } else {
        return -1;
    }
}

}  // namespace pyvorl
