// What every input to the frame reader must satisfy, shared by the libFuzzer
// target and the replay of kept regressions: the reader decides every input
// without crashing, a whole frame and its body agree, the CRC kernels agree
// with zlib, and whatever decodes survives packing and unpacking again.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../tests/cpp/table_text.hpp"
#include "core/byte_order.hpp"
#include "core/checksum_kernels.hpp"
#include "core/frame.hpp"
#include "table_view.hpp"

namespace vorl::fuzz {

// Empty when the input passed; otherwise what went wrong.
using Problem = std::optional<std::string>;

inline std::string outcome_text(const Result<Table, TableFrameError>& outcome) {
    return outcome ? testing::table_text(outcome.value()) : outcome.error().to_string();
}

inline Problem check_crc32_kernels(std::span<const std::uint8_t> input) {
    const auto reference = static_cast<std::uint32_t>(::crc32_z(0, input.data(), input.size()));
    if (vorl::crc32(input) != reference) return "crc32 differs from zlib";
    // A continued checksum, seeded from the input itself, reaches the paths
    // that fold a non-zero starting register.
    const std::uint32_t seed = input.size() >= 4 ? load_le<std::uint32_t>(input.data()) : 0x12345678u;
    const auto continued = static_cast<std::uint32_t>(::crc32_z(seed, input.data(), input.size()));
    for (const auto& kernel : detail::usable_crc32_kernels()) {
        if (kernel.run(seed, input) != continued) return std::string("crc32 kernel ") + kernel.name + " differs from zlib";
    }
    return std::nullopt;
}

// Packing a decoded table and reading it back must give the same table.
inline Problem check_round_trip(const Table& table) {
    const TableView view(table);
    auto size = table_frame_size(view.ref());
    if (!size) {
        // Only content beyond the 32-bit length field is refused, and no
        // input of a sane size decodes to that much.
        if (size.error().kind == TableFramePackError::Kind::TooLarge) return std::nullopt;
        return "counting a decoded table failed: " + size.error().message();
    }
    auto frame = pack_table_ref_frame(view.ref());
    if (!frame) return "packing a decoded table failed: " + frame.error().message();
    const std::vector<std::uint8_t>& bytes = frame.value();
    if (bytes.size() != size.value()) return "packed frame size differs from table_frame_size";
    auto header = check_table_frame_header(bytes);
    if (!header || header.value() != bytes.size() - TABLE_FRAME_HEADER_SIZE) {
        return "packed frame header does not announce its own body";
    }
    const std::string decoded = testing::table_text(view.ref());
    const std::string again = outcome_text(unpack_table_frame(bytes, false));
    if (again != decoded) {
        return "re-packed table reads back differently\n--- decoded\n" + decoded + "--- after re-pack\n" + again;
    }
    return std::nullopt;
}

// The envelope checks of a whole frame, in their documented order, and the
// same body read on its own.
inline Problem check_envelope(std::span<const std::uint8_t> input, const std::string& as_frame,
                              const std::string& as_body) {
    const std::string too_short = "Invalid table frame: Content and footer too short";
    if (input.size() < TABLE_FRAME_FOOTER_SIZE && as_body != too_short) return "short body gave: " + as_body;

    std::string expected;
    auto header = check_table_frame_header(input);
    if (!header && header.error() == FrameHeaderProblem::TooShort) {
        expected = "Buffer too small, want 8 got " + std::to_string(input.size());
    } else if (!header) {
        const auto magic = load_le<std::uint16_t>(input.data());
        expected = magic != TABLE_FRAME_MAGIC
                       ? "Invalid table frame: Invalid magic: " + std::to_string(magic)
                       : "Invalid table frame: Invalid version: " + std::to_string(load_le<std::uint16_t>(input.data() + 2));
    } else if (const std::uint64_t frame_length = std::uint64_t{header.value()} + TABLE_FRAME_HEADER_SIZE;
               input.size() < frame_length) {
        expected = "Buffer too small, want " + std::to_string(frame_length) + " got " + std::to_string(input.size());
    } else if (header.value() < TABLE_FRAME_FOOTER_SIZE) {
        expected = too_short;
    } else {
        expected = outcome_text(unpack_table_frame(input.subspan(TABLE_FRAME_HEADER_SIZE, header.value()), true));
    }
    if (as_frame != expected) return "whole frame gave\n" + as_frame + "\nexpected\n" + expected;
    return std::nullopt;
}

inline Problem check_frame_input(std::span<const std::uint8_t> input) {
    if (auto problem = check_crc32_kernels(input)) return problem;

    // The input taken as content, with a footer that matches it, so that
    // mutations reach the payload decoder instead of stopping at the CRC.
    std::vector<std::uint8_t> body(input.begin(), input.end());
    body.resize(input.size() + TABLE_FRAME_FOOTER_SIZE);
    store_le(body.data() + input.size(), vorl::crc32(input));

    const auto as_frame = unpack_table_frame(input, false);
    const auto as_body = unpack_table_frame(input, true);
    const auto as_content = unpack_table_frame(body, true);
    if (!as_content && as_content.error().kind == TableFrameError::Kind::Crc32CheckFailed) {
        return "a body with a matching footer failed its CRC check";
    }
    const struct {
        const char* mode;
        const Result<Table, TableFrameError>& outcome;
    } modes[] = {{"whole frame", as_frame}, {"frame body", as_body}, {"content", as_content}};
    for (const auto& [mode, outcome] : modes) {
        if (!outcome) continue;
        if (auto problem = check_round_trip(outcome.value())) return std::string(mode) + ": " + *problem;
    }
    return check_envelope(input, outcome_text(as_frame), outcome_text(as_body));
}

}  // namespace vorl::fuzz
