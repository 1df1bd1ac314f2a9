// Every usable kernel against the plain loop that defines it, on random and
// edge inputs: the same sizes, bytes, values and errors.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "core/kernels/byte_scans.hpp"
#include "core/kernels/d64_conversions.hpp"
#include "core/kernels/datetime_differences.hpp"
#include "core/kernels/decimal_differences.hpp"
#include "core/kernels/varint_runs.hpp"

namespace vorl {
namespace {

constexpr std::int64_t MIN64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t MAX64 = std::numeric_limits<std::int64_t>::max();
const std::size_t LENGTHS[] = {0, 1, 3, 15, 16, 17, 33, 100, 1000};
const std::int64_t STEPS[] = {1, -1, 3, 60, -60, 1LL << 52, (1LL << 53) + 1, MIN64, 0};

// Signed 64-bit values of one shape: mostly small, every varint width, the
// boundaries of the fast paths (2^50, 2^52, 2^56), a regular step, or mixed widths.
std::vector<std::int64_t> int_values(std::mt19937_64& rng, std::size_t n, int shape) {
    static const std::int64_t EDGES[] = {0, 1, -1, 125, -126, 250, 32767, -32769, 65536, 1LL << 31, MAX64, MIN64};
    std::vector<std::int64_t> values(n);
    std::int64_t running = static_cast<std::int64_t>(rng() % 1000) * 60;
    for (std::size_t i = 0; i < n; ++i) {
        switch (shape) {
            case 0: values[i] = static_cast<std::int64_t>(rng() % 251) - 125; break;
            case 1: values[i] = static_cast<std::int64_t>(rng() >> (rng() % 64)) * (rng() % 2 ? 1 : -1); break;
            case 2: {  // the edges above, and 2^p - 1, 2^p or 2^p + 1 of either sign
                const int p = std::array{50, 52, 56}[rng() % 3];
                const std::int64_t power = (std::int64_t{1} << p) + static_cast<std::int64_t>(rng() % 3) - 1;
                values[i] = rng() % 2 ? EDGES[rng() % std::size(EDGES)] : power * (rng() % 2 ? 1 : -1);
                break;
            }
            case 3: values[i] = running += (rng() % 50 == 0 ? 60 * static_cast<std::int64_t>(rng() % 7) : 60); break;
            case 4: values[i] = static_cast<std::int64_t>(rng()); break;  // nine-byte varints, nearly all
            default:  // one- and three-byte varints in random order, then five-byte ones among them
                values[i] = static_cast<std::int64_t>(rng() >> std::array{58, 50, 34}[rng() % (i < n / 2 ? 2 : 3)]) *
                            (rng() % 2 ? 1 : -1);
                break;
        }
    }
    return values;
}

// The low 56 bits of |v| with v's sign.
D64 d64_of(std::int64_t v, unsigned scale) {
    return D64::from_parts(v < 0, (v < 0 ? 0 - static_cast<std::uint64_t>(v) : v) & D64_MAX_MAGNITUDE, scale);
}

// What write(buffer) puts in a buffer large enough for n varints.
template <class Write>
std::vector<std::uint8_t> written(std::size_t n, Write write) {
    std::vector<std::uint8_t> bytes(9 * n + 16);
    bytes.resize(write(bytes.data()));
    return bytes;
}

template <class Kernels, class Check>
void for_each_kernel(std::span<const Kernels* const> usable, const Kernels& plain, Check check) {
    for (const Kernels* kernels : usable) {
        SCOPED_TRACE(kernels->name);
        check(*kernels, plain);
    }
}

// Shapes times lengths, each with its own seed.
template <class Case>
void for_each_input(Case run) {
    std::mt19937_64 rng(7);
    for (int shape = 0; shape < 6; ++shape) {
        for (const std::size_t n : LENGTHS) {
            SCOPED_TRACE(testing::Message() << "shape " << shape << ", length " << n);
            run(int_values(rng, n, shape));
        }
    }
}

template <class T>
void check_varint_runs(const VarintRunKernels& kernels, const VarintRunKernels& plain) {
    for_each_input([&](const std::vector<std::int64_t>& source) {
        const std::vector<T> values(source.begin(), source.end());  // narrowed as the column would hold them
        const std::size_t n = values.size();
        ASSERT_EQ(kernels.of<T>().size(values.data(), n), plain.of<T>().size(values.data(), n));
        const auto expected = written(n, [&](auto* out) { return plain.of<T>().write(out, values.data(), n); });
        ASSERT_EQ(written(n, [&](auto* out) { return kernels.of<T>().write(out, values.data(), n); }), expected);
        // Whole, cut short, and with a marker the type refuses in the middle.
        for (int damage = 0; damage < 3; ++damage) {
            std::vector<std::uint8_t> bytes = expected;
            if (damage == 1) bytes.resize(bytes.size() / 2);
            if (damage == 2 && !bytes.empty()) bytes[bytes.size() / 2] = sizeof(T) == 4 ? 0xFD : 0xFE;
            std::vector<T> got(n + 16), want(n + 16);
            SliceReader fast(bytes), slow(bytes);
            const auto a = kernels.of<T>().read(fast, n, got.data());
            const auto b = plain.of<T>().read(slow, n, want.data());
            const auto text = [](const auto& r) { return r.ok() ? std::string("ok") : r.error().to_string(); };
            ASSERT_EQ(text(a), text(b));
            if (a.ok()) {
                ASSERT_EQ(std::make_pair(fast.remaining(), got), std::make_pair(slow.remaining(), want));
            }
        }
    });
}

TEST(Kernels, VarintRunsMatchThePlainLoops) {
    for_each_kernel(usable_varint_run_kernels(), VARINT_RUNS_PLAIN, [](const auto& kernels, const auto& plain) {
        check_varint_runs<std::int32_t>(kernels, plain);
        check_varint_runs<std::uint32_t>(kernels, plain);
        check_varint_runs<std::int64_t>(kernels, plain);
        check_varint_runs<std::uint64_t>(kernels, plain);
    });
}

TEST(Kernels, DecimalDifferencesMatchThePlainLoops) {
    for_each_kernel(
        usable_decimal_difference_kernels(), DECIMAL_DIFFERENCES_PLAIN, [](const auto& kernels, const auto& plain) {
            for_each_input([&](const std::vector<std::int64_t>& source) {
                std::vector<D64> values;
                for (const std::int64_t v : source) values.push_back(d64_of(v, static_cast<unsigned>(v & 15)));
                const std::size_t n = values.size();
                if (n >= 1) {
                    ASSERT_EQ(kernels.size(values.data(), 1, n), plain.size(values.data(), 1, n));
                    ASSERT_EQ(written(n, [&](auto* out) { return kernels.write(out, values.data(), 1, n); }),
                              written(n, [&](auto* out) { return plain.write(out, values.data(), 1, n); }));
                }
                for (const unsigned scale : {0u, 2u, 15u}) {
                    const auto with = [&](const auto& k) {  // on a copy, from the same running value
                        auto [copy, running] = std::pair(source, std::uint64_t{5});
                        k.accumulate(reinterpret_cast<std::uint8_t*>(copy.data()), n, scale, running);
                        return std::pair(copy, running);
                    };
                    ASSERT_EQ(with(kernels), with(plain));
                }
            });
        });
}

TEST(Kernels, DatetimeDifferencesMatchThePlainLoops) {
    for_each_kernel(
        usable_datetime_difference_kernels(), DATETIME_DIFFERENCES_PLAIN, [](const auto& kernels, const auto& plain) {
            for_each_input([&](const std::vector<std::int64_t>& values) {
                const std::size_t n = values.size();
                const std::int64_t* data = values.data();
                ASSERT_EQ(kernels.one_difference(data, n), plain.one_difference(data, n));
                if (n < 2) return;
                for (const std::int64_t step : STEPS) {
                    SCOPED_TRACE(step);
                    ASSERT_EQ(kernels.step_divides(data, 1, n, step), plain.step_divides(data, 1, n, step));
                    ASSERT_EQ(kernels.quotients_size(data, 1, n, step), plain.quotients_size(data, 1, n, step));
                    ASSERT_EQ(written(n, [&](auto* out) { return kernels.write_quotients(out, data, 1, n, step); }),
                              written(n, [&](auto* out) { return plain.write_quotients(out, data, 1, n, step); }));
                    const auto with = [&](const auto& k) {
                        auto [copy, running] = std::pair(values, std::uint64_t{1});
                        k.accumulate(copy.data(), n, static_cast<std::uint64_t>(step), running);
                        return std::pair(copy, running);
                    };
                    ASSERT_EQ(with(kernels), with(plain));
                }
            });
        });
}

// Floats whose products at `places` sit around the hand-over points of the
// vector rule (2^22, 2^51, 2^52) and of the D64 range (2^56), plus cents,
// halves, zeros, NaN and infinities.
const double SPECIAL[] = {0.0, -0.0, NAN, INFINITY, -INFINITY, 0.29, 8.2, 2.675};

std::vector<double> float_values(std::mt19937_64& rng, std::size_t n, unsigned places) {
    const double p = std::pow(10.0, places);
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double sign = rng() % 2 ? 1.0 : -1.0;
        switch (rng() % 6) {
            case 0: values[i] = sign * static_cast<double>(rng() % 10'000'000) / p; break;
            case 1: {
                const int power = std::array{22, 51, 52, 53, 56}[rng() % 5];
                values[i] = sign * std::nextafter(std::ldexp(1.0, power) / p, rng() % 2 ? 0.0 : INFINITY);
                for (std::uint64_t k = rng() % 4; k > 0; --k) values[i] = std::nextafter(values[i], 0.0);
                break;
            }
            case 2: values[i] = sign * std::ldexp(static_cast<double>(rng() >> 11), -int(rng() % 80)); break;
            case 3: values[i] = sign * (static_cast<double>(rng() % 1000) + 0.5) / p; break;
            case 4: values[i] = SPECIAL[rng() % std::size(SPECIAL)]; break;
            default: values[i] = sign * static_cast<double>(rng() % (1ULL << 53)) / p; break;
        }
    }
    return values;
}

template <class Float>
void check_from_floats(const D64ConversionKernels& kernels, const D64ConversionKernels& plain) {
    std::mt19937_64 rng(11);
    for (const unsigned places : {0u, 1u, 2u, 4u, 9u, 15u}) {
        for (const std::size_t n : LENGTHS) {
            SCOPED_TRACE(testing::Message() << "places " << places << ", length " << n);
            const std::vector<double> source = float_values(rng, n, places);
            const std::vector<Float> values(source.begin(), source.end());
            const auto with = [&](const D64ConversionKernels& k) {
                std::vector<D64> out(n);
                if constexpr (sizeof(Float) == 8)
                    out.resize(k.from_doubles(values.data(), n, places, out.data()));
                else
                    out.resize(k.from_floats(values.data(), n, places, out.data()));
                return out;
            };
            ASSERT_EQ(with(kernels), with(plain));
        }
    }
}

TEST(Kernels, D64ConversionsMatchThePlainLoops) {
    for_each_kernel(usable_d64_conversion_kernels(), D64_CONVERSIONS_PLAIN, [](const auto& kernels, const auto& plain) {
        check_from_floats<double>(kernels, plain);
        check_from_floats<float>(kernels, plain);
        for_each_input([&](const std::vector<std::int64_t>& source) {
            // Mixed and shared scales, magnitudes on both sides of 2^52.
            if (source.empty()) return;
            std::vector<D64> values;
            for (std::size_t i = 0; i < source.size(); ++i) {
                values.push_back(d64_of(source[i], i % 9 == 8 ? 3 : static_cast<unsigned>(source.size() % 16)));
            }
            std::vector<double> got(values.size()), want(values.size());
            kernels.to_doubles(values.data(), values.size(), got.data());
            plain.to_doubles(values.data(), values.size(), want.data());
            ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * sizeof(double)));
            // In place, as the binding converts a decoded column.
            kernels.to_doubles(values.data(), values.size(), reinterpret_cast<double*>(values.data()));
            ASSERT_EQ(0, std::memcmp(values.data(), want.data(), got.size() * sizeof(double)));
        });
    });
}

