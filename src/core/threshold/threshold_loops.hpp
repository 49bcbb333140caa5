// The inner loops of ordered and random dither: an exact scalar quantizer,
// the byte-compare rows of ordered dither and the vector draw and quantize
// loops, each giving the bytes of the plain per-pixel arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/arch.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/streaming.hpp"

namespace dithering {

class NearestGrid;

inline constexpr std::uint64_t SPLITMIX_GAMMA = 0x9e3779b97f4a7c15ULL;

// The SplitMix64 output of a state that has just been incremented, reduced
// to the dither's t: the top 24 bits u scaled to -0.5 .. 0.5 - 2^-24. u has
// 24 bits, so its conversion and the scaling are exact; only the
// subtraction rounds (and for these values it does not need to).
inline float splitmix_unit_offset(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z = z ^ (z >> 31);
    const auto u = static_cast<std::uint32_t>(z >> 40);
    return static_cast<float>(u) * 0x1p-24f - 0.5f;
}

// quantize(lut[b] + offset) and its code, without a call to roundf.
// Clamping q to 0..top first and rounding afterwards gives the same level
// as rounding first (both maps are monotone and top is a whole number), and
// once q is known to be in 0..top, rounding half away from zero is trunc(q)
// plus one when the exact remainder q - trunc(q) is at least one half (no
// "+ 0.5", which rounds 0.49999997 up). The clamp is written so that a NaN
// fails the first test and becomes 0, level 0.
struct LevelQuantizer {
    const float* lut;  // 256 working values
    const std::uint8_t* codes;
    float inv_step;
    float top;

    std::uint32_t level(std::uint8_t byte, float offset) const noexcept {
        return level_of(lut[byte] + offset);
    }

    // The same for a working value already shifted.
    std::uint32_t level_of(float v) const noexcept {
        float q = v * inv_step;
        q = q > 0.0f ? q : 0.0f;
        q = q < top ? q : top;
        const auto whole = static_cast<std::uint32_t>(q);
        const float rest = q - static_cast<float>(whole);
        return whole + (rest >= 0.5f ? 1u : 0u);
    }

