#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/checksum.hpp"
#include "core/checksum_kernels.hpp"

namespace vorl {
namespace detail {

void PrintTo(const NamedCrc32Kernel& kernel, std::ostream* out) { *out << kernel.name; }
void PrintTo(const NamedCrc32CopyKernel& kernel, std::ostream* out) { *out << kernel.name; }
void PrintTo(const Crc32BoolKernels* kernels, std::ostream* out) { *out << kernels->name; }

}  // namespace detail
namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::uint32_t zlib_crc32(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint32_t>(::crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(rng());
    return bytes;
}

// A copy of `source` that starts `offset` bytes past a 64-byte boundary and
// ends exactly where its allocation ends, so that any read past the end of the
// run is a read past the end of the allocation.
class PlacedCopy {
public:
    PlacedCopy(std::span<const std::uint8_t> source, std::size_t offset)
        : storage_(static_cast<std::uint8_t*>(::operator new(offset + source.size(), kAlignment))),
          bytes_(storage_.get() + offset, source.size()) {
        if (!source.empty()) std::memcpy(storage_.get() + offset, source.data(), source.size());
    }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
    static constexpr std::align_val_t kAlignment{64};
    struct AlignedDelete {
        void operator()(std::uint8_t* block) const { ::operator delete(block, kAlignment); }
    };
    std::unique_ptr<std::uint8_t, AlignedDelete> storage_;
    std::span<const std::uint8_t> bytes_;
};

struct KnownValue {
    std::string_view text;
    std::uint32_t crc;
};

constexpr KnownValue kKnownValues[] = {
    {"", 0x00000000},
    {"123456789", 0xCBF43926},
    {"a", 0xE8B7BE43},
    {"The quick brown fox jumps over the lazy dog", 0x414FA339},
};

TEST(Crc32, GivesTheCatalogueValues) {
    for (const auto& known : kKnownValues) {
        EXPECT_EQ(crc32(as_bytes(known.text)), known.crc) << '"' << known.text << '"';
    }
}

TEST(Crc32, MatchesZlibOnALongRunAtEveryOffset) {
    const auto data = random_bytes(3 * 1024 * 1024 + 13, 7);
    for (std::size_t offset = 0; offset < 64; offset += 5) {
        const PlacedCopy copy(data, offset);
        EXPECT_EQ(crc32(copy.bytes()), zlib_crc32(data)) << "offset " << offset;
    }
}

class Crc32Kernel : public ::testing::TestWithParam<detail::NamedCrc32Kernel> {
protected:
    std::uint32_t run(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0) const {
        return GetParam().run(crc, bytes);
    }
};

TEST_P(Crc32Kernel, GivesTheCatalogueValues) {
    for (const auto& known : kKnownValues) {
        EXPECT_EQ(run(as_bytes(known.text)), known.crc) << '"' << known.text << '"';
    }
}

TEST_P(Crc32Kernel, MatchesZlibForEveryShortLengthAtEveryOffset) {
    const auto data = random_bytes(1024, 1);
    for (std::size_t size = 0; size <= data.size(); ++size) {
        const auto run_bytes = std::span(data).first(size);
        const std::uint32_t expected = zlib_crc32(run_bytes);
        for (std::size_t offset = 0; offset < 64; ++offset) {
            const PlacedCopy copy(run_bytes, offset);
            ASSERT_EQ(run(copy.bytes()), expected) << "size " << size << ", offset " << offset;
        }
    }
}

TEST_P(Crc32Kernel, MatchesZlibForLongLengthsAtEveryOffset) {
    std::mt19937 rng(2);
    const auto data = random_bytes(4 * 1024 * 1024, 3);
    for (std::size_t longest : {std::size_t{64 * 1024}, data.size()}) {
        for (int round = 0; round < 4; ++round) {
            const std::size_t size = std::uniform_int_distribution<std::size_t>(1025, longest)(rng);
            const auto run_bytes = std::span(data).first(size);
            const std::uint32_t expected = zlib_crc32(run_bytes);
            for (std::size_t offset = 0; offset < 64; ++offset) {
                const PlacedCopy copy(run_bytes, offset);
                ASSERT_EQ(run(copy.bytes()), expected) << "size " << size << ", offset " << offset;
            }
        }
    }
}

TEST_P(Crc32Kernel, ContinuesAChecksumLikeZlib) {
    const auto data = random_bytes(5000, 4);
    const std::uint32_t whole = zlib_crc32(data);
    for (std::size_t split : {0, 1, 15, 63, 64, 255, 256, 1000, 4999, 5000}) {
        const std::uint32_t head = run(std::span(data).first(split));
        EXPECT_EQ(run(std::span(data).subspan(split), head), whole) << "split at " << split;
    }
}

TEST_P(Crc32Kernel, EverySingleBitFlipChangesTheChecksum) {
    for (std::size_t size : {1, 17, 300, 1500}) {
        auto data = random_bytes(size, 5);
        const std::uint32_t original = run(data);
        for (std::size_t bit = 0; bit < 8 * size; ++bit) {
            data[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            ASSERT_NE(run(data), original) << "size " << size << ", bit " << bit;
            data[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Usable, Crc32Kernel, ::testing::ValuesIn(detail::usable_crc32_kernels()),
                         [](const auto& info) { return std::string(info.param.name); });

class Crc32CopyKernel : public ::testing::TestWithParam<detail::NamedCrc32CopyKernel> {};

// Continues zlib's checksum of a head over the run and copies the run exactly,
// without touching a byte on either side of the target, at every alignment.
TEST_P(Crc32CopyKernel, CopiesExactlyAndContinuesZlib) {
    constexpr std::uint8_t kGuard = 0xA5;
    const auto data = random_bytes(3 * 1024 * 1024 + 77, 6);
    const std::uint32_t head = zlib_crc32(std::span(data).first(11));
    std::vector<std::size_t> sizes;
    for (std::size_t size = 0; size <= 700; ++size) sizes.push_back(size);
    sizes.insert(sizes.end(), {4095, 16 * 1024 + 1, 100'003, data.size() - 11});
    for (const std::size_t size : sizes) {
        const auto run_bytes = std::span(data).subspan(11, size);
        const auto expected = static_cast<std::uint32_t>(::crc32(head, run_bytes.data(), static_cast<uInt>(size)));
        for (std::size_t offset : {0, 1, 7, 33}) {
            if (size > 4096 && offset != 0 && offset != 7) continue;
            const PlacedCopy source(run_bytes, offset);
            std::vector<std::uint8_t> target(size + 2 * 64, kGuard);
            const std::size_t to = 64 - offset / 2;
            ASSERT_EQ(GetParam().run(head, target.data() + to, source.bytes()), expected) << "size " << size;
            ASSERT_EQ(std::memcmp(target.data() + to, run_bytes.data(), size), 0) << "size " << size;
            for (std::size_t i = 0; i < target.size(); ++i) {
                if (i < to || i >= to + size) {
                    ASSERT_EQ(target[i], kGuard) << "size " << size << ", byte " << i;
                }
            }
        }
    }
}

// Another thread may write the source while it is copied (an array that a
// thread changes during packing): the checksum must cover the bytes as they
// were stored, whatever the source held before or after.
TEST_P(Crc32CopyKernel, ChecksumsTheBytesAsStoredWhileTheSourceChanges) {
    std::vector<std::uint8_t> source = random_bytes(4096, 8);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (std::uint8_t turn = 0; !stop.load(std::memory_order_relaxed); ++turn) {
            for (std::uint8_t& byte : source)
                std::atomic_ref<std::uint8_t>(byte).store(turn, std::memory_order_relaxed);
        }
    });
    std::vector<std::uint8_t> target(source.size());
    std::size_t mismatches = 0;
    for (int round = 0; round < 20000 && mismatches == 0; ++round) {
        for (const std::size_t size : {std::size_t{9}, std::size_t{63}, std::size_t{64 + 15}, std::size_t{600 + 9}}) {
            const std::uint32_t crc = GetParam().run(0, target.data(), std::span(source).first(size));
            if (crc != zlib_crc32(std::span(target).first(size))) ++mismatches;
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Usable, Crc32CopyKernel, ::testing::ValuesIn(detail::usable_crc32_copy_kernels()),
                         [](const auto& info) { return std::string(info.param.name); });

class Crc32BoolKernel : public ::testing::TestWithParam<const detail::Crc32BoolKernels*> {};

// Bytes of 0 and 1 with one other byte or none, in the body and the tail, to
// and from every alignment: both directions write exactly the column (nothing
// on either side) and continue zlib over it.
TEST_P(Crc32BoolKernel, WritesTheColumnAndContinuesZlib) {
    const detail::Crc32BoolKernels& kernels = *GetParam();
    constexpr std::uint8_t kGuard = 0xA5;
    std::mt19937 rng(8);
    const std::uint32_t head = zlib_crc32(as_bytes("head"));
    for (const std::size_t size : {0, 1, 63, 511, 512, 513, 1000, 4096 + 77, 100'003}) {
        for (const int other : {0, 2, 0x80, 0xFF}) {
            const std::size_t start = rng() % 64, at = rng() % 64;
            std::vector<std::uint8_t> bytes(size + 64), target(size + 65, kGuard), want(size);
            for (auto& byte : bytes) byte = rng() % 2;
            if (size != 0 && other != 0) bytes[start + rng() % size] = static_cast<std::uint8_t>(other);
            const auto from = std::span<const std::uint8_t>(bytes).subspan(start, size);
            for (std::size_t i = 0; i < size; ++i) want[i] = from[i] != 0 ? 1 : 0;
            // (zlib answers 0 for no buffer at all.)
            const std::uint32_t expected =
                size == 0 ? head : static_cast<std::uint32_t>(::crc32(head, want.data(), static_cast<uInt>(size)));
            SCOPED_TRACE(testing::Message() << "size " << size << ", other " << other << ", at " << at);
            ASSERT_EQ(kernels.normalise(head, target.data() + at, from), expected);
            ASSERT_TRUE(std::equal(want.begin(), want.end(), target.begin() + at));
            bool all_bools = other != 0;
            const std::uint32_t crc = kernels.copy_checked(head, target.data() + at, from, all_bools);
            ASSERT_EQ(all_bools, other == 0 || size == 0);
            if (all_bools) {
                ASSERT_EQ(crc, expected);
                ASSERT_TRUE(std::equal(from.begin(), from.end(), target.begin() + at));
            }
            for (std::size_t i = 0; i < target.size(); ++i) {
                if (i < at || i >= at + size) {
                    ASSERT_EQ(target[i], kGuard) << "byte " << i;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Usable, Crc32BoolKernel, ::testing::ValuesIn(detail::usable_crc32_bool_kernels()),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
}  // namespace vorl
