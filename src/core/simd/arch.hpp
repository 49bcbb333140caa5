// Which instruction sets this build may name. x86 code (SSE2, and the
// AVX2 paths chosen at run time) compiles only where
// DITHERING_ARCH_X86 is set: on x86-64, where every processor has SSE2. 32-bit
// x86 need not have it (and is compiled without it by default), so there,
// as on every other architecture but aarch64, the portable forms are built
// alone. NEON only where DITHERING_ARCH_AARCH64 is, where every processor has
// it.
#pragma once

#include <cfloat>

#if defined(__x86_64__) || defined(_M_X64)
#define DITHERING_ARCH_X86 1
#else
#define DITHERING_ARCH_X86 0
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
#define DITHERING_ARCH_AARCH64 1
#else
#define DITHERING_ARCH_AARCH64 0
#endif

// Every result is single-precision arithmetic, one rounding per operation.
// A compiler that keeps floats in wider registers (the x87 unit of 32-bit
// x86 without SSE math) would round differently and give other bytes: such
// a build is refused here rather than shipped. (CMakeLists.txt asks for SSE
// math on 32-bit x86.)
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "float arithmetic must be evaluated in float (FLT_EVAL_METHOD 0): on 32-bit x86 build with SSE2 math"
#endif
