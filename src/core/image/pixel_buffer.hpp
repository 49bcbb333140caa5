// PixelBuffer: the malloc'd bytes of a working image, with the memory
// advice large ones get.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace dithering {

struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};

// Allocated with malloc so that the buffer can be handed to an owner object
// that releases it with free, long after the Img is gone.
using PixelBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// An uninitialised buffer of `size` bytes, or null when it cannot be had.
// Buffers of 4 MiB and more ask the kernel for transparent huge pages
// (pixel_buffer.cpp).
PixelBuffer allocate_pixels(std::size_t size);

}  // namespace dithering
