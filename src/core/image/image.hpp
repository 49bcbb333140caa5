// Img: the working image, an owned byte copy that the passes overwrite.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The bytes, in the layout the base describes.
struct Img : ImageLayout {
    PixelBuffer pixels;
    // The input's shape exactly: [H, W] or [H, W, C] (C may be 1).
    std::vector<std::size_t> shape;

    // What the passes work on: this image's bytes, in place.
    ImageView view() { return {pixels.get(), *this}; }
};

}  // namespace dithering
