// The plain loops that define the varint run kernels.
#include "core/kernels/varint_run_reader.hpp"
#include "core/kernels/varint_runs.hpp"

namespace vorl {
namespace {

template <class T>
std::uint64_t run_size(const T* values, std::size_t count) noexcept {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += varint_size_branchless(varint_bits(values[i]));
    return total;
}

template <class T>
std::size_t write_run(std::uint8_t* out, const T* values, std::size_t count) noexcept {
    return write_varint_blocks(out, 0, count, [values](std::size_t i) { return varint_bits(values[i]); });
}

template <class T>
struct WidenPlain {
    static constexpr std::uint64_t BLOCK = 0;
    static std::uint64_t blocks(const std::uint8_t*&, T*, std::uint64_t) noexcept { return 0; }
    static unsigned sixteen(const std::uint8_t* bytes, T* out) noexcept {
        for (std::size_t k = 0; k < 16; ++k) out[k] = from_varint_bits<T>(bytes[k]);
        unsigned run = 0;
        while (run < 16 && bytes[run] <= VARINT_MAX_SINGLE_BYTE) ++run;
        return run;
    }
};

template <class T>
Result<void, DecodeError> read_run(SliceReader& reader, std::uint64_t count, T* values) noexcept {
    return varint_run_detail::read_run<T, WidenPlain<T>>(reader, count, values);
}

template <class T>
constexpr VarintRunOps<T> plain_ops{run_size<T>, write_run<T>, read_run<T>};

}  // namespace

const VarintRunKernels VARINT_RUNS_PLAIN{"plain", plain_ops<std::int32_t>, plain_ops<std::uint32_t>,
                                         plain_ops<std::int64_t>, plain_ops<std::uint64_t>};

}  // namespace vorl
