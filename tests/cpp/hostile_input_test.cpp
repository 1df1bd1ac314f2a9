// Bodies with valid checksums whose counts and lengths announce far more than
// they carry. Each must fail at once with the exact end-of-input error, using
// memory in proportion to its bytes, not to what it announces. The decode runs
// in a forked child, so that its peak memory can be measured on its own and a
// decoder that trusts a count cannot take the test run down with it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "core/byte_order.hpp"
#include "core/frame.hpp"
#include "test_support.hpp"

#ifndef __has_feature
#define __has_feature(x) 0  // GCC spells it __SANITIZE_ADDRESS__
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
#define VORL_TEST_UNDER_ASAN 1
#endif

namespace vorl {
namespace {

using testing::hex;

constexpr std::uint64_t ANNOUNCED = std::uint64_t{1} << 60;
const std::string ANNOUNCED_HEX = " FD 00 00 00 00 00 00 00 10 ";  // 2^60 in the 64-bit varint form
const std::string MAGIC = "FC 01 00 7C 4D ";
constexpr long GROWTH_LIMIT_KIB = 64 * 1024;

std::vector<std::uint8_t> body_with_valid_footer(const std::string& content_hex) {
    std::vector<std::uint8_t> body = hex(content_hex);
    const std::uint32_t footer = crc32(body);
    body.resize(body.size() + TABLE_FRAME_FOOTER_SIZE);
    store_le(body.data() + body.size() - TABLE_FRAME_FOOTER_SIZE, footer);
    return body;
}

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Without AddressSanitizer (whose shadow memory needs a vast address space)
// the child also gets a hard cap: a reservation beyond the budget fails even
// if it is never touched, which resident memory alone would not show.
void cap_address_space_growth() {
#if !defined(VORL_TEST_UNDER_ASAN)
    std::ifstream statm("/proc/self/statm");
    unsigned long pages = 0;
    if (!(statm >> pages)) return;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + rlim_t{GROWTH_LIMIT_KIB} * 1024;
    const rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
#endif
}

// The decode's result text and peak memory growth, measured in a child process.
std::pair<std::string, long> unpack_in_child(const std::vector<std::uint8_t>& body) {
    int channel[2];
    if (pipe(channel) != 0) return {"no pipe", 0};
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        cap_address_space_growth();
        const long before = peak_rss_kib();
        auto table = unpack_table_frame(body, true);
        const std::string report =
            std::to_string(peak_rss_kib() - before) + "\n" + (table ? "decoded a table" : table.error().to_string());
        _exit(write(channel[1], report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0 : 3);
    }
    close(channel[1]);
    std::string received;
    char chunk[256];
    for (ssize_t n; (n = read(channel[0], chunk, sizeof chunk)) > 0;)
        received.append(chunk, static_cast<std::size_t>(n));
    close(channel[0]);
    int status = 0;
    const auto newline = received.find('\n');
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        newline == std::string::npos) {
        return {"the decoding child did not exit normally", 0};
    }
    return {received.substr(newline + 1), std::stol(received.substr(0, newline))};
}

struct HostileCase {
    std::string name;
    std::string content;
    std::uint64_t missing;  // the `additional` of the expected UnexpectedEnd
};

// One field "a" whose data type and column tag are `tag`, announcing 2^60
// elements, followed by a few whole elements and a cut one (`tail`).
HostileCase column(std::string name, const std::string& tag, const std::string& tail, std::uint64_t missing) {
    return {std::move(name), MAGIC + "01 01 61 " + tag + " 00 " + tag + ANNOUNCED_HEX + tail, missing};
}

TEST(HostileCounts, FailAtTheEndOfTheInputWithinBoundedMemory) {
    const HostileCase cases[] = {
        {"Fields", MAGIC + ANNOUNCED_HEX, 1},
        // Compact forms: N, the step or scale, then differences until one is cut.
        column("DateTime", "01", "02 04 FC 01 02", 2),
        column("Int64", "02", "02 04 FC 01", 3),
        column("Float64", "03", "00 00 00 00 00 00 F8 3F 00 00 00", 5),
        column("Decimal", "04", "04 02 FD 01 02 03", 5),
        column("String", "05", "01 78 03 79", 2),
        column("Bool", "06", "01 00 01", 1),
        {"FieldMetadataEntries", MAGIC + "01 01 61 02 01" + ANNOUNCED_HEX + "01 6B 00", 1},
        {"FieldNameBytes", MAGIC + "01" + ANNOUNCED_HEX + "61 62 63", ANNOUNCED - 3},
        {"StringElementBytes", MAGIC + "01 01 61 05 00 05 01" + ANNOUNCED_HEX + "78", ANNOUNCED - 1},
        {"MetadataKeyBytes", MAGIC + "00 01 01" + ANNOUNCED_HEX, ANNOUNCED},
        {"StringVariantBytes", MAGIC + "00 01 01 01 6B 05" + ANNOUNCED_HEX + "78 79", ANNOUNCED - 2},
    };
    for (const auto& [name, content, missing] : cases) {
        const auto [text, growth_kib] = unpack_in_child(body_with_valid_footer(content));
        EXPECT_EQ(text, "Invalid table frame: Failed to decode table: UnexpectedEnd { additional: " +
                            std::to_string(missing) + " }")
            << name;
        EXPECT_LT(growth_kib, GROWTH_LIMIT_KIB) << name;
    }
}

}  // namespace
}  // namespace vorl
