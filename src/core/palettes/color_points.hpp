// What a sample holds, surveyed in one pass: its histogram and the weighted
// points a palette is refined on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/palettes/color_sample.hpp"
#include "core/palettes/moment_cube.hpp"

namespace dithering {

// The sample's colours as weighted points. When it has at most
// EXACT_POINT_LIMIT distinct colours (of positive weight), one point per
// colour, in increasing order of 0xRRGGBB; otherwise one per non-empty
// cell of the moment cube, in cell order, at the weighted mean of its
// pixels. Either way each point keeps its moments (so that a group of
// points has the exact mean of its pixels) and one real pixel of it, its
// representative: a colour set to a representative is nearest to at
// least that pixel.
struct ColorPoints {
    std::vector<float> values;                // 3 per point
    std::vector<Moments> moments;             // 1 per point
    std::vector<std::uint8_t> representatives;  // 3 per point
    bool exact = false;                       // one point per distinct colour

    std::size_t size() const noexcept { return moments.size(); }
};

// A cell of 2^(8 - BITS) values per side holds at most 64 distinct
// colours, so past this many distinct colours there are at least 4096
// non-empty cells: as many points as the largest palette has colours.
inline constexpr std::size_t EXACT_POINT_LIMIT = std::size_t{1} << 18;

struct ColorSurvey {
    MomentCube cube;  // the plain histogram, not yet accumulated
    ColorPoints points;
    std::size_t distinct = 0;  // distinct colours, or EXACT_POINT_LIMIT + 1 for more
};

// The survey of `sample`. Nullopt when memory runs out. A sample whose
// every weight is 0 is surveyed as if every pixel weighed 1.
std::optional<ColorSurvey> survey_colors(const ColorSample& sample) noexcept;

}  // namespace dithering
