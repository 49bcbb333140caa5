// A palette made from a picture: variance-minimising splits of its
// histogram, refined by a few steps of Lloyd's method, every colour then
// nearest to some pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/palettes/color_sample.hpp"

namespace dithering {

inline constexpr std::size_t MAKE_PALETTE_MIN = 2;
inline constexpr std::size_t MAKE_PALETTE_MAX = 4096;

// At most `n` (MAKE_PALETTE_MIN..MAX) colours for `sample`, 3 bytes each,
// distinct:
// - a sample of at most n distinct colours (weight 0 not counted) gets
//   exactly those, the heaviest first (ties in order of 0xRRGGBB);
// - otherwise n colours: the boxes of variance_split, then up to
//   `refine_steps` Lloyd steps (each colour moved to the weighted mean of
//   the sample's pixels nearest to it, stopping early once none moves),
//   ordered heaviest first; then any colour that no pixel of the sample is
//   nearest to is replaced by the pixel that is farthest (weighted) from
//   its own nearest colour, until every colour is nearest to some pixel
//   of positive weight (or, with all weights 0, of the sample).
// "Nearest" is by squared distance in sRGB bytes, the lowest index winning
// ties: Palette::nearest with no linear light. The result depends on the
// sample's bytes and weights only, the same on every machine. Empty for an
// empty sample; nullopt when memory runs out.
std::optional<std::vector<std::uint8_t>> make_palette(const ColorSample& sample, std::size_t n,
                                                      unsigned refine_steps) noexcept;

}  // namespace dithering
