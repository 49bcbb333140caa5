// Output level tables and the nearest-level rounding.
#include "core/color/levels.hpp"

#include <algorithm>
#include <cmath>

#include "core/color/srgb_power.hpp"

namespace dithering {

Levels Levels::create(std::uint32_t n, const ColorSpace& space) noexcept {
    n = std::clamp<std::uint32_t>(n, 2, 256);
    Levels levels;
    levels.count = n;
    const float top = static_cast<float>(n - 1);
    levels.step = 255.0f / top;
    for (std::uint32_t i = 0; i < n; ++i) {
        const float v = levels.position(i);
        float c = v;
        if (space.linear) {
            // sRGB encoding, the inverse of the table's decoding curve, with
            // our own power (srgb_power) rather than the platform's powf.
            float s;
            if (const auto base = encode_power_base(v)) {
                const float p = srgb_encode_power(*base);
                const float scaled = p * 1.055f;
                s = scaled + -0.055f;
            } else {
                const float e = v / 255.0f;
                s = e * 12.92f;
            }
            c = s * 255.0f;
        }
        float r = roundf(c);
        r = std::max(r, 0.0f);
        r = std::min(r, 255.0f);
        levels.codes[i] = static_cast<std::uint8_t>(r);
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        levels.values[i] = space.lut[levels.codes[i]];
    }
    levels.inv_step = 1.0f / levels.step;
    levels.top = top;
    return levels;
}

float Levels::position(std::uint32_t i) const noexcept {
    return std::min(255.0f, static_cast<float>(i) * step);
}

std::optional<float> encode_power_base(float v) noexcept {
    const float e = v / 255.0f;
    if (e <= 0.0031308f) return std::nullopt;
    return e;
}

std::size_t Levels::quantize(float v) const noexcept {
    const float q = v * inv_step;
    float r = roundf(q);
    // Written so that a NaN fails both tests and passes through unchanged.
    if (r < 0.0f) r = 0.0f;
    if (r > top) r = top;
    if (std::isnan(r)) return 0;
    return static_cast<std::size_t>(r);
}

std::size_t Levels::diffusion_level(float v) const noexcept {
    if (count == 2) return v >= 127.5f ? 1 : 0;  // NaN compares false: level 0
    return quantize(v);
}

float Levels::diffusion_threshold(std::size_t i) const noexcept {
    return first_float_reaching([this](float v) { return diffusion_level(v); }, i);
}

}  // namespace dithering
