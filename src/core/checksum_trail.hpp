// The frame checksum computed alongside writing or reading the content, not in
// a pass of its own. A frame writer or reader opens a trail over the content and
// hands it to the payload codec, which passes it to the codecs of fixed-width
// columns, whose bytes are the bulk of most frames: they fold those bytes into
// it while they copy them (the copy and the checksum share one read).
// Varint bodies are folded every few thousand values as they are written.
// Everything else is folded in when the trail catches up to the next column or
// is finished.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vorl {

class ChecksumTrail {
public:
    explicit ChecksumTrail(std::span<const std::uint8_t> content) noexcept
        : done_(content.data()), end_(content.data() + content.size()) {}

    // Copies `count` bytes from `from` to `to`, where `at` (== to when writing,
    // == from when reading) is where they lie in the content, folding them in.
    // The content before `at` must be final. Bytes outside the trail's reach are
    // copied without folding and picked up by finish().
    void copy(std::uint8_t* to, const std::uint8_t* from, std::size_t count, const std::uint8_t* at) noexcept;

    // copy() for the body of a bool column being written (`to` lies in the
    // content): writes from[i] != 0 ? 1 : 0.
    void copy_normalised_bools(std::uint8_t* to, const std::uint8_t* from, std::size_t count) noexcept;

    // copy() for the body of a bool column being read (`from` lies in the
    // content). False when a byte is neither 0 nor 1; the bytes in `to` are
    // then unspecified, and nothing of them is folded in.
    bool copy_bools(std::uint8_t* to, const std::uint8_t* from, std::size_t count) noexcept;

    // Folds in the content up to `at`, which is final, while a writer that
    // makes its bytes (rather than copying them) still has them in cache.
    void fold_up_to(const std::uint8_t* at) noexcept {
        if (at <= end_) catch_up(at);
    }

    // The checksum of the whole content; the content must be final.
    std::uint32_t finish() noexcept;

private:
    bool reaches(const std::uint8_t* at, std::size_t count) const noexcept {
        return at >= done_ && count <= static_cast<std::size_t>(end_ - at);
    }
    void catch_up(const std::uint8_t* at) noexcept;

    const std::uint8_t* done_;  // the content before this is folded into crc_
    const std::uint8_t* end_;
    std::uint32_t crc_ = 0;
};

}  // namespace vorl
