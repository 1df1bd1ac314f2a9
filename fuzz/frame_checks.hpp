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
#include "table_equality.hpp"
#include "table_view.hpp"

namespace vorl::fuzz {

// Empty when the input passed; otherwise what went wrong.
using Problem = std::optional<std::string>;

using Outcome = Result<Table, TableFrameError>;

// Texts are built only to report a problem: string comparisons would hand
// the harness's own words to libFuzzer as mutation material.
inline std::string outcome_text(const Outcome& outcome) {
    return outcome ? testing::table_text(outcome.value()) : outcome.error().to_string();
}

inline bool same_outcome(const Outcome& a, const Outcome& b) {
    if (a.ok() != b.ok()) return false;
    if (!a) return a.error().kind == b.error().kind && a.error().to_string() == b.error().to_string();
    return same_table(TableView(a.value()).ref(), TableView(b.value()).ref());
}

inline Problem check_crc32_kernels(std::span<const std::uint8_t> input) {
    const auto reference = static_cast<std::uint32_t>(::crc32_z(0, input.data(), input.size()));
    if (vorl::crc32(input) != reference) return "crc32 differs from zlib";
    // A continued checksum, seeded from the input itself, reaches the paths
    // that fold a non-zero starting register.
    const std::uint32_t seed = input.size() >= 4 ? load_le<std::uint32_t>(input.data()) : 0x12345678u;
    // zlib answers a null buffer with its initial value, not with `seed`.
    const auto continued =
        input.empty() ? seed : static_cast<std::uint32_t>(::crc32_z(seed, input.data(), input.size()));
    for (const auto& kernel : detail::usable_crc32_kernels()) {
        if (kernel.run(seed, input) != continued)
            return std::string("crc32 kernel ") + kernel.name + " differs from zlib";
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
    const Outcome again = unpack_table_frame(bytes, false);
    if (!again || !same_table(view.ref(), TableView(again.value()).ref())) {
        return "re-packed table reads back differently\n--- decoded\n" + testing::table_text(view.ref()) +
               "--- after re-pack\n" + outcome_text(again);
    }
    return std::nullopt;
}

// The envelope checks of a whole frame, in their documented order, and the
// same body read on its own.
inline Problem check_envelope(std::span<const std::uint8_t> input, const Outcome& as_frame, const Outcome& as_body) {
    const std::string too_short = "Invalid table frame: Content and footer too short";
    if (input.size() < TABLE_FRAME_FOOTER_SIZE && (as_body || as_body.error().to_string() != too_short)) {
        return "short body gave: " + outcome_text(as_body);
    }

    std::string expected_error;
    auto header = check_table_frame_header(input);
    if (!header && header.error() == FrameHeaderProblem::TooShort) {
        expected_error = "Buffer too small, want 8 got " + std::to_string(input.size());
    } else if (!header) {
        const auto magic = load_le<std::uint16_t>(input.data());
        const auto version = load_le<std::uint16_t>(input.data() + 2);
        expected_error = magic != TABLE_FRAME_MAGIC
                             ? "Invalid table frame: Invalid magic: " + std::to_string(magic)
                             : "Invalid table frame: Invalid version: " + std::to_string(version);
    } else if (const std::uint64_t frame_length = std::uint64_t{header.value()} + TABLE_FRAME_HEADER_SIZE;
               input.size() < frame_length) {
        expected_error =
            "Buffer too small, want " + std::to_string(frame_length) + " got " + std::to_string(input.size());
    } else if (header.value() < TABLE_FRAME_FOOTER_SIZE) {
        expected_error = too_short;
    } else {
        const Outcome body = unpack_table_frame(input.subspan(TABLE_FRAME_HEADER_SIZE, header.value()), true);
        if (same_outcome(as_frame, body)) return std::nullopt;
        return "whole frame gave\n" + outcome_text(as_frame) + "\nits body alone gave\n" + outcome_text(body);
    }
    if (!as_frame && as_frame.error().to_string() == expected_error) return std::nullopt;
    return "whole frame gave\n" + outcome_text(as_frame) + "\nexpected\n" + expected_error;
}

inline Problem check_frame_input(std::span<const std::uint8_t> input) {
    if (auto problem = check_crc32_kernels(input)) return problem;

    // The input taken as content, with a footer that matches it, so that
    // mutations reach the payload decoder instead of stopping at the CRC.
    std::vector<std::uint8_t> body(input.begin(), input.end());
    body.resize(input.size() + TABLE_FRAME_FOOTER_SIZE);
    store_le(body.data() + input.size(), vorl::crc32(input));

    const Outcome as_frame = unpack_table_frame(input, false);
    const Outcome as_body = unpack_table_frame(input, true);
    const Outcome as_content = unpack_table_frame(body, true);
    if (!as_content && as_content.error().kind == TableFrameError::Kind::Crc32CheckFailed) {
        return "a body with a matching footer failed its CRC check";
    }
    const struct {
        const char* mode;
        const Outcome& outcome;
    } modes[] = {{"whole frame", as_frame}, {"frame body", as_body}, {"content", as_content}};
    for (const auto& [mode, outcome] : modes) {
        if (!outcome) continue;
        if (auto problem = check_round_trip(outcome.value())) return std::string(mode) + ": " + *problem;
    }
    return check_envelope(input, as_frame, as_body);
}

}  // namespace vorl::fuzz
