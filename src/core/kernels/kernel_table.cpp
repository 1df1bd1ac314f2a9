// The one place that asks the processor what it runs and picks, once per
// process, the fastest usable kernel of every family. A new family or ISA
// gets its line here: candidates fastest first, the plain loops last.
#include "core/cpu_features.hpp"
#include "core/kernels/byte_scans.hpp"
#include "core/kernels/d64_conversions.hpp"
#include "core/kernels/datetime_differences.hpp"
#include "core/kernels/decimal_differences.hpp"
#include "core/kernels/varint_runs.hpp"

namespace vorl {
namespace {

enum class Needs { Nothing, Avx2, Avx2Fma, Avx512 };

bool usable(Needs needs) noexcept {
    const CpuFeatures& cpu = cpu_features();
    switch (needs) {
        case Needs::Nothing: return true;
        case Needs::Avx2: return cpu.avx2;
        case Needs::Avx2Fma: return cpu.avx2 && cpu.fma;
        case Needs::Avx512: return cpu.avx2 && cpu.fma && cpu.avx512;
    }
    return false;
}

template <class Kernels>
struct Candidate {
    const Kernels* kernels;
    Needs needs;
};

// The usable candidates in order, kept for the life of the process.
template <class Kernels, std::size_t N>
class Usable {
public:
    explicit Usable(const Candidate<Kernels> (&candidates)[N]) noexcept {
        for (const auto& candidate : candidates) {
            if (usable(candidate.needs)) found_[count_++] = candidate.kernels;
        }
    }
    std::span<const Kernels* const> span() const noexcept { return {found_, count_}; }

private:
    const Kernels* found_[N] = {};
    std::size_t count_ = 0;
};

// The first usable candidate of a family, looked up once.
template <auto usable_kernels>
const auto& chosen() noexcept {
    static const auto& first = *usable_kernels().front();
    return first;
}

}  // namespace

std::span<const VarintRunKernels* const> usable_varint_run_kernels() noexcept {
    static const Usable table({
#if VORL_KERNELS_AVX512
        Candidate<VarintRunKernels>{&VARINT_RUNS_AVX512, Needs::Avx512},
#endif
#if VORL_KERNELS_AVX2
        Candidate<VarintRunKernels>{&VARINT_RUNS_AVX2, Needs::Avx2},
#endif
        Candidate<VarintRunKernels>{&VARINT_RUNS_PLAIN, Needs::Nothing},
    });
    return table.span();
}

std::span<const DecimalDifferenceKernels* const> usable_decimal_difference_kernels() noexcept {
    static const Usable table({
#if VORL_KERNELS_AVX512
        Candidate<DecimalDifferenceKernels>{&DECIMAL_DIFFERENCES_AVX512, Needs::Avx512},
#endif
#if VORL_KERNELS_AVX2
        Candidate<DecimalDifferenceKernels>{&DECIMAL_DIFFERENCES_AVX2, Needs::Avx2},
#endif
        Candidate<DecimalDifferenceKernels>{&DECIMAL_DIFFERENCES_PLAIN, Needs::Nothing},
    });
    return table.span();
}

std::span<const DatetimeDifferenceKernels* const> usable_datetime_difference_kernels() noexcept {
    static const Usable table({
#if VORL_KERNELS_AVX512
        Candidate<DatetimeDifferenceKernels>{&DATETIME_DIFFERENCES_AVX512, Needs::Avx512},
#endif
#if VORL_KERNELS_AVX2
        Candidate<DatetimeDifferenceKernels>{&DATETIME_DIFFERENCES_AVX2, Needs::Avx2},
#endif
        Candidate<DatetimeDifferenceKernels>{&DATETIME_DIFFERENCES_PLAIN, Needs::Nothing},
    });
    return table.span();
}

std::span<const D64ConversionKernels* const> usable_d64_conversion_kernels() noexcept {
    static const Usable table({
#if VORL_KERNELS_AVX512
        Candidate<D64ConversionKernels>{&D64_CONVERSIONS_AVX512, Needs::Avx512},
#endif
#if VORL_KERNELS_AVX2
        Candidate<D64ConversionKernels>{&D64_CONVERSIONS_AVX2, Needs::Avx2Fma},
#endif
        Candidate<D64ConversionKernels>{&D64_CONVERSIONS_PLAIN, Needs::Nothing},
    });
    return table.span();
}

std::span<const ByteScanKernels* const> usable_byte_scan_kernels() noexcept {
    static const Usable table({
#if VORL_KERNELS_AVX2
        Candidate<ByteScanKernels>{&BYTE_SCANS_AVX2, Needs::Avx2},
#endif
        Candidate<ByteScanKernels>{&BYTE_SCANS_PLAIN, Needs::Nothing},
    });
    return table.span();
}

const VarintRunKernels& varint_run_kernels() noexcept { return chosen<usable_varint_run_kernels>(); }
const DecimalDifferenceKernels& decimal_difference_kernels() noexcept {
    return chosen<usable_decimal_difference_kernels>();
}
const DatetimeDifferenceKernels& datetime_difference_kernels() noexcept {
    return chosen<usable_datetime_difference_kernels>();
}
const D64ConversionKernels& d64_conversion_kernels() noexcept { return chosen<usable_d64_conversion_kernels>(); }
const ByteScanKernels& byte_scan_kernels() noexcept { return chosen<usable_byte_scan_kernels>(); }

}  // namespace vorl
