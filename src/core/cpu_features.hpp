// What the processor can run, asked once per process. Only the kernel table
// (kernels/kernel_table.cpp) looks at this; format code never does.
#pragma once

namespace vorl {

struct CpuFeatures {
    bool avx2 = false;
    bool fma = false;
    bool avx512 = false;  // F, BW, DQ, VL and VBMI2 together
};

const CpuFeatures& cpu_features() noexcept;

}  // namespace vorl
