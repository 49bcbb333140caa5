// The x86 intrinsic declarations, for a source file with an AVX2 or
// AVX-512 region:
// parsed before the region opens, so that the region's target applies to
// our functions only, never to the compiler's own.
#pragma once

#include "core/simd/arch.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>
#endif
