// Which instruction sets this build may name. x86 code (SSE2, and the
// AVX2 paths chosen at run time) compiles only where
// DITHERING_ARCH_X86 is set; NEON only where DITHERING_ARCH_AARCH64 is, where
// every processor has it. Every other architecture builds the portable
// forms alone.
#pragma once

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define DITHERING_ARCH_X86 1
#else
#define DITHERING_ARCH_X86 0
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
#define DITHERING_ARCH_AARCH64 1
#else
#define DITHERING_ARCH_AARCH64 0
#endif
