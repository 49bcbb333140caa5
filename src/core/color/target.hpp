// The quantization target of one call: per-channel levels or a palette.
#pragma once

#include <variant>

#include "core/color/levels.hpp"
#include "core/color/palette.hpp"

namespace dithering {

// The algorithms branch on the alternative once per call, before their
// pixel loops, and run a separate loop for each.
using Target = std::variant<Levels, Palette>;

}  // namespace dithering
