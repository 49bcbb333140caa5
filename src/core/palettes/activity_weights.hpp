// Per-pixel weights that give smooth areas of a picture more of its palette
// than busy ones.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dithering {

// Where a picture is busy (foliage, texture, edges) the dither hides the
// error among the detail, and a colour spent there is hardly seen; where it
// is smooth (sky, skin, walls) the same error shows as grain and false
// tone. So each pixel counts less the busier its neighbourhood:
//
//   luma L = (77 R + 150 G + 29 B + 128) >> 8, per pixel (0..255);
//   gradient g = |L(x+1, y) - L(x-1, y)| + |L(x, y+1) - L(x, y-1)|, the
//     neighbours taken at the nearest pixel inside the image at the edges;
//   activity s = the sum of g over the 3 x 3 block around the pixel
//     (again clamped to the image), 0..4590;
//   weight = max(1, floor(ACTIVITY_TOP * 9 * ACTIVITY_KNEE / (9 * ACTIVITY_KNEE + s))).
//
// A flat block weighs ACTIVITY_TOP, one whose mean gradient is
// ACTIVITY_KNEE weighs half that, and no pixel weighs less than 1. Integers
// throughout, so every machine gives the same weights.
inline constexpr std::uint32_t ACTIVITY_TOP = 16;
inline constexpr std::uint32_t ACTIVITY_KNEE = 12;

// Fills `weights` (height x width, row-major) for the pixels (height x
// width, `channels` >= 3 interleaved bytes each, rows packed). False only
// when memory for three rows runs out.
bool activity_weights(const std::uint8_t* pixels, std::size_t height, std::size_t width,
                      std::size_t channels, std::uint8_t* weights) noexcept;

}  // namespace dithering
