// The sequential rule that defines the nearest colour, one candidate at a
// time; every faster search must give its index.
#pragma once

#include <cstddef>
#include <limits>

#include "core/color/color_distance.hpp"

namespace dithering {

// Candidates are considered in palette order, each taken when its distance
// to the value is below the best so far, starting from +inf and index 0:
// the first of equal distances wins, and a NaN distance (`best > d` is an
// ordered comparison) never does, so a value no distance reaches keeps
// colour 0.
struct SequentialNearest {
    float best = std::numeric_limits<float>::infinity();
    std::size_t index = 0;

    // Colour `j`, of working values w, against the value c.
    DITHERING_ALWAYS_INLINE void consider(float c0, float c1, float c2, float w0, float w1,
                                          float w2, std::size_t j) {
        const float t1 = c1 - w1;
        const float t0 = c0 - w0;
        const float t2 = c2 - w2;
        const float d = squared_distance(t0, t1, t2);
        if (best > d) {
            best = d;
            index = j;
        }
    }
};

}  // namespace dithering
