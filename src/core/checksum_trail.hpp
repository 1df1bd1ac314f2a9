// The frame checksum computed alongside writing or reading the content, not in
// a pass of its own. A frame writer or reader opens a trail over the content on
// its thread; the codecs of fixed-width columns, whose bytes are the bulk of
// most frames, then fold those bytes into it while they copy them (the copy
// and the checksum share one read). Everything else is folded in when the
// trail catches up to the next column or is finished.
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

    // Folds in the content before `at` (final by then), then `count` bytes at `at`
    // a block at a time, calling visit(offset, size) on each block just before it
    // is folded in, while it is in cache: for codecs that transform as they copy.
    template <class Visit>
    void visit_blocks(const std::uint8_t* at, std::size_t count, Visit&& visit) noexcept;

    // The checksum of the whole content; the content must be final.
    std::uint32_t finish() noexcept;

private:
    static constexpr std::size_t BLOCK = 16 * 1024;

    bool reaches(const std::uint8_t* at, std::size_t count) const noexcept {
        return at >= done_ && count <= static_cast<std::size_t>(end_ - at);
    }
    void catch_up(const std::uint8_t* at) noexcept;

    const std::uint8_t* done_;  // the content before this is folded into crc_
    const std::uint8_t* end_;
    std::uint32_t crc_ = 0;
};

// The trail of the frame being written or read on this thread, or nullptr.
ChecksumTrail* active_checksum_trail() noexcept;

// Makes `trail` the active one for its lifetime (frames do not nest).
class ActiveChecksumTrail {
public:
    explicit ActiveChecksumTrail(ChecksumTrail& trail) noexcept;
    ~ActiveChecksumTrail();
    ActiveChecksumTrail(const ActiveChecksumTrail&) = delete;
    ActiveChecksumTrail& operator=(const ActiveChecksumTrail&) = delete;

private:
    ChecksumTrail* previous_;
};

template <class Visit>
void ChecksumTrail::visit_blocks(const std::uint8_t* at, std::size_t count, Visit&& visit) noexcept {
    if (!reaches(at, count)) {
        if (count != 0) visit(std::size_t{0}, count);
        return;
    }
    catch_up(at);
    for (std::size_t offset = 0; offset < count; offset += BLOCK) {
        const std::size_t size = count - offset < BLOCK ? count - offset : BLOCK;
        if (!visit(offset, size)) return;  // the caller stops on bad input; finish() folds the rest
        catch_up(at + offset + size);
    }
}

}  // namespace vorl
