// Every usable kernel against the plain loop that defines it, on random and
// edge inputs: the same sizes, bytes, values and errors. The varint readers,
// whose plain kernel runs the same loop as the vector ones, answer to a
// reference of their own as well (varint_reference.hpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "core/kernels/byte_scans.hpp"
#include "core/kernels/d64_conversions.hpp"
#include "core/kernels/d64_words.hpp"
#include "core/kernels/datetime_differences.hpp"
#include "core/kernels/decimal_differences.hpp"
#include "core/kernels/varint_runs.hpp"
#include "test_support.hpp"
#include "varint_reference.hpp"

namespace vorl {
namespace {

using testing::hex;
using testing::to_hex;

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
            SCOPED_TRACE(::testing::Message() << "shape " << shape << ", length " << n);
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
        ASSERT_EQ(written(n, [&](auto* out) { return kernels.of<T>().write(out, values.data(), n); }),
                  written(n, [&](auto* out) { return plain.of<T>().write(out, values.data(), n); }));
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

template <class T>
using VarintRead = Result<void, DecodeError> (*)(SliceReader&, std::uint64_t, T*) noexcept;

template <class T>
Result<void, DecodeError> read_value_by_value(SliceReader& reader, std::uint64_t count, T* out) noexcept {
    for (std::uint64_t i = 0; i < count; ++i) {
        auto value = [&] {
            if constexpr (std::is_same_v<T, std::int32_t>)
                return reader.read_i32();
            else if constexpr (std::is_same_v<T, std::uint32_t>)
                return reader.read_u32();
            else if constexpr (std::is_same_v<T, std::int64_t>)
                return reader.read_i64();
            else
                return reader.read_u64();
        }();
        if (!value) return err(std::move(value).error());
        out[i] = value.value();
    }
    return {};
}

// Every reader of varint runs: each usable kernel (the plain one, which is the
// loop the vector kernels share, among them) and SliceReader's per-value reads.
template <class T>
std::vector<std::pair<std::string, VarintRead<T>>> varint_readers() {
    std::vector<std::pair<std::string, VarintRead<T>>> readers;
    for (const VarintRunKernels* kernels : usable_varint_run_kernels()) {
        readers.emplace_back(kernels->name, kernels->of<T>().read);
    }
    readers.emplace_back("value by value", read_value_by_value<T>);
    return readers;
}

// The error `read` reports for `count` values at the front of `bytes`, or "ok"
// with the bytes they took and the values.
template <class T>
std::tuple<std::string, std::size_t, std::vector<T>> run_read(VarintRead<T> read, std::span<const std::uint8_t> bytes,
                                                              std::uint64_t count) {
    std::vector<T> values(static_cast<std::size_t>(std::min<std::uint64_t>(count, bytes.size())));  // the room asked
    SliceReader reader(bytes);
    const auto result = read(reader, count, values.data());
    if (!result) return {result.error().to_string(), 0, {}};
    values.resize(static_cast<std::size_t>(count));
    return {"ok", bytes.size() - reader.remaining(), values};
}

template <class T>
void expect_read_as_the_reference(std::span<const std::uint8_t> bytes, std::uint64_t count) {
    static const auto readers = varint_readers<T>();
    const auto expected = run_read<T>(testing::reference_read_varint_run<T>, bytes, count);
    for (const auto& [name, read] : readers) {
        ASSERT_EQ(run_read<T>(read, bytes, count), expected) << name << ", " << count << " values of " << to_hex(bytes);
    }
}

// One varint of each form a field of T accepts: single bytes up to 250, the
// 2-, 4- and (64-bit fields) 8-byte forms at their limits, and longer forms
// than needed.
template <class T>
std::vector<std::uint8_t> accepted_forms() {
    std::vector<std::uint8_t> bytes =
        hex("00 07 FA  FB FB 00  FB FF FF  FB 05 00  "
            "FC 00 00 01 00  FC FF FF FF FF  FC 07 00 00 00");
    if (sizeof(T) == 8) {
        const auto wide = hex("FD 00 00 00 00 01 00 00 00  FD FF FF FF FF FF FF FF FF  FD 09 00 00 00 00 00 00 00");
        bytes.insert(bytes.end(), wide.begin(), wide.end());
    }
    return bytes;
}
template <class T>
constexpr std::uint64_t ACCEPTED_FORMS = sizeof(T) == 8 ? 12 : 9;

// Varints leading up to a hostile one: none, runs of one-byte values as long
// as the vector paths take, or every accepted form among them.
template <class T>
std::vector<std::pair<std::vector<std::uint8_t>, std::uint64_t>> leads() {
    std::vector<std::pair<std::vector<std::uint8_t>, std::uint64_t>> leads;
    const auto forms = accepted_forms<T>();
    for (const std::size_t ones : {0, 1, 16, 40, 100}) leads.emplace_back(std::vector<std::uint8_t>(ones, 0x01), ones);
    for (const int repeats : {1, 4}) {
        std::vector<std::uint8_t> bytes;
        for (int r = 0; r < repeats; ++r) bytes.insert(bytes.end(), forms.begin(), forms.end());
        leads.emplace_back(bytes, repeats * ACCEPTED_FORMS<T>);
    }
    return leads;
}

// After a lead, every first byte (each marker among them) with eight bytes
// after it that make the largest value of its width or small ones, then
// one-byte values; read up to that varint, past it, and beyond the end.
template <class T>
void check_every_first_byte() {
    for (const auto& [lead, lead_values] : leads<T>()) {
        for (int first = 0; first < 256; ++first) {
            for (const int filler : {0x01, 0xFF}) {
                std::vector<std::uint8_t> bytes = lead;
                bytes.push_back(static_cast<std::uint8_t>(first));
                for (int k = 0; k < 8; ++k)
                    bytes.push_back(static_cast<std::uint8_t>(filler == 0xFF ? 0xFF : filler + k));
                bytes.insert(bytes.end(), 100, 0x02);
                for (const std::uint64_t count : {lead_values + 1, lead_values + 51, std::uint64_t{bytes.size()} + 1}) {
                    ASSERT_NO_FATAL_FAILURE(expect_read_as_the_reference<T>(bytes, count));
                }
            }
        }
    }
}

// Every accepted form among runs of one-byte values, cut after every byte: the
// values wholly before the cut, one more, and all of them.
template <class T>
void check_every_cut() {
    const auto forms = accepted_forms<T>();
    std::vector<std::uint8_t> bytes;
    for (std::size_t ones = 0; ones < 60; ones += 7) {
        bytes.insert(bytes.end(), ones, 0x03);
        bytes.insert(bytes.end(), forms.begin(), forms.end());
    }
    std::vector<std::size_t> ends;  // where each value ends
    for (SliceReader reader(bytes); reader.remaining() != 0;) {
        T value{};
        ASSERT_TRUE(testing::reference_read_varint_run<T>(reader, 1, &value).ok());
        ends.push_back(bytes.size() - reader.remaining());
    }
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        const auto whole = static_cast<std::uint64_t>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
        for (const std::uint64_t count : {whole, whole + 1, std::uint64_t{ends.size()}}) {
            ASSERT_NO_FATAL_FAILURE(expect_read_as_the_reference<T>(std::span(bytes).first(cut), count));
        }
    }
}

// The random runs as written, then cut short, and with a marker the type
// refuses in the middle.
template <class T>
void check_random_runs() {
    for_each_input([&](const std::vector<std::int64_t>& source) {
        const std::vector<T> values(source.begin(), source.end());
        const std::size_t n = values.size();
        const auto bytes =
            written(n, [&](auto* out) { return VARINT_RUNS_PLAIN.of<T>().write(out, values.data(), n); });
        ASSERT_EQ(run_read<T>(testing::reference_read_varint_run<T>, bytes, n),
                  std::tuple(std::string("ok"), bytes.size(), values));
        for (int damage = 0; damage < 3; ++damage) {
            std::vector<std::uint8_t> damaged = bytes;
            if (damage == 1) damaged.resize(damaged.size() / 2);
            if (damage == 2 && !damaged.empty()) damaged[damaged.size() / 2] = sizeof(T) == 4 ? 0xFD : 0xFE;
            ASSERT_NO_FATAL_FAILURE(expect_read_as_the_reference<T>(damaged, n));
        }
    });
}

template <class T>
void check_varint_reads() {
    ASSERT_NO_FATAL_FAILURE(check_random_runs<T>());
    ASSERT_NO_FATAL_FAILURE(check_every_first_byte<T>());
    ASSERT_NO_FATAL_FAILURE(check_every_cut<T>());
}

TEST(Kernels, VarintReadersMatchTheReference) {
    check_varint_reads<std::int32_t>();
    check_varint_reads<std::uint32_t>();
    check_varint_reads<std::int64_t>();
    check_varint_reads<std::uint64_t>();
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
            SCOPED_TRACE(::testing::Message() << "places " << places << ", length " << n);
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
            const std::vector<D64> decimals = with(plain);
            ASSERT_EQ(with(kernels), decimals);
            for (const bool nan_refused : {false, true}) {
                const auto signed_with = [&](const D64ConversionKernels& k) {
                    std::vector<std::int64_t> out(n);
                    if constexpr (sizeof(Float) == 8)
                        out.resize(k.signed_from_doubles(values.data(), n, places, nan_refused, out.data()));
                    else
                        out.resize(k.signed_from_floats(values.data(), n, places, nan_refused, out.data()));
                    return out;
                };
                const std::vector<std::int64_t> signed_values = signed_with(plain);
                ASSERT_EQ(signed_with(kernels), signed_values);
                // The signed magnitudes of the same decimals, up to the first NaN when refused.
                std::size_t expected = decimals.size();
                if (nan_refused) {
                    const auto nan = std::find_if(values.begin(), values.end(), [](Float v) { return v != v; });
                    expected = std::min(expected, static_cast<std::size_t>(nan - values.begin()));
                }
                ASSERT_EQ(signed_values.size(), expected);
                for (std::size_t i = 0; i < expected; ++i)
                    ASSERT_EQ(signed_values[i], d64_signed_magnitude(decimals[i]));
            }
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
            // Running sums of the values as differences, from running values at zero, on both
            // sides of the vector rule's 2^51, and near the top of 56 bits.
            constexpr std::uint64_t TWO_51 = std::uint64_t{1} << 51;
            for (const std::uint64_t start : {std::uint64_t{0}, TWO_51 - 5, 0 - TWO_51 + 5, D64_MAX_MAGNITUDE - 7}) {
                for (const unsigned scale : {0u, 2u, 11u, 15u}) {
                    const auto with = [&](const D64ConversionKernels& k) {
                        auto [copy, running] = std::pair(source, start);
                        k.sums_to_doubles(reinterpret_cast<std::uint8_t*>(copy.data()), copy.size(), scale, running);
                        return std::pair(copy, running);
                    };
                    ASSERT_EQ(with(kernels), with(plain));
                }
            }
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
                SCOPED_TRACE(::testing::Message() << "length " << n << ", other " << other);
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
