// The per-call table from stored byte to working value (sRGB or linear light).
#pragma once

#include <array>

namespace dithering {

// Working values are single-precision floats on a 0..255 scale in both
// modes: without `linear` a byte v works as v itself, with `linear` as its
// linear-light intensity times 255. Built once per call, read-only after.
struct ColorSpace {
    std::array<float, 256> lut{};
    bool linear = false;

    // Fills `lut` from the mode alone; cannot fail. In linear mode
    // lut[0] = 0, lut[255] = 255 exactly and the table strictly increases.
    static ColorSpace create(bool linear) noexcept;
};

}  // namespace dithering
