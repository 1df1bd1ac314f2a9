#include <array>

#include "core/local_offset.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"

namespace pyvorl {
namespace {

constexpr const char* parameter_names[] = {"tz"};
constexpr Signature signature{"set_local_zone", parameter_names, 0, 1};

constexpr long MAX_ZONE_HOURS = 25;

// The conversion to a signed 8-bit integer: CPython's own to a C long, then
// the narrowing check with the message CPython gives narrowing conversions.
bool to_int8(PyObject* object, signed char& out) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        prefix_argument_error("tz");
        return false;
    }
    if (value < -128 || value > 127) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<signed char>(value);
    return true;
}

}  // namespace

PyObject* set_local_zone(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> values{};
        if (!parse_arguments(signature, args, nargs, kwnames, values)) return nullptr;
        signed char hours = 0;
        if (!to_int8(values[0], hours)) return nullptr;
        if (hours < -MAX_ZONE_HOURS || hours > MAX_ZONE_HOURS) {
            PyErr_SetString(PyExc_ValueError, "invalid timezone");
            return nullptr;
        }
        vorl::set_default_timezone(vorl::UtcOffset{static_cast<std::int8_t>(hours), 0, 0});
        Py_RETURN_NONE;
    });
}

PyObject* get_local_offset(PyObject*, PyObject*) noexcept {
    return run_guarded([]() -> PyObject* { return PyLong_FromLongLong(vorl::local_offset_micros()); });
}

}  // namespace pyvorl
