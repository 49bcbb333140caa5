// 128-bit vectors (four floats, four 32-bit integers, two doubles or
// sixteen bytes) with one
// meaning on every processor: SSE2 on x86 (part of every x86-64), NEON on
// aarch64 (part of every aarch64), plain arrays anywhere else. A loop written once over
// these types is the same IEEE operations in the same order on each, so it
// gives the same bytes everywhere; only the instructions differ. Defining
// DITHERING_PORTABLE_VECTORS builds the portable form on any processor,
// so the tests can hold it against the others.
//
// Every operation is exactly one rounded IEEE operation per lane (no fused
// multiply-add exists here), and the ones whose x86 instruction has a
// particular rule for NaN are defined by that rule on all of them: min and
// max return their second operand unless the first compares less
// (greater), so a NaN in either gives the second. Comparisons are ordered:
// false when either lane is NaN.
//
// One header per back end, each whole: vec128_sse2.hpp, vec128_neon.hpp
// and vec128_portable.hpp. This one picks the back end of the build and
// adds the operations written over the others.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

#define DITHERING_VEC128_INLINE DITHERING_ALWAYS_INLINE

#if defined(DITHERING_VEC128_SSE2)
#include "core/simd/vec128_sse2.hpp"
#elif defined(DITHERING_VEC128_NEON)
#include "core/simd/vec128_neon.hpp"
#else
#include "core/simd/vec128_portable.hpp"
#endif

namespace dithering::simd {

DITHERING_VEC128_INLINE F32x4 zero4() { return splat(0.0f); }
// x in lane 0, zero in the others.
DITHERING_VEC128_INLINE F32x4 only_first(float x) { return load_first(&x); }
DITHERING_VEC128_INLINE F64x2 zero2() { return splat2(0.0); }

}  // namespace dithering::simd

#undef DITHERING_VEC128_INLINE
