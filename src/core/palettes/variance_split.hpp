// Colours for a histogram by variance-minimising splits: the box of cells
// with the largest squared error is cut in two where the halves' summed
// squared error is least, until there are enough boxes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/palettes/moment_cube.hpp"

namespace dithering {

// Up to `n` colours (3 bytes each, the weighted means of the boxes, in the
// order the boxes were made) for the cumulative `cube`. Fewer only when no
// box can be cut any more: every box is one cell, or holds all its pixels
// in one. Each cut is the exact best one over the three axes and every
// position: the one that most lowers the squared error, the first axis
// (R, G, B) and then the lowest position winning ties. Throws
// std::bad_alloc.
std::vector<std::uint8_t> variance_split(const MomentCube& cube, std::size_t n);

}  // namespace dithering
