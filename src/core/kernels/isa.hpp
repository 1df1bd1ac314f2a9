// Which instruction sets the kernel layer is built for. VORL_SIMD comes from
// the build (-DVORL_SIMD=OFF leaves the plain loops only); the AVX2 and
// AVX-512 kernels carry their own target attribute, so the library needs no -m flags and a
// kernel runs only after kernel_table.cpp has asked the processor.
#pragma once

#if !defined(VORL_SIMD)
#define VORL_SIMD 1
#endif

#if VORL_SIMD && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORL_KERNELS_AVX2 1
#define VORL_TARGET_AVX2 __attribute__((target("avx2,bmi,popcnt")))
#define VORL_TARGET_AVX2_FMA __attribute__((target("avx2,bmi,popcnt,fma")))
// The AVX-512 of Zen 4 and Ice Lake on: the subsets that came together (F,
// BW, DQ, VL), VBMI for byte permutes across 64 bytes and VBMI2 for byte
// compress, which pack and gather mixed-width varints.
#define VORL_KERNELS_AVX512 1
#define VORL_TARGET_AVX512 \
    __attribute__((target("avx2,fma,bmi,bmi2,popcnt,avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,avx512vbmi2")))
#else
#define VORL_KERNELS_AVX2 0
#define VORL_KERNELS_AVX512 0
#endif
