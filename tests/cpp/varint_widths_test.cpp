// The varint run kernels on long runs whose widths change at random (the case
// their window readers and branch-free writers exist for): sizes and bytes
// against the plain loops, reads against the reference reader, over every
// width and its edges, payload bytes that look like markers, cuts at every
// point of a stretch and refused markers at value starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core/kernels/varint_runs.hpp"
#include "varint_reference.hpp"

namespace vorl {
namespace {

// Varint bits of width 1, 3, 5 or 9 bytes, at the edges of the width or anywhere in it.
std::uint64_t bits_of_width(std::mt19937_64& rng, unsigned width) {
    const std::uint64_t low[] = {0, 251, 0x1'0000, 0x1'0000'0000};
    const std::uint64_t high[] = {250, 0xFFFF, 0xFFFF'FFFF, ~std::uint64_t{0}};
    const unsigned k = width == 1 ? 0 : width == 3 ? 1 : width == 5 ? 2 : 3;
    switch (rng() % 4) {
        case 0: return low[k];
        case 1: return high[k];
        default: return low[k] + rng() % (high[k] - low[k] + 1 == 0 ? ~std::uint64_t{0} : high[k] - low[k] + 1);
    }
}

template <class T>
void check_mixed_widths(const VarintRunKernels& kernels) {
    const VarintRunOps<T>& fast = kernels.of<T>();
    const VarintRunOps<T>& plain = VARINT_RUNS_PLAIN.of<T>();
    std::mt19937_64 rng(sizeof(T) * 31 + std::is_signed_v<T>);
    const std::vector<std::vector<unsigned>> mixes = {{1, 3}, {1, 3, 5}, {1, 1, 1, 1, 3}, {3, 5}, {1, 3, 5, 9}, {9, 1}};
    for (const auto& mix : mixes) {
        if (sizeof(T) == 4 && std::find(mix.begin(), mix.end(), 9u) != mix.end()) continue;
        SCOPED_TRACE(::testing::Message() << "mix of " << mix.size() << " widths ending in " << mix.back());
        std::vector<T> values(3000);
        for (T& value : values) value = from_varint_bits<T>(bits_of_width(rng, mix[rng() % mix.size()]));
        const std::size_t n = values.size();
        ASSERT_EQ(fast.size(values.data(), n), plain.size(values.data(), n));
        std::vector<std::uint8_t> expected(9 * n), written(9 * n);
        expected.resize(plain.write(expected.data(), values.data(), n));
        written.resize(fast.write(written.data(), values.data(), n));
        ASSERT_EQ(written, expected);

        // Value starts, for planting refused markers where a reader must stop.
        std::vector<std::size_t> starts;
        for (std::size_t at = 0, i = 0; i < n; ++i) {
            starts.push_back(at);
            at += varint_size(varint_bits(values[i]));
        }
        std::vector<std::vector<std::uint8_t>> inputs = {expected};
        for (std::size_t cut = expected.size() - 150; cut < expected.size(); cut += 7) {
            inputs.emplace_back(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(cut));
        }
        for (const std::uint8_t refused : {std::uint8_t{0xFE}, std::uint8_t{0xFF}, std::uint8_t{0xFD}}) {
            for (int k = 0; k < 4; ++k) {
                inputs.push_back(expected);
                inputs.back()[starts[rng() % n]] = refused;
            }
        }
        for (const auto& bytes : inputs) {
            std::vector<T> got(n), want(n);
            SliceReader a(bytes), b(bytes);
            const auto fast_result = fast.read(a, n, got.data());
            const auto reference_result = testing::reference_read_varint_run<T>(b, n, want.data());
            ASSERT_EQ(fast_result.ok(), reference_result.ok()) << bytes.size() << " bytes";
            if (!fast_result.ok()) {
                ASSERT_EQ(fast_result.error().to_string(), reference_result.error().to_string());
                continue;
            }
            ASSERT_EQ(a.remaining(), b.remaining());
            ASSERT_EQ(got, want);
        }
    }
}

TEST(Kernels, VarintRunsOfMixedWidthsMatchThePlainLoops) {
    for (const VarintRunKernels* kernels : usable_varint_run_kernels()) {
        SCOPED_TRACE(kernels->name);
        check_mixed_widths<std::int32_t>(*kernels);
        check_mixed_widths<std::uint32_t>(*kernels);
        check_mixed_widths<std::int64_t>(*kernels);
        check_mixed_widths<std::uint64_t>(*kernels);
    }
}

}  // namespace
}  // namespace vorl
