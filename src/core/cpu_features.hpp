// What the processor can run, asked once per process. Only the kernel table
// (kernels/kernel_table.cpp) looks at this; format code never does.
#pragma once

namespace vorl {

struct CpuFeatures {
    bool avx2 = false;  // with POPCNT and BMI1
    bool fma = false;
    // AVX-512 F, BW, VL, DQ, VBMI and VBMI2 with BMI2, as the AVX-512 kernels use it.
    bool avx512 = false;
};

const CpuFeatures& cpu_features() noexcept;

}  // namespace vorl
