// Images from plain byte vectors and back, for the core tests and the fuzz
// harnesses alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "core/image/image.hpp"

namespace image_bytes {

using Bytes = std::vector<std::uint8_t>;

// An image holding a copy of `bytes` (height x width x channels of them).
inline dithering::Img make_img(const Bytes& bytes, std::size_t height, std::size_t width,
                               std::size_t channels,
                               std::optional<std::size_t> alpha = std::nullopt) {
    dithering::Img img;
    img.pixels = dithering::allocate_pixels(bytes.size());
    if (!bytes.empty()) std::memcpy(img.pixels.get(), bytes.data(), bytes.size());
    img.shape = {height, width, channels};
    img.height = height;
    img.width = width;
    img.channels = channels;
    img.alpha = alpha;
    return img;
}

inline Bytes bytes_of(const dithering::Img& img) {
    return Bytes(img.pixels.get(), img.pixels.get() + img.size());
}

// Bytes that differ from `px` everywhere: a destination a loop must
// overwrite completely, so that a byte it skips shows.
inline Bytes scrambled(const Bytes& px) {
    Bytes out(px);
    for (auto& b : out) b = static_cast<std::uint8_t>(~b);
    return out;
}

}  // namespace image_bytes
