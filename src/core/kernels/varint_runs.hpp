// Runs of variable-length integers: the fast paths of varint_size,
// write_varint_unchecked and SliceReader::read_u32/read_u64 (with
// zigzag_decode for signed types) over whole integer columns. Every kernel
// gives exactly the results of those per-value operations; the plain one
// (varint_runs_scalar.cpp) is the per-value loop itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "core/decode_error.hpp"
#include "core/encoding.hpp"
#include "core/kernels/isa.hpp"
#include "core/result.hpp"

namespace vorl {

// T is std::int32_t, std::uint32_t, std::int64_t or std::uint64_t; signed
// values are zigzag-mapped.
template <class T>
struct VarintRunOps {
    // Bytes that `count` values take.
    std::uint64_t (*size)(const T* values, std::size_t count) noexcept;
    // Writes `count` values at `out`, which has room for 9 bytes per value;
    // returns the bytes written.
    std::size_t (*write)(std::uint8_t* out, const T* values, std::size_t count) noexcept;
    // `count` values into `out`, with the errors that reading them one by one
    // reports. out needs room for min(count, reader.remaining()) values.
    Result<void, DecodeError> (*read)(SliceReader& reader, std::uint64_t count, T* out) noexcept;
};

struct VarintRunKernels {
    const char* name;
    VarintRunOps<std::int32_t> i32;
    VarintRunOps<std::uint32_t> u32;
    VarintRunOps<std::int64_t> i64;
    VarintRunOps<std::uint64_t> u64;

    template <class T>
    const VarintRunOps<T>& of() const noexcept {
        if constexpr (std::is_same_v<T, std::int32_t>)
            return i32;
        else if constexpr (std::is_same_v<T, std::uint32_t>)
            return u32;
        else if constexpr (std::is_same_v<T, std::int64_t>)
            return i64;
        else
            return u64;
    }
};

extern const VarintRunKernels VARINT_RUNS_PLAIN;
#if VORL_KERNELS_AVX2
extern const VarintRunKernels VARINT_RUNS_AVX2;
#endif
#if VORL_KERNELS_AVX512
// Integer columns sized and written eight values at a time through byte
// compress; read a 64-byte window at a time (value starts by a table walk,
// values gathered by byte permutes).
extern const VarintRunKernels VARINT_RUNS_AVX512;
#endif

// The kernels this processor runs, fastest first; the plain loops last.
std::span<const VarintRunKernels* const> usable_varint_run_kernels() noexcept;
// The fastest of them, chosen once per process.
const VarintRunKernels& varint_run_kernels() noexcept;

}  // namespace vorl
