// Ordered and random dither: a per-pixel offset, then plain quantization.
#pragma once

#include <cstdint>

#include "core/color_space.hpp"
#include "core/image.hpp"
#include "core/levels.hpp"
#include "core/palette.hpp"
#include "core/threshold_matrix.hpp"

namespace dithering {

// Both dithers shift each pixel's working value by (t - 0.5) times one
// quantization step (times `strength`) and quantize; no error moves between
// pixels, so each pixel is independent. t comes from the threshold tile at
// the pixel's position (ordered) or from a seeded generator (random). They
// work in place on `img.pixels`, cannot fail, and give exactly the bytes of
// the plain per-pixel arithmetic (single precision, each operation rounded
// on its own, in the order written in the .cpp).
//
// Levels: every channel but `img.alpha` goes to codes[quantize(lut[b] +
// offset)], offset = (t + -0.5) * (strength * step), the same offset for all
// channels of a pixel.
// Palette: channels 0..2 become colors[nearest(c0, c1, c2)] with
// c_k = (spread[k] * strength) * (t + -0.5) + lut[b_k]; channels from 3 up
// keep their bytes.

void ordered_levels(Img& img, const ColorSpace& space, const Levels& levels, float strength,
                    const ThresholdMatrix& matrix) noexcept;
void ordered_palette(Img& img, const ColorSpace& space, const Palette& palette, float strength,
                     const ThresholdMatrix& matrix) noexcept;

// SplitMix64 seeding: the caller's 64-bit seed mixed once before the first
// draw; pixel n (in memory order) uses draw n + 1.
std::uint64_t random_state_from_seed(std::uint64_t seed) noexcept;

// The random dither's t for a generator state after its increment: the top
// 24 bits of the SplitMix64 output, scaled to -0.5 .. 0.5 - 2^-24 (exact).
float random_unit_offset(std::uint64_t incremented_state) noexcept;

void random_levels(Img& img, const ColorSpace& space, const Levels& levels, float strength,
                   std::uint64_t state) noexcept;
void random_palette(Img& img, const ColorSpace& space, const Palette& palette, float strength,
                    std::uint64_t state) noexcept;

}  // namespace dithering
