// libFuzzer entry for the frame reader: each input is read as a whole frame,
// as a frame body and as content behind a matching footer (see
// frame_checks.hpp); a broken expectation aborts, so libFuzzer keeps the input.
#include <cstdio>
#include <cstdlib>

#include "frame_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const auto problem = vorl::fuzz::check_frame_input({data, size})) {
        std::fprintf(stderr, "frame reader check failed: %s\n", problem->c_str());
        std::abort();
    }
    return 0;
}
