// The pixels a palette is made from: interleaved bytes with an optional
// weight each.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dithering {

// `count` pixels of `stride` bytes each (3 or more), of which the first
// three are R, G, B; the rest (an alpha, say) are not read. A pixel with
// `weights` null counts once; otherwise it counts `weights[i]` times (0..255)
// and a pixel of weight 0 is not seen at all.
struct ColorSample {
    const std::uint8_t* pixels = nullptr;
    std::size_t count = 0;
    std::size_t stride = 3;
    const std::uint8_t* weights = nullptr;

    const std::uint8_t* pixel(std::size_t i) const noexcept { return pixels + i * stride; }
    std::uint32_t weight(std::size_t i) const noexcept { return weights ? weights[i] : 1u; }
};

}  // namespace dithering