// Bytes of 0 and 1, with one other byte (a bool >1, or a byte >=0x80) or none.
TEST(Kernels, ByteScansMatchThePlainLoops) {
    for_each_kernel(usable_byte_scan_kernels(), BYTE_SCANS_PLAIN, [](const auto& kernels, const auto& plain) {
        std::mt19937_64 rng(13);
        for (const std::size_t n : LENGTHS) {
            for (const int other : {0, 2, 0x80, 0xFF}) {
                std::vector<std::uint8_t> bytes(n), got(n), want(n);
                for (auto& byte : bytes) byte = rng() % 2;
                if (n != 0 && other != 0) bytes[rng() % n] = static_cast<std::uint8_t>(other);
                SCOPED_TRACE(testing::Message() << "length " << n << ", other " << other);
                ASSERT_EQ(kernels.is_ascii(bytes.data(), n), plain.is_ascii(bytes.data(), n));
                kernels.normalise_bools(got.data(), bytes.data(), n);
                plain.normalise_bools(want.data(), bytes.data(), n);
                ASSERT_EQ(got, want);
                got.assign(n, 0xAA);
                const std::size_t bad = plain.copy_booleans(want.data(), bytes.data(), n);
                ASSERT_EQ(kernels.copy_booleans(got.data(), bytes.data(), n), bad);
                got.resize(bad);
                want.resize(bad);
                ASSERT_EQ(got, want);  // the bytes before the first byte above 1
            }
        }
    });
}

}  // namespace
}  // namespace vorl