    std::uint8_t operator()(std::uint8_t byte, float offset) const noexcept {
        return codes[level(byte, offset)];
    }
};

// Ordered dither by byte comparisons. For one tile cell the level is a
// non-decreasing step function of the input byte b, so the output byte can
// be written as
//     out = base + sum over j of (b > bound_j ? step_j : 0)   (mod 256)
// with base the code of the level byte 0 reaches, bound_j + 1 the first byte
// reaching the j-th level above it and step_j the rise of the code there. A
// plan row holds these lanes for `period` bytes of an image row (a whole
// number of tile repeats, a multiple of 32): `base`, then `terms` pairs
// (bounds, steps), then, when `keep` is set, a mask of the bytes to leave
// unchanged (the alpha channel). Each block of lanes is `stride` = period +
// 32 bytes long, its last 32 bytes repeating its first 32, so that a vector
// may start at any lane of the period. A lane that does not use term j has
// bound 255, which no byte exceeds.
//
// The level form (`codes` set, at most 16 levels; the dither gives it to
// the AVX2 loop only) counts levels
// instead and looks the code up at the end, two operations per term instead
// of four:
//     out = codes[base level + number of j with b > bound_j]
// Its blocks are the base levels, then the `terms` bounds with their top bit
// flipped (so that a signed byte comparison orders them as unsigned bytes),
// then the keep mask. Kept lanes have base level 0x80, which the lookup
// turns into 0, and bounds that no byte exceeds.
struct CompareRow {
    const std::uint8_t* lanes;
    std::size_t period;
    std::size_t stride;
    std::size_t terms;
    bool keep;
    const std::uint8_t* codes = nullptr;  // 16 bytes: the level form
};

inline constexpr std::size_t COMPARE_PERIOD_UNIT = 32;

// Writes the `count` bytes of an image row at dst from the input bytes at
// src (the same row of the input; src == dst rewrites the row in place);
// the row starts at plan lane 0. One loop (compare_rows.hpp) over 32-byte
// vectors, as two 128-bit halves here.
void compare_row_vec128(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                      const CompareRow& row) noexcept;
#if DITHERING_ARCH_X86
// Only callable when isa_available(Isa::avx2). With `stream`, the aligned
// vectors bypass the caches (see finish_streaming).
void compare_row_avx2(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                      const CompareRow& row, bool stream) noexcept;
#endif

// Palettes up to FULL_SCAN_MAX_COLORS (color/nearest_grid.hpp) are searched
// by scanning every colour, several pixels at a time (in vector lanes,
// without a per-pixel reduction), larger ones in a NearestGrid; pixels go
// to the searches in blocks of at most PALETTE_POINTS_MAX.
inline constexpr std::size_t PALETTE_POINTS_MAX = 64;

// The nearest palette colour for `count` points (a multiple of 8), eight
// at a time in two 128-bit halves, each lane running the sequential rule
// of Palette::nearest over the `colors` working colours (R, G, B floats)
// in order, as nearest_points_avx2 below (the same source,
// nearest_points.hpp); for palettes small enough to scan whole, on any
// processor.
void nearest_points_vec128(const float* working, std::size_t colors, const float* c0,
                        const float* c1, const float* c2, std::size_t count,
                        std::uint32_t* out) noexcept;

// The random-dither draws: out[i] = t(state + (i + 1) * gamma) * scale for
// i < count, t as in splitmix_unit_offset, each product rounded once. These
// and the two random loops below are one source (random_draws.hpp) over
// 8-lane vectors: AVX2, or two 128-bit halves.
void draw_offsets_vec128(std::uint64_t state, std::size_t count, float scale, float* out) noexcept;
// Whether the 128-bit form of these loops runs faster than the scalar one
// on this build's 128-bit vectors, for the one-pass form below (`one_pass`)
// or for the draws and the quantizer. Measured on 1024 x 1024 images, 1
// channel of 2 and 8 levels, 3 of 2, 4 of 64. x86 (SSE2 forced on an AVX2
// machine): the vector form takes 1.2 to 5 times less time than the scalar
// loop, whose 64-bit multiplies are native. aarch64 under qemu: the
// one-pass form 1.8 times less, the draws and the quantizer the same time
// as the scalar loop, so the scalar loop stays there. The portable form
// has no vector instructions to win with.
constexpr bool random_vec128_pays(bool one_pass) noexcept {
    switch (VEC128_KIND) {
        case Vec128Kind::sse2: return true;
        case Vec128Kind::neon: return one_pass;
        case Vec128Kind::portable: break;
    }
    return false;
}
#if DITHERING_ARCH_X86
// Only callable when isa_available(Isa::avx2).
void draw_offsets_avx2(std::uint64_t state, std::size_t count, float scale, float* out) noexcept;
// Only callable when isa_available(Isa::avx512); the same source over
// sixteen lanes, and so for the two loops below.
void draw_offsets_avx512(std::uint64_t state, std::size_t count, float scale,
                         float* out) noexcept;
#endif

// Random dither of a one-channel image to at most four levels, the draws
// and the quantization in one pass. The level of a pixel is the number of
// `bounds` that its working value v = lut[b] + t * amp reaches (v >= bound,
// false for NaN), bound j being the smallest float whose level is j + 1;
// the output byte is codes[level]. The loop takes t * amp as k * amp_2_32
// for the integer k = t * 2^32, with amp_2_32 = amp * 2^-32: the same real
// product, so the same rounded one, as long as amp_2_32 is exactly that
// (which the caller checks: a tiny amp would lose bits to underflow).
struct RandomFewLevels {
    const float* lut;  // null when the working value of a byte is the byte
    float amp;
    float amp_2_32;
    std::uint32_t terms;  // 1..3: levels - 1
    float bounds[3];
    std::uint8_t codes[4];
};

// dst[n] for n < count, from src[n] and draw n + 1 after `state` (the
// pixel at src[0] is pixel 0 of its generator run). src may equal dst.
void random_few_levels_vec128(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                           std::uint64_t state, const RandomFewLevels& params) noexcept;
#if DITHERING_ARCH_X86
// Only callable when isa_available(Isa::avx2); with `stream` as above.
void random_few_levels_avx2(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                            std::uint64_t state, const RandomFewLevels& params,
                            bool stream) noexcept;
void random_few_levels_avx512(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                              std::uint64_t state, const RandomFewLevels& params,
                              bool stream) noexcept;
#endif

// What the vector quantizer needs besides the scalar one: whether the
// working value of a byte is the byte itself (then it is converted rather
// than looked up) and whether every code is its own level (then there is
// nothing to look up at the end). Up to 16 levels the codes are looked up
// with one byte shuffle.
struct VectorQuantizer {
    LevelQuantizer scalar;
    std::uint32_t levels;
    bool lut_is_byte;
    bool codes_are_levels;
};

// p[i] = quantizer.scalar(p[i], offsets[i]) for i < count, in 8-lane float
// vectors, with the same operations in the same order.
void quantize_offsets_vec128(std::uint8_t* p, const float* offsets, std::size_t count,
                          const VectorQuantizer& quantizer) noexcept;
#if DITHERING_ARCH_X86
// Only callable when isa_available(Isa::avx2).
void quantize_offsets_avx2(std::uint8_t* p, const float* offsets, std::size_t count,
                           const VectorQuantizer& quantizer) noexcept;
void quantize_offsets_avx512(std::uint8_t* p, const float* offsets, std::size_t count,
                             const VectorQuantizer& quantizer) noexcept;

// The nearest palette colour for `count` points at once (count a multiple
// of 8), one point per vector lane: each lane runs the sequential rule of
// Palette::nearest over the `colors` working colours (R, G, B floats) in
// order: d = squared_distance (color_distance.hpp), taken when
// best > d, starting from +inf and index 0. Same operations, same order,
// so the same index. Only callable when isa_available(Isa::avx2).
void nearest_points_avx2(const float* working, std::size_t colors, const float* c0,
                         const float* c1, const float* c2, std::size_t count,
                         std::uint32_t* out) noexcept;
// The same sixteen points a step in AVX-512 registers (the last eight, if
// any, in AVX2 ones). Only callable when isa_available(Isa::avx512).
void nearest_points_avx512(const float* working, std::size_t colors, const float* c0,
                           const float* c1, const float* c2, std::size_t count,
                           std::uint32_t* out) noexcept;

#endif

// A palette as the palette pixel loops search it: every colour for every
// pixel, or, with `grid` set (for larger palettes), the colours its cell
// lists.
struct PointSearch {
    NearestGrid* grid = nullptr;
    const float* lut;      // the working value of each byte
    bool lut_is_byte;      // lut[b] == b for every byte: converted, not looked up
    float amp[3];          // spread * strength, per channel
    const float* working;  // R, G, B floats per colour
    std::size_t colors;
    // Colour j's bytes R, G, B, 0 as one word (the bytes in that order in
    // memory), so that eight pixels' colours are one lookup of eight
    // words; at least 16 words.
    const std::uint32_t* packed;
};
// `count` <= PALETTE_POINTS_MAX pixels of `channels` bytes at p, pixel k
// shifted by u[k], each to the colour nearest to c_j = amp_j * u[k] +
// lut[b_j] (the product rounded, then the sum) by the nearest-colour scan
// or in the grid, written over channels 0..2. One loop (palette_points.hpp)
// over 8-lane vectors, as two 128-bit halves here, whose grid search is
// NearestGrid::nearest.
void palette_points_vec128(std::uint8_t* p, std::size_t count, std::size_t channels, const float* u,
                           const PointSearch& palette) noexcept;
#if DITHERING_ARCH_X86
// The same in AVX2 registers, the grid searched by its AVX2 search. Only
// callable when isa_available(Isa::avx2).
void palette_points_avx2(std::uint8_t* p, std::size_t count, std::size_t channels,
                         const float* u, const PointSearch& palette) noexcept;
// The same with the scan of every colour by nearest_points_avx512. Only
// callable when isa_available(Isa::avx512).
void palette_points_avx512(std::uint8_t* p, std::size_t count, std::size_t channels,
                           const float* u, const PointSearch& palette) noexcept;
#endif

}  // namespace dithering
