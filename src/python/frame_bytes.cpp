#include "python/frame_bytes.hpp"

#include <optional>

#include "core/frame.hpp"
#include "core/huge_pages.hpp"
#include "python/value_error.hpp"
#include "python/without_lock.hpp"

namespace pyvorl {

PyRef frame_bytes(const vorl::TableRef& table, bool release_lock, bool* changed) {
    std::optional<vorl::Result<std::size_t, vorl::TableFramePackError>> size;
    maybe_without_lock(release_lock, [&] { size.emplace(vorl::table_frame_size(table)); });
    if (!*size) {
        raise_value_error(size->error().message());
        return {};
    }
    const std::size_t frame_size = size->value();
    PyRef frame(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(frame_size)));
    if (!frame) return {};
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(frame.get()));
    std::optional<vorl::Result<void, vorl::TableFramePackError>> written;
    maybe_without_lock(release_lock, [&] {
        vorl::advise_huge_pages(out, frame_size);
        written.emplace(vorl::write_table_frame(table, {out, frame_size}));
    });
    if (!*written) {
        if (changed != nullptr) {
            *changed = true;
        } else {
            PyErr_SetString(PyExc_SystemError, written->error().message().c_str());
        }
        return {};
    }
    return frame;
}

}  // namespace pyvorl
