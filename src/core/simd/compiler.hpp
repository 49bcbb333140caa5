// Every compiler-specific spelling the core uses, in one place: GCC, clang
// and MSVC each say "inline this", "compile this for AVX2" or "unroll this"
// differently, and a loop written once must build with all three. Nothing
// here changes arithmetic: these only decide instruction selection and
// inlining, never which IEEE operations run or in what order.
#pragma once

#include "core/simd/arch.hpp"

#if DITHERING_ARCH_X86 && defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

#if defined(__clang__)
#define DITHERING_COMPILER_CLANG 1
#elif defined(__GNUC__)
#define DITHERING_COMPILER_GCC 1
#elif defined(_MSC_VER)
#define DITHERING_COMPILER_MSVC 1
#endif

#define DITHERING_STRINGIFY_(x) #x
#define DITHERING_STRINGIFY(x) DITHERING_STRINGIFY_(x)

// Inlined even where the compiler's own estimate says not: the vector
// operations and the per-pixel steps must melt into their loops, or every
// lane would travel through memory.
#if defined(DITHERING_COMPILER_MSVC)
#define DITHERING_ALWAYS_INLINE __forceinline
#define DITHERING_NOINLINE __declspec(noinline)
#else
#define DITHERING_ALWAYS_INLINE __attribute__((always_inline)) inline
#define DITHERING_NOINLINE __attribute__((noinline))
#endif

// A branch taken rarely, laid out away from the hot path.
#if defined(DITHERING_COMPILER_MSVC)
#define DITHERING_UNLIKELY(condition) (condition)
#else
#define DITHERING_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
#endif

// A loop unrolled N times (a hint; MSVC has no such pragma and decides alone).
#if defined(DITHERING_COMPILER_GCC)
#define DITHERING_UNROLL(n) _Pragma(DITHERING_STRINGIFY(GCC unroll n))
#elif defined(DITHERING_COMPILER_CLANG)
#define DITHERING_UNROLL(n) _Pragma(DITHERING_STRINGIFY(unroll n))
#else
#define DITHERING_UNROLL(n)
#endif

// One function compiled for an x86 feature level beyond the build's own
// ("avx2"), to be called only after cpu_features says the
// processor has it. MSVC compiles any intrinsic anywhere without being told.
#if defined(DITHERING_COMPILER_MSVC)
#define DITHERING_TARGET(isa)
#else
#define DITHERING_TARGET(isa) __attribute__((target(isa)))
#endif

// Every function defined between BEGIN and END is compiled for AVX2, so that
// the AVX2 vector type's operations inline into the loops written over it.
// A source file opens the region after all headers with functions of their
// own that are not at internal linkage (the standard library's above all):
// a function declared outside keeps the target it was declared with, so no
// copy compiled for AVX2 can be picked, at link time, for a caller on a
// processor without it.
#if defined(DITHERING_COMPILER_GCC)
#define DITHERING_TARGET_AVX2_BEGIN \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define DITHERING_TARGET_AVX2_END _Pragma("GCC pop_options")
#elif defined(DITHERING_COMPILER_CLANG)
#define DITHERING_TARGET_AVX2_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define DITHERING_TARGET_AVX2_END _Pragma("clang attribute pop")
#else
#define DITHERING_TARGET_AVX2_BEGIN
#define DITHERING_TARGET_AVX2_END
#endif

// The same region for AVX-512 (F, BW, DQ and VL, which bring AVX2 along),
// under the same rules.
#if defined(DITHERING_COMPILER_GCC)
#define DITHERING_TARGET_AVX512_BEGIN \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx512bw,avx512dq,avx512vl\")")
#define DITHERING_TARGET_AVX512_END _Pragma("GCC pop_options")
#elif defined(DITHERING_COMPILER_CLANG)
// (One literal: _Pragma does not join adjacent strings.)
#define DITHERING_TARGET_AVX512_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx512f,avx512bw,avx512dq,avx512vl\"))), apply_to = function)")
#define DITHERING_TARGET_AVX512_END _Pragma("clang attribute pop")
#else
#define DITHERING_TARGET_AVX512_BEGIN
#define DITHERING_TARGET_AVX512_END
#endif

// A warning GCC gives falsely in one place, silenced there only.
#if defined(DITHERING_COMPILER_GCC)
#define DITHERING_IGNORE_MAYBE_UNINITIALIZED_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define DITHERING_IGNORE_MAYBE_UNINITIALIZED_END _Pragma("GCC diagnostic pop")
#else
#define DITHERING_IGNORE_MAYBE_UNINITIALIZED_BEGIN
#define DITHERING_IGNORE_MAYBE_UNINITIALIZED_END
#endif

namespace dithering::compiler {

#if DITHERING_ARCH_X86
// Whether the processor runs AVX2 code, the operating system
// saving the AVX registers included: GCC and clang ask their runtime, which
// checks both; on MSVC the same checks are made from CPUID and XCR0. The
// init call makes the answer right even before the runtime's constructors
// have run (a caller in another constructor).
#if defined(DITHERING_COMPILER_MSVC)
inline bool cpu_runs_avx2() noexcept {
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7) return false;
    __cpuid(info, 1);
    const bool osxsave = (info[2] & (1 << 27)) != 0, avx = (info[2] & (1 << 28)) != 0;
    if (!osxsave || !avx || (_xgetbv(0) & 0x6) != 0x6) return false;
    __cpuidex(info, 7, 0);
    return (info[1] & (1 << 5)) != 0;
}
// The same for AVX-512 F, BW, DQ and VL, the opmask and 512-bit register
// state (XCR0 bits 5 to 7) saved besides the AVX state.
inline bool cpu_runs_avx512() noexcept {
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7) return false;
    __cpuid(info, 1);
    if ((info[2] & (1 << 27)) == 0 || (_xgetbv(0) & 0xe6) != 0xe6) return false;
    __cpuidex(info, 7, 0);
    const unsigned needed = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);
    return (static_cast<unsigned>(info[1]) & needed) == needed;
}
#else
inline bool cpu_runs_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
// The runtimes set the AVX-512 features only where the operating system
// saves the opmask and 512-bit registers.
inline bool cpu_runs_avx512() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
           __builtin_cpu_supports("avx512dq") != 0 && __builtin_cpu_supports("avx512vl") != 0;
}
#endif
#endif

}  // namespace dithering::compiler
