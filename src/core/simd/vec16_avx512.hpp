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
// Every lane kept: for the zero-masking forms of the operations whose plain
// form GCC 12 writes over an undefined vector, which its -Wuninitialized
// reports. With this mask the instruction is the plain one.
constexpr __mmask16 ALL_LANES = 0xffff;

// Toward zero, as the 8-lane truncate.
DITHERING_ALWAYS_INLINE I32x16 truncate(F32x16 a) {
    return {_mm512_maskz_cvttps_epi32(ALL_LANES, a.v)};
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

// ---- The palette scans' reductions (vec8_avx2.hpp's, sixteen lanes) ----
// Distances ranked by their bit patterns: see vec8_avx2.hpp.

DITHERING_ALWAYS_INLINE I32x16 as_bits(F32x16 a) { return {_mm512_castps_si512(a.v)}; }
DITHERING_ALWAYS_INLINE I32x16 min_unsigned(I32x16 a, I32x16 b) {
    return {_mm512_maskz_min_epu32(ALL_LANES, a.v, b.v)};
}
// min_unsigned of all sixteen lanes, in every lane: quarters, then pairs
// of quarters' lanes, then neighbours.
DITHERING_ALWAYS_INLINE I32x16 min_unsigned_everywhere(I32x16 a) {
    I32x16 m = min_unsigned(a, {_mm512_maskz_shuffle_i32x4(ALL_LANES, a.v, a.v, 0x4e)});
    m = min_unsigned(m, {_mm512_maskz_shuffle_i32x4(ALL_LANES, m.v, m.v, 0xb1)});
    m = min_unsigned(m, {_mm512_maskz_shuffle_epi32(ALL_LANES, m.v, static_cast<_MM_PERM_ENUM>(0x4e))});
    return min_unsigned(m, {_mm512_maskz_shuffle_epi32(ALL_LANES, m.v, static_cast<_MM_PERM_ENUM>(0xb1))});
}
// Bit i set where lane i of a equals lane i of b: the compare writes a
// mask register.
DITHERING_ALWAYS_INLINE unsigned equal_bits(I32x16 a, I32x16 b) {
    return _mm512_cmpeq_epi32_mask(a.v, b.v);
}
DITHERING_ALWAYS_INLINE std::int32_t first(I32x16 a) {
    return _mm512_cvtsi512_si32(a.v);
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
