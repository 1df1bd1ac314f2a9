// What the processor can run, asked once per process. Only the kernel table
// (kernels/kernel_table.cpp) looks at this; format code never does.
#pragma once

namespace vorl {

struct CpuFeatures {
    bool avx2 = false;
    bool fma = false;
    // AVX-512 F, BW, VL, VBMI and VBMI2 with BMI2: what the byte-permuting kernels use.
    bool avx512_vbmi2 = false;
};

const CpuFeatures& cpu_features() noexcept;

}  // namespace vorl
