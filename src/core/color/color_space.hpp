// The per-call table from stored byte to working value (sRGB or linear light).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

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

// The base that the decoding curve raises to the power 2.4 for byte v: with
// c = v / 255, (c + 0.055) / 1.055, each step rounded to float on its own.
// Nothing for the bytes on the straight segment (c <= 0.04045, bytes
// 0..10). create() takes every base it raises from here.
std::optional<float> decode_power_base(std::uint8_t v) noexcept;

}  // namespace dithering
