// What the processor can run, asked once per process. Only the kernel table
// (kernels/kernel_table.cpp) looks at this; format code never does.
#pragma once

namespace vorl {

struct CpuFeatures {
    bool avx2 = false;
    bool fma = false;
};

const CpuFeatures& cpu_features() noexcept;

}  // namespace vorl
