#include "core/cpu_features.hpp"

namespace vorl {

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = [] {
        CpuFeatures found;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
        // The AVX2 kernels also count and find bits with POPCNT and TZCNT,
        // which every AVX2 processor has.
        found.avx2 =
            __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
        found.fma = __builtin_cpu_supports("fma");
        found.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                       __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
                       __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
                       __builtin_cpu_supports("bmi2");
#endif
        return found;
    }();
    return features;
}

}  // namespace vorl
