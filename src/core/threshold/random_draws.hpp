// Random dither's vector loops (the draws, the one-pass few-levels form and
// the quantizer of drawn offsets), written once over a lane-width tag D
// (simd/lanes8.hpp, simd/vec16_avx512.hpp): each source file that includes
// this has first included the vector types it builds them with and gets
// its own copy of the loops, at internal linkage, for those.
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
template <class D>
DITHERING_ALWAYS_INLINE typename D::U64 mix_high(typename D::U64 z) {
    z = z ^ shift_right<30>(z);
    z = multiply(z, splat_u64(D{}, 0xbf58476d1ce4e5b9ULL));
    z = z ^ shift_right<27>(z);
    return multiply_high(z, splat_u64(D{}, 0x94d049bb133111ebULL));
}

// D::N consecutive draws, `even` holding the states of draws 0, 2, 4, ...
// and `odd` those of 1, 3, 5, ...: their bits 32..63 in order, one per
// 32-bit lane.
template <class D>
DITHERING_ALWAYS_INLINE typename D::I32 draw(typename D::U64 even, typename D::U64 odd) {
    return high_words(mix_high<D>(even), mix_high<D>(odd));
}

// The dither's t of each lane, times 2^32: with u = high >> 8, t = u *
// 2^-24 - 0.5. Flipping the top bit and clearing the low eight gives the
// signed integer (u - 2^23) * 256, which has at most 24 significant bits,
// so its conversion is exact, and so is a scaling by 2^-32: t exactly, as
// the scalar form computes it.
template <class D>
DITHERING_ALWAYS_INLINE typename D::F32 unit_offsets_2_32(typename D::I32 high) {
    const auto top = splat_int(D{}, static_cast<std::int32_t>(0x80000000u));
    const auto kept = splat_int(D{}, static_cast<std::int32_t>(0xffffff00u));
    return to_float((high ^ top) & kept);
}

template <class D>
DITHERING_ALWAYS_INLINE typename D::F32 unit_offsets(typename D::I32 high) {
    return unit_offsets_2_32<D>(high) * splat(D{}, 0x1p-32f);
}

template <class D>
struct DrawStates {
    typename D::U64 even;
    typename D::U64 odd;
};

// The states of draws 1..D::N after `state`, arranged for draw.
template <class D>
inline DrawStates<D> first_states(std::uint64_t state) {
    std::uint64_t even[D::N / 2];
    std::uint64_t odd[D::N / 2];
    for (std::size_t j = 0; j < D::N / 2; ++j) {
        even[j] = state + (2 * j + 1) * SPLITMIX_GAMMA;
        odd[j] = state + (2 * j + 2) * SPLITMIX_GAMMA;
    }
    return {load_u64(D{}, even), load_u64(D{}, odd)};
}

template <class D>
DITHERING_ALWAYS_INLINE void advance(DrawStates<D>& s, typename D::U64 step) {
    s.even = s.even + step;
    s.odd = s.odd + step;
}

