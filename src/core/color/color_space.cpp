// The sRGB decoding curve on the 0..255 working scale.
#include "core/color/color_space.hpp"

#include "core/color/srgb_power.hpp"

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
        // Every step in single precision, rounded on its own. The straight
        // segment divides by 12.92 rather than multiplying by a reciprocal;
        // the power is our own (srgb_power), so the table is the same floats
        // whatever the platform's powf gives.
        float l;
        if (const auto base = decode_power_base(static_cast<std::uint8_t>(v))) {
            l = srgb_decode_power(*base);
        } else {
            const float c = byte / 255.0f;
            l = c / 12.92f;
        }
        space.lut[static_cast<std::size_t>(v)] = l * 255.0f;
    }
    return space;
}

std::optional<float> decode_power_base(std::uint8_t v) noexcept {
    const float c = static_cast<float>(v) / 255.0f;
    // The test is strict, so bytes 0..10 take the straight segment.
    if (c <= 0.04045f) return std::nullopt;
    const float shifted = c + 0.055f;
    return shifted / 1.055f;
}

}  // namespace dithering
