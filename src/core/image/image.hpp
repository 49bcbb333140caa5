// Img: the working image, an owned byte copy that the passes overwrite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "core/image/image_view.hpp"

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace dithering {

struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};

// Allocated with malloc so that the buffer can be handed to an owner object
// that releases it with free, long after the Img is gone.
using PixelBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// Large buffers ask the kernel for transparent huge pages, as NumPy does
// for its own arrays: the first writes into a fresh buffer then fault once
// per 2 MiB instead of once per 4 KiB page (for an image too large for the
// allocator to keep, every call starts from fresh memory, and those faults
// would cost far more than the pixel loop), and the loops miss the TLB
// less. Only advice: where it is not available nothing changes.
inline void advise_huge_pages(void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::size_t MIN_BYTES = std::size_t{4} << 20;
    constexpr std::uintptr_t PAGE = 4096;
    if (size < MIN_BYTES) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + PAGE - 1) / PAGE * PAGE;
    (void)madvise(reinterpret_cast<void*>(first), begin + size - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

// An uninitialised buffer of `size` bytes, or null when it cannot be had.
inline PixelBuffer allocate_pixels(std::size_t size) {
    PixelBuffer buffer(static_cast<std::uint8_t*>(std::malloc(size ? size : 1)));
    if (buffer) advise_huge_pages(buffer.get(), size);
    return buffer;
}

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
