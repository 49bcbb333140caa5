// Sixteen 32-bit lanes in one AVX-512 register, with the lane-width tag
// Lanes16 of the loop bodies written once for any width (lanes8.hpp is
// the 8-lane one). Each operation is the same one rounded IEEE operation
// per lane as the 8-lane type's, with the same rules for NaN, so a body
// gives the same bytes at either width.
//
// Only for a source file that includes this inside an AVX-512 region
// (DITHERING_TARGET_AVX512_BEGIN, simd/compiler.hpp), after every standard
// header, for the reasons vec8_avx2.hpp gives for its AVX2 region.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/intrinsics.hpp"

#if DITHERING_ARCH_X86

namespace dithering::simd {
namespace {

struct F32x16 {
    __m512 v;
};
struct I32x16 {
    __m512i v;
};

DITHERING_ALWAYS_INLINE F32x16 operator+(F32x16 a, F32x16 b) { return {_mm512_add_ps(a.v, b.v)}; }
DITHERING_ALWAYS_INLINE F32x16 operator-(F32x16 a, F32x16 b) { return {_mm512_sub_ps(a.v, b.v)}; }
DITHERING_ALWAYS_INLINE F32x16 operator*(F32x16 a, F32x16 b) { return {_mm512_mul_ps(a.v, b.v)}; }
// Toward zero, as the 8-lane truncate. (Through the zero-masking form with
// every lane kept, the same instruction: GCC 12's plain form starts from an
// undefined vector that its -Wmaybe-uninitialized reports.)
DITHERING_ALWAYS_INLINE I32x16 truncate(F32x16 a) {
    return {_mm512_maskz_cvttps_epi32(static_cast<__mmask16>(0xffff), a.v)};
}

// The running minimum with its index (Closest8's step): where d < best
// (ordered: never for a NaN d), best becomes d and index `here`. A mask
// register holds the comparison, and each move under it is one operation.
struct Closest16 {
    F32x16 best, index;
};
DITHERING_ALWAYS_INLINE Closest16 take_closer(Closest16 c, F32x16 d, F32x16 here) {
    const __mmask16 closer = _mm512_cmp_ps_mask(c.best.v, d.v, _CMP_GT_OQ);
    return {{_mm512_mask_mov_ps(c.best.v, closer, d.v)},
            {_mm512_mask_mov_ps(c.index.v, closer, here.v)}};
}

struct Lanes16 {
    static constexpr std::size_t N = 16;
    using F32 = F32x16;
    using I32 = I32x16;
    using Closest = Closest16;
};

DITHERING_ALWAYS_INLINE F32x16 splat(Lanes16, float x) { return {_mm512_set1_ps(x)}; }
DITHERING_ALWAYS_INLINE F32x16 zero(Lanes16) { return {_mm512_setzero_ps()}; }
DITHERING_ALWAYS_INLINE F32x16 load(Lanes16, const float* p) { return {_mm512_loadu_ps(p)}; }
DITHERING_ALWAYS_INLINE void store(std::int32_t* p, I32x16 a) { _mm512_storeu_si512(p, a.v); }

}  // namespace
}  // namespace dithering::simd

#endif  // DITHERING_ARCH_X86
