// Img: the working image, an owned byte copy that the passes overwrite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dithering {

struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};

// Allocated with malloc so that the buffer can be handed to an owner object
// that releases it with free, long after the Img is gone.
using PixelBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// An uninitialised buffer of `size` bytes, or null when it cannot be had.
inline PixelBuffer allocate_pixels(std::size_t size) {
    return PixelBuffer(static_cast<std::uint8_t*>(std::malloc(size ? size : 1)));
}

struct Img {
    // Interleaved, row-major: byte (y, x, c) at (y * width + x) * channels + c.
    PixelBuffer pixels;
    // The input's shape exactly: [H, W] or [H, W, C] (C may be 1).
    std::vector<std::size_t> shape;
    std::size_t height = 0;
    std::size_t width = 0;
    std::size_t channels = 0;
    // The PIL mode the pixels are in ("L", "LA", "RGB", "RGBA"); absent for
    // array input.
    std::optional<std::string> mode;
    // The channel that per-channel quantization leaves untouched.
    std::optional<std::size_t> alpha;

    std::size_t size() const { return height * width * channels; }
};

}  // namespace dithering
