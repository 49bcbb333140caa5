// Img: the working image, an owned byte copy that the passes overwrite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/image/image_view.hpp"
#include "core/image/pixel_buffer.hpp"

namespace dithering {

// a * b into `product`; false, leaving it alone, if that overflows.
inline bool checked_product(std::size_t a, std::size_t b, std::size_t& product) {
    if (b != 0 && a > static_cast<std::size_t>(-1) / b) return false;
    product = a * b;
    return true;
}

struct Img {
    // Interleaved, row-major: byte (y, x, c) at (y * width + x) * channels + c.
    PixelBuffer pixels;
    // The input's shape exactly: [H, W] or [H, W, C] (C may be 1).
    std::vector<std::size_t> shape;
    std::size_t height = 0;
    std::size_t width = 0;
    std::size_t channels = 0;
    // The channel that per-channel quantization leaves untouched.
    std::optional<std::size_t> alpha;

    std::size_t size() const { return height * width * channels; }

    // What the passes work on: this image's bytes, in place.
    ImageView view() { return {pixels.get(), height, width, channels, alpha}; }
};

}  // namespace dithering
