#include <array>
#include <cstdint>
#include <span>

#include "core/frame.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/functions.hpp"

namespace pyvorl {
namespace {

constexpr const char* parameter_names[] = {"buffer"};
constexpr Signature signature{"check_table_frame", parameter_names, 1, 1};

PyObject* header_problem(vorl::FrameHeaderProblem problem) {
    switch (problem) {
        case vorl::FrameHeaderProblem::TooShort:
            PyErr_SetString(PyExc_ValueError, "buffer is too short");
            return nullptr;
        case vorl::FrameHeaderProblem::NotAFrame: break;
    }
    PyErr_SetString(PyExc_ValueError, "buffer is not a table frame");
    return nullptr;
}

}  // namespace

PyObject* check_table_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> values{};
        if (!parse_arguments(signature, args, nargs, kwnames, values)) return nullptr;
        const auto buffer = bytes_view(values[0]);
        if (!buffer) {
            prefix_argument_error("buffer");
            return nullptr;
        }
        const auto body_length = vorl::check_table_frame_header(*buffer);
        if (!body_length) return header_problem(body_length.error());
        return PyLong_FromSize_t(body_length.value());
    });
}

}  // namespace pyvorl
