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

// The instructions the 128-bit vectors of vec128.hpp are made of: SSE2 on
// x86-64, NEON on aarch64, plain arrays anywhere else, and everywhere when
// DITHERING_PORTABLE_VECTORS asks for them (so tests can hold that form
// against the others). The rules that say whether a 128-bit form pays ask
// VEC128_KIND; only vec128.hpp reads the macros.
#if DITHERING_ARCH_X86 && !defined(DITHERING_PORTABLE_VECTORS)
#define DITHERING_VEC128_SSE2 1
#elif DITHERING_ARCH_AARCH64 && !defined(DITHERING_PORTABLE_VECTORS)
#define DITHERING_VEC128_NEON 1
#endif

namespace dithering {

enum class Vec128Kind { sse2, neon, portable };

#if defined(DITHERING_VEC128_SSE2)
inline constexpr Vec128Kind VEC128_KIND = Vec128Kind::sse2;
#elif defined(DITHERING_VEC128_NEON)
inline constexpr Vec128Kind VEC128_KIND = Vec128Kind::neon;
#else
inline constexpr Vec128Kind VEC128_KIND = Vec128Kind::portable;
#endif

}  // namespace dithering
