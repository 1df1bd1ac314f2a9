// <immintrin.h> for the vector kernels. GCC 12 takes its own placeholder for
// undefined lanes in the AVX-512 intrinsics for an uninitialized variable and
// warns inside the header; the warning is about the header, not our code.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif
