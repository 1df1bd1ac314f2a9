// Replays every input kept in fuzz/regressions through the checks of the
// frame reader fuzzer, without libFuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../../fuzz/frame_checks.hpp"

namespace vorl {
namespace {

// Found from this file's own path, so the test needs no setting.
const std::filesystem::path REGRESSIONS =
    std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "regressions";

std::vector<std::filesystem::path> kept_inputs() {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(REGRESSIONS)) {
        if (entry.is_regular_file() && entry.path().filename() != "README.md") inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FuzzRegressions, EveryKeptInputPassesTheFuzzChecks) {
    ASSERT_TRUE(std::filesystem::is_directory(REGRESSIONS)) << REGRESSIONS;
    for (const auto& path : kept_inputs()) {
        const auto problem = fuzz::check_frame_input(read_bytes(path));
        EXPECT_FALSE(problem.has_value()) << path.filename() << ": " << problem.value_or("");
    }
}

}  // namespace
}  // namespace vorl
