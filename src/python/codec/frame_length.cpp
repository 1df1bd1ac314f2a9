// frame_length: what every Python reader of streams and files asks of a header
// before it reads the rest of a frame, and the header's shape for the one reader
// (the resync scan) that looks for headers among arbitrary bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/byte_order.hpp"
#include "core/frame.hpp"
#include "python/args.hpp"
#include "python/buffer_view.hpp"
#include "python/codec/functions.hpp"
#include "python/handle.hpp"
#include "python/value_error.hpp"

namespace pyvorl::codec {
namespace {

// The reasons a reader's FrameError gives after "frame at offset N: ".
PyObject* raise_header_problem(vorl::FrameHeaderProblem problem) {
    switch (problem) {
        case vorl::FrameHeaderProblem::TooShort: raise_value_error("buffer is too short"); return nullptr;
        case vorl::FrameHeaderProblem::NotAFrame: break;
    }
    raise_value_error("buffer is not a table frame");
    return nullptr;
}

}  // namespace

PyObject* frame_length(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs != 2 || !PyLong_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "frame_length(buffer, max_frame_size: int)");
            return nullptr;
        }
        const unsigned long long max_frame_size = PyLong_AsUnsignedLongLong(args[1]);
        if (max_frame_size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        BufferView view;
        if (!view.acquire(args[0])) return nullptr;
        // Nothing past the header is read, however long the buffer is.
        const auto bytes = view.bytes();
        const auto length =
            vorl::table_frame_length(bytes.first(std::min(bytes.size(), vorl::TABLE_FRAME_HEADER_SIZE)));
        if (!length) return raise_header_problem(length.error());
        // The limit is on the body, as it was announced; the header is always there.
        const std::uint64_t body = length.value() - vorl::TABLE_FRAME_HEADER_SIZE;
        if (body > max_frame_size) {
            raise_value_error("announced body of " + std::to_string(body) + " bytes exceeds max_frame_size " +
                              std::to_string(max_frame_size));
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(length.value());
    });
}

int add_frame_header_constants(PyObject* module) noexcept {
    return run_guarded([&]() -> int {
        std::array<std::uint8_t, sizeof vorl::TABLE_FRAME_HEADER_WORD> prefix{};
        vorl::store_le(prefix.data(), vorl::TABLE_FRAME_HEADER_WORD);
        PyRef prefix_bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(prefix.data()),
                                                     static_cast<Py_ssize_t>(prefix.size())));
        if (!prefix_bytes || PyModule_AddObjectRef(module, "FRAME_HEADER_PREFIX", prefix_bytes.get()) < 0) return -1;
        return PyModule_AddIntConstant(module, "FRAME_HEADER_SIZE", static_cast<long>(vorl::TABLE_FRAME_HEADER_SIZE));
    });
}

}  // namespace pyvorl::codec
