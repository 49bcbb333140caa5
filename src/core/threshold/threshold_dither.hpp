// Ordered and random dither: a per-pixel offset, then plain quantization.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/color/palette.hpp"
#include "core/image/image_view.hpp"
#include "core/simd/isa.hpp"
#include "core/threshold/threshold_matrix.hpp"

namespace dithering {

// Both dithers shift each pixel's working value by u times one quantization
// step (times `strength`) and quantize; no error moves between pixels, so
// each pixel is independent. u is t + -0.5 for the threshold t of the tile
// cell at the pixel's position (ordered), or the pixel's draw from a seeded
// generator, already in -0.5 .. 0.5 (random). They work in place on the
// bytes of `img` (image_view.hpp), cannot fail, and give exactly the bytes of the plain
// per-pixel arithmetic (single precision, each operation rounded on its
// own, in the order written here).
//
// Levels: every channel but `img.alpha` goes to codes[quantize(lut[b] +
// offset)], offset = u * (strength * step), the same offset for all
// channels of a pixel.
// Palette: channels 0..2 become colors[nearest(c0, c1, c2)] with
// c_k = (spread[k] * strength) * u + lut[b_k]; channels from 3 up keep
// their bytes.

// Where a pass reads its input: with `source` null, img.pixels holds the
// input and is rewritten in place; otherwise `source` holds the input bytes
// in img's layout (img.size() of them, not overlapping img.pixels) and
// img.pixels is only written, whatever it held before. Reading the caller's
// bytes directly saves copying them first.
//
// Each picks its fastest loop for this processor and this call; all loops
// give the same bytes (see the *_on forms below).
void ordered_levels(ImageView img, const ColorSpace& space, const Levels& levels, float strength,
                    const ThresholdMatrix& matrix, const std::uint8_t* source = nullptr) noexcept;
void ordered_palette(ImageView img, const ColorSpace& space, const Palette& palette, float strength,
                     const ThresholdMatrix& matrix, const std::uint8_t* source = nullptr) noexcept;

// SplitMix64 seeding: the caller's 64-bit seed mixed once before the first
// draw; pixel n (in memory order) uses draw n + 1.
std::uint64_t random_state_from_seed(std::uint64_t seed) noexcept;

// The random dither's t for a generator state after its increment: the top
// 24 bits of the SplitMix64 output, scaled to -0.5 .. 0.5 - 2^-24 (exact).
float random_unit_offset(std::uint64_t incremented_state) noexcept;

void random_levels(ImageView img, const ColorSpace& space, const Levels& levels, float strength,
                   std::uint64_t state, const std::uint8_t* source = nullptr) noexcept;
void random_palette(ImageView img, const ColorSpace& space, const Palette& palette, float strength,
                    std::uint64_t state, const std::uint8_t* source = nullptr) noexcept;

// The individual loops, for tests and benchmarks: an algorithm on an
// instruction set (simd/isa.hpp). `plain` is the per-pixel arithmetic
// exactly as written above, through Levels::quantize and Palette::nearest,
// on Isa::portable only; every other loop must give its bytes.
//
// Ordered levels:
//   arithmetic  per pixel, without the rounding call: portable, and avx2 in
//               8-lane float vectors;
//   table       portable: one output byte per (tile cell, input byte),
//               looked up;
//   compare     vec128 and avx2: per tile cell, the output byte as a sum of
//               byte comparisons against per-level bounds, 16/32 at a time
//               (needs few levels per cell and a small tile; with at most
//               16 levels the AVX2 loop counts the bounds passed and looks
//               the code up).
enum class OrderedLevelsAlgorithm { plain, arithmetic, table, compare };

// Random levels, and both palette passes (`fast`):
//   portable  random levels only: levels one pixel at a time without the
//             rounding call;
//   vec128    random levels over 128-bit halves (SSE2, NEON, portable),
//             chosen only where it beats the portable loop; the palette
//             passes on any processor: palettes of up to 64 colours
//             searched 8 pixels at a time in 128-bit halves (all distances
//             per pixel, in the order Palette::nearest uses), larger ones
//             pixel by pixel in a NearestGrid;
//   avx2      draws 8 at a time, and the levels quantized or the nearest
//             colours found 8 pixels at a time (palettes as above, with 8
//             lanes and the grid); one channel to at most four levels in
//             one pass, each level a float comparison against the smallest
//             working value that reaches it.
enum class ThresholdAlgorithm { plain, fast };

// How a loop reads and writes: `source` as above; with `stream`, the vector
// loops that support it write the result with streaming stores, which
// bypass the caches (the automatic choice for results of STREAM_MIN_BYTES
// and more).
struct PassIo {
    const std::uint8_t* source = nullptr;
    bool stream = false;
};

// Writing a result much larger than the caches through them costs a read of
// every line before it is written and pushes everything else out; streaming
// stores skip both. A smaller result is better left in the caches for
// whatever reads it next.
inline constexpr std::size_t STREAM_MIN_BYTES = std::size_t{8} << 20;

// Each returns false, leaving img.pixels untouched, when its loop cannot run
// here: the algorithm has no loop on that instruction set, the processor
// lacks the instruction set, the call's tables would be too large, or
// memory ran out.
bool ordered_levels_on(OrderedLevelsAlgorithm algorithm, Isa isa, ImageView img,
                       const ColorSpace& space, const Levels& levels, float strength,
                       const ThresholdMatrix& matrix, PassIo io = {}) noexcept;
bool ordered_palette_on(ThresholdAlgorithm algorithm, Isa isa, ImageView img,
                        const ColorSpace& space, const Palette& palette, float strength,
                        const ThresholdMatrix& matrix, PassIo io = {}) noexcept;
bool random_levels_on(ThresholdAlgorithm algorithm, Isa isa, ImageView img, const ColorSpace& space,
                      const Levels& levels, float strength, std::uint64_t state,
                      PassIo io = {}) noexcept;
bool random_palette_on(ThresholdAlgorithm algorithm, Isa isa, ImageView img,
                       const ColorSpace& space, const Palette& palette, float strength,
                       std::uint64_t state, PassIo io = {}) noexcept;

}  // namespace dithering
