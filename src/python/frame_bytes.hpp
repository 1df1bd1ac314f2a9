// A table written as one frame into the bytes object that is returned: the
// counting pass gives the exact size, so the frame is written straight into
// it. The frame writer of both modules.
#pragma once

#include <Python.h>

#include "core/table.hpp"
#include "python/handle.hpp"

namespace pyvorl {

// The frame of `table`, counted and written without the interpreter lock when
// `release_lock` is set. nullptr with an error set: ValueError for a table too
// large for one frame; SystemError when the writing pass disagrees with the
// count, unless `changed` is given: it is then set instead, with no error, for
// a caller whose columns another thread may be changing to start over.
PyRef frame_bytes(const vorl::TableRef& table, bool release_lock, bool* changed = nullptr);

}  // namespace pyvorl
