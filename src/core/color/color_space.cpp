// The sRGB decoding curve on the 0..255 working scale.
#include "core/color/color_space.hpp"

#include <cmath>

namespace dithering {

ColorSpace ColorSpace::create(bool linear) noexcept {
    ColorSpace space;
    space.linear = linear;
    for (int v = 0; v < 256; ++v) {
        const float byte = static_cast<float>(v);
        if (!linear) {
            space.lut[static_cast<std::size_t>(v)] = byte;
            continue;
        }
        // Every step in single precision, rounded on its own. The test is
        // strict, so bytes 0..10 take the straight segment; it divides by
        // 12.92 rather than multiplying by a reciprocal, and the power is
        // the C library's powf: the last bits of the table depend on both.
        const float c = byte / 255.0f;
        float l;
        if (c > 0.04045f) {
            const float shifted = c + 0.055f;
            l = powf(shifted / 1.055f, 2.4f);
        } else {
            l = c / 12.92f;
        }
        space.lut[static_cast<std::size_t>(v)] = l * 255.0f;
    }
    return space;
}

}  // namespace dithering