// out[i] = t(state + (i + 1) * gamma) * scale for i < count.
template <class D>
void draw_offsets(std::uint64_t state, std::size_t count, float scale, float* out) {
    constexpr std::size_t N = D::N;
    DrawStates<D> s = first_states<D>(state);
    const auto step = splat_u64(D{}, N * SPLITMIX_GAMMA);
    const auto amp = splat(D{}, scale);
    float* at = out;
    for (float* const end = out + count / N * N; at != end; at += N) {
        store(at, unit_offsets<D>(draw<D>(s.even, s.odd)) * amp);
        advance(s, step);
    }
    for (std::size_t i = count / N * N; i < count; ++i) {
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

// D::N pixels: minus their levels, one per 32-bit lane.
template <class D, std::uint32_t TERMS, bool LUT>
DITHERING_ALWAYS_INLINE typename D::I32 few_levels_lanes(const std::uint8_t* src,
                                                         typename D::I32 high,
                                                         typename D::F32 amp_2_32,
                                                         const typename D::F32* bounds,
                                                         const float* lut) {
    const auto bytes = widen_bytes(D{}, src);
    const typename D::F32 work = LUT ? gather(lut, bytes) : to_float(bytes);
    const auto v = work + unit_offsets_2_32<D>(high) * amp_2_32;
    // Ordered: a NaN reaches no bound.
    auto minus = as_int(greater_equal(v, bounds[0]));
    for (std::uint32_t j = 1; j < TERMS; ++j) minus = minus + as_int(greater_equal(v, bounds[j]));
    return minus;
}

template <class D>
DITHERING_ALWAYS_INLINE void put_bytes(std::uint8_t* dst, typename D::U8 v, bool stream) {
    if (stream) {
        stream_bytes(dst, v);
    } else {
        store_bytes(dst, v);
    }
}

// Blocks of 4 * D::N pixels: four vectors of levels narrowed to one of bytes.
template <class D, std::uint32_t TERMS, bool LUT>
void few_levels_vectors(const std::uint8_t* src, std::uint8_t* dst, std::size_t blocks,
                        std::uint64_t state, const RandomFewLevels& params, bool stream) {
    constexpr std::size_t N = D::N;
    DrawStates<D> s = first_states<D>(state);
    const auto step = splat_u64(D{}, N * SPLITMIX_GAMMA);
    const auto amp_2_32 = splat(D{}, params.amp_2_32);
    typename D::F32 bounds[TERMS];
    for (std::uint32_t j = 0; j < TERMS; ++j) bounds[j] = splat(D{}, params.bounds[j]);
    alignas(16) std::uint8_t table[16] = {};
    std::memcpy(table, params.codes, sizeof params.codes);
    const auto codes = load16_each_block(D{}, table);
    const float* lut = params.lut;
    for (std::size_t k = 0; k < blocks; ++k, src += 4 * N, dst += 4 * N) {
        typename D::I32 minus[4];
DITHERING_UNROLL(4)
        for (std::size_t g = 0; g < 4; ++g) {
            minus[g] = few_levels_lanes<D, TERMS, LUT>(src + N * g, draw<D>(s.even, s.odd),
                                                       amp_2_32, bounds, lut);
            advance(s, step);
        }
        const auto levels = splat_bytes(D{}, 0) -
                            narrow_signed_to_bytes(minus[0], minus[1], minus[2], minus[3]);
        put_bytes<D>(dst, lookup16(codes, levels), stream);
    }
}

template <class D, bool LUT>
void few_levels_dispatch(const std::uint8_t* src, std::uint8_t* dst, std::size_t blocks,
                         std::uint64_t state, const RandomFewLevels& params, bool stream) {
    switch (params.terms) {
        case 1: few_levels_vectors<D, 1, LUT>(src, dst, blocks, state, params, stream); break;
        case 2: few_levels_vectors<D, 2, LUT>(src, dst, blocks, state, params, stream); break;
        default: few_levels_vectors<D, 3, LUT>(src, dst, blocks, state, params, stream); break;
    }
}

// dst[n] for n < count from src[n] and draw n + 1 after `state`; `stream`
// only where the form has streaming stores.
template <class D>
void random_few_levels(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                       std::uint64_t state, const RandomFewLevels& params, bool stream) {
    constexpr std::size_t BLOCK = 4 * D::N;
    std::size_t n = 0;
    if (stream) {
        const std::size_t head =
            std::min(count, (BLOCK - reinterpret_cast<std::uintptr_t>(dst) % BLOCK) % BLOCK);
        for (; n < head; ++n) {
            dst[n] = few_levels_pixel(src[n], state + (n + 1) * SPLITMIX_GAMMA, params);
        }
    }
    const std::size_t blocks = (count - n) / BLOCK;
    const std::uint64_t at = state + n * SPLITMIX_GAMMA;
    if (params.lut) {
        few_levels_dispatch<D, true>(src + n, dst + n, blocks, at, params, stream);
    } else {
        few_levels_dispatch<D, false>(src + n, dst + n, blocks, at, params, stream);
    }
    for (n += BLOCK * blocks; n < count; ++n) {
        dst[n] = few_levels_pixel(src[n], state + (n + 1) * SPLITMIX_GAMMA, params);
    }
}

// D::N bytes' levels, exactly as LevelQuantizer::level computes them: max
// returns its second operand when the first is NaN, as the scalar
// `q > 0 ? q : 0` does.
template <class D>
DITHERING_ALWAYS_INLINE typename D::I32 levels_lanes(const std::uint8_t* p, const float* offsets,
                                                     const VectorQuantizer& vq) {
    const auto bytes = widen_bytes(D{}, p);
    const typename D::F32 work =
        vq.lut_is_byte ? to_float(bytes) : gather(vq.scalar.lut, bytes);
    auto q = (work + load(D{}, offsets)) * splat(D{}, vq.scalar.inv_step);
    q = max(q, zero(D{}));
    q = min(q, splat(D{}, vq.scalar.top));
    const auto whole = truncate(q);
    const auto rest = q - to_float(whole);
    return whole - as_int(greater_equal(rest, splat(D{}, 0.5f)));
}

// p[i] = quantizer.scalar(p[i], offsets[i]) for i < count.
template <class D>
void quantize_offsets(std::uint8_t* p, const float* offsets, std::size_t count,
                      const VectorQuantizer& quantizer) {
    constexpr std::size_t N = D::N;
    constexpr std::size_t BLOCK = 4 * N;
    // Copied: the stores below may alias anything, and would otherwise
    // make every vector read the quantizer again.
    const VectorQuantizer vq = quantizer;
    const bool shuffle_codes = !vq.codes_are_levels && vq.levels <= 16;
    alignas(16) std::uint8_t first_codes[16] = {};
    for (std::uint32_t i = 0; i < vq.levels && i < 16; ++i) first_codes[i] = vq.scalar.codes[i];
    const auto codes16 = load16_each_block(D{}, first_codes);
    const std::size_t vectors_end = count / BLOCK * BLOCK;
    std::size_t i = 0;
    for (; i != vectors_end; i += BLOCK) {
        const auto level_bytes = narrow_to_bytes(
            levels_lanes<D>(p + i, offsets + i, vq),
            levels_lanes<D>(p + i + N, offsets + i + N, vq),
            levels_lanes<D>(p + i + 2 * N, offsets + i + 2 * N, vq),
            levels_lanes<D>(p + i + 3 * N, offsets + i + 3 * N, vq));
        if (shuffle_codes) {
            store_bytes(p + i, lookup16(codes16, level_bytes));
        } else if (vq.codes_are_levels) {
            store_bytes(p + i, level_bytes);
        } else {
            alignas(64) std::uint8_t found[BLOCK];
            store_bytes(found, level_bytes);
            for (std::size_t k = 0; k < BLOCK; ++k) p[i + k] = vq.scalar.codes[found[k]];
        }
    }
    for (; i < count; ++i) p[i] = vq.scalar(p[i], offsets[i]);
}

}  // namespace
}  // namespace dithering
