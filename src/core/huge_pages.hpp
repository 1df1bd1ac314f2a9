// Large column buffers are backed by huge pages where the system grants them
// on request, as NumPy does for its own arrays: a fresh buffer's first-touch
// page faults are then hundreds of times fewer. Only advice: nothing changes
// where it is not available.
#pragma once

#include <cstddef>

namespace vorl {

void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace vorl
