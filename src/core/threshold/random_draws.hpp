// Random dither's vector loops (the draws, the one-pass few-levels form and
// the quantizer of drawn offsets), written once over the 8-lane vector
// type: each source file that includes this has first included one form of
// that type (simd/vec8_avx2.hpp or simd/vec8_halves.hpp) and gets its own
// copy of the loops, at internal linkage, for that form.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/threshold/threshold_loops.hpp"
#include "core/simd/compiler.hpp"

namespace dithering {
namespace {

using namespace simd;

// The SplitMix64 mix of four incremented states, reduced to what the
// dither keeps: bits 32..63 of the last product, in the high half of each
// 64-bit lane (the low half is unspecified). The final z ^ (z >> 31) is
// left out: it changes no bit from 33 up, and the dither reads only bits
// 40..63.
DITHERING_ALWAYS_INLINE U64x4 mix_high(U64x4 z) {
    z = z ^ shift_right<30>(z);
    z = multiply(z, splat_u64x4(0xbf58476d1ce4e5b9ULL));
    z = z ^ shift_right<27>(z);
    return multiply_high(z, splat_u64x4(0x94d049bb133111ebULL));
}

// Eight consecutive draws, `even` holding the states of draws 0, 2, 4, 6
// and `odd` those of 1, 3, 5, 7: their bits 32..63 in order, one per
// 32-bit lane.
DITHERING_ALWAYS_INLINE I32x8 draw8(U64x4 even, U64x4 odd) {
    return high_words(mix_high(even), mix_high(odd));
}

// The dither's t of each lane, times 2^32: with u = high >> 8, t = u *
// 2^-24 - 0.5. Flipping the top bit and clearing the low eight gives the
// signed integer (u - 2^23) * 256, which has at most 24 significant bits,
// so its conversion is exact, and so is a scaling by 2^-32: t exactly, as
// the scalar form computes it.
DITHERING_ALWAYS_INLINE F32x8 unit_offsets_2_32(I32x8 high) {
    const I32x8 top = splat8_int(static_cast<std::int32_t>(0x80000000u));
    const I32x8 kept = splat8_int(static_cast<std::int32_t>(0xffffff00u));
    return to_float((high ^ top) & kept);
}

DITHERING_ALWAYS_INLINE F32x8 unit_offsets(I32x8 high) {
    return unit_offsets_2_32(high) * splat8(0x1p-32f);
}

struct DrawStates {
    U64x4 even;
    U64x4 odd;
};

// The states of draws 1..8 after `state`, arranged for draw8.
inline DrawStates first_states(std::uint64_t state) {
    constexpr std::uint64_t G = SPLITMIX_GAMMA;
    return {lanes_u64x4(state + 1 * G, state + 3 * G, state + 5 * G, state + 7 * G),
            lanes_u64x4(state + 2 * G, state + 4 * G, state + 6 * G, state + 8 * G)};
}

DITHERING_ALWAYS_INLINE void advance(DrawStates& s, U64x4 step) {
    s.even = s.even + step;
    s.odd = s.odd + step;
}

// out[i] = t(state + (i + 1) * gamma) * scale for i < count.
void draw_offsets(std::uint64_t state, std::size_t count, float scale, float* out) {
    DrawStates s = first_states(state);
    const U64x4 step = splat_u64x4(8 * SPLITMIX_GAMMA);
    const F32x8 amp = splat8(scale);
    float* at = out;
    for (float* const end = out + count / 8 * 8; at != end; at += 8) {
        store8(at, unit_offsets(draw8(s.even, s.odd)) * amp);
        advance(s, step);
    }
    for (std::size_t i = count / 8 * 8; i < count; ++i) {
        out[i] = splitmix_unit_offset(state + (i + 1) * SPLITMIX_GAMMA) * scale;
    }
}

inline std::uint8_t few_levels_pixel(std::uint8_t b, std::uint64_t z,
                                     const RandomFewLevels& params) {
    const float w = params.lut ? params.lut[b] : static_cast<float>(b);
    const float v = w + splitmix_unit_offset(z) * params.amp;
    std::uint32_t level = 0;
    for (std::uint32_t j = 0; j < params.terms; ++j) level += v >= params.bounds[j] ? 1u : 0u;
    return params.codes[level];
}

// Eight pixels: minus their levels, one per 32-bit lane.
template <std::uint32_t TERMS, bool LUT>
DITHERING_ALWAYS_INLINE I32x8 few_levels8(const std::uint8_t* src, I32x8 high,
                                                        F32x8 amp_2_32, const F32x8* bounds,
                                                        const float* lut) {
    const I32x8 bytes = widen_bytes(src);
    const F32x8 work = LUT ? gather(lut, bytes) : to_float(bytes);
    const F32x8 v = work + unit_offsets_2_32(high) * amp_2_32;
    // Ordered: a NaN reaches no bound.
    I32x8 minus = as_int(greater_equal(v, bounds[0]));
    for (std::uint32_t j = 1; j < TERMS; ++j) minus = minus + as_int(greater_equal(v, bounds[j]));
    return minus;
}

DITHERING_ALWAYS_INLINE void put32(std::uint8_t* dst, U8x32 v, bool stream) {
    if (stream) {
        stream32(dst, v);
    } else {
        store32(dst, v);
    }
}

template <std::uint32_t TERMS, bool LUT>
void few_levels_vectors(const std::uint8_t* src, std::uint8_t* dst, std::size_t blocks,
                        std::uint64_t state, const RandomFewLevels& params, bool stream) {
    DrawStates s = first_states(state);
    const U64x4 step = splat_u64x4(8 * SPLITMIX_GAMMA);
    const F32x8 amp_2_32 = splat8(params.amp_2_32);
    F32x8 bounds[TERMS];
    for (std::uint32_t j = 0; j < TERMS; ++j) bounds[j] = splat8(params.bounds[j]);
    alignas(16) std::uint8_t table[16] = {};
    std::memcpy(table, params.codes, sizeof params.codes);
    const U8x32 codes = load16_twice(table);
    const float* lut = params.lut;
    for (std::size_t k = 0; k < blocks; ++k, src += 32, dst += 32) {
        I32x8 minus[4];
DITHERING_UNROLL(4)
        for (std::size_t g = 0; g < 4; ++g) {
            minus[g] = few_levels8<TERMS, LUT>(src + 8 * g, draw8(s.even, s.odd), amp_2_32, bounds,
                                               lut);
            advance(s, step);
        }
        const U8x32 levels =
            splat32(0) - narrow_signed_to_bytes(minus[0], minus[1], minus[2], minus[3]);
        put32(dst, lookup16(codes, levels), stream);
    }
}

template <bool LUT>
void few_levels_dispatch(const std::uint8_t* src, std::uint8_t* dst, std::size_t blocks,
                         std::uint64_t state, const RandomFewLevels& params, bool stream) {
    switch (params.terms) {
        case 1: few_levels_vectors<1, LUT>(src, dst, blocks, state, params, stream); break;
        case 2: few_levels_vectors<2, LUT>(src, dst, blocks, state, params, stream); break;
        default: few_levels_vectors<3, LUT>(src, dst, blocks, state, params, stream); break;
    }
}

// dst[n] for n < count from src[n] and draw n + 1 after `state`; `stream`
// only where the form has streaming stores.
void random_few_levels(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                       std::uint64_t state, const RandomFewLevels& params, bool stream) {
    std::size_t n = 0;
    if (stream) {
        const std::size_t head =
            std::min(count, (32 - reinterpret_cast<std::uintptr_t>(dst) % 32) % 32);
        for (; n < head; ++n) {
            dst[n] = few_levels_pixel(src[n], state + (n + 1) * SPLITMIX_GAMMA, params);
        }
    }
    const std::size_t blocks = (count - n) / 32;
    const std::uint64_t at = state + n * SPLITMIX_GAMMA;
    if (params.lut) {
        few_levels_dispatch<true>(src + n, dst + n, blocks, at, params, stream);
    } else {
        few_levels_dispatch<false>(src + n, dst + n, blocks, at, params, stream);
    }
    for (n += 32 * blocks; n < count; ++n) {
        dst[n] = few_levels_pixel(src[n], state + (n + 1) * SPLITMIX_GAMMA, params);
    }
}

// Eight bytes' levels, exactly as LevelQuantizer::level computes them: max
// returns its second operand when the first is NaN, as the scalar
// `q > 0 ? q : 0` does.
DITHERING_ALWAYS_INLINE I32x8 levels8(const std::uint8_t* p, const float* offsets,
                                                    const VectorQuantizer& vq) {
    const I32x8 bytes = widen_bytes(p);
    const F32x8 work = vq.lut_is_byte ? to_float(bytes) : gather(vq.scalar.lut, bytes);
    F32x8 q = (work + load8(offsets)) * splat8(vq.scalar.inv_step);
    q = max(q, zero8());
    q = min(q, splat8(vq.scalar.top));
    const I32x8 whole = truncate(q);
    const F32x8 rest = q - to_float(whole);
    return whole - as_int(greater_equal(rest, splat8(0.5f)));
}

// p[i] = quantizer.scalar(p[i], offsets[i]) for i < count.
void quantize_offsets(std::uint8_t* p, const float* offsets, std::size_t count,
                      const VectorQuantizer& quantizer) {
    // Copied: the stores below may alias anything, and would otherwise
    // make every vector read the quantizer again.
    const VectorQuantizer vq = quantizer;
    const bool shuffle_codes = !vq.codes_are_levels && vq.levels <= 16;
    alignas(16) std::uint8_t first_codes[16] = {};
    for (std::uint32_t i = 0; i < vq.levels && i < 16; ++i) first_codes[i] = vq.scalar.codes[i];
    const U8x32 codes16 = load16_twice(first_codes);
    const std::size_t vectors_end = count / 32 * 32;
    std::size_t i = 0;
    for (; i != vectors_end; i += 32) {
        const U8x32 level_bytes = narrow_to_bytes(
            levels8(p + i, offsets + i, vq), levels8(p + i + 8, offsets + i + 8, vq),
            levels8(p + i + 16, offsets + i + 16, vq), levels8(p + i + 24, offsets + i + 24, vq));
        if (shuffle_codes) {
            store32(p + i, lookup16(codes16, level_bytes));
        } else if (vq.codes_are_levels) {
            store32(p + i, level_bytes);
        } else {
            alignas(32) std::uint8_t found[32];
            store32(found, level_bytes);
            for (std::size_t k = 0; k < 32; ++k) p[i + k] = vq.scalar.codes[found[k]];
        }
    }
    for (; i < count; ++i) p[i] = vq.scalar(p[i], offsets[i]);
}

}  // namespace
}  // namespace dithering
