#include "core/image/pixel_buffer.hpp"

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace dithering {
namespace {

// Large buffers ask the kernel for transparent huge pages, as NumPy does
// for its own arrays: the first writes into a fresh buffer then fault once
// per 2 MiB instead of once per 4 KiB page (for an image too large for the
// allocator to keep, every call starts from fresh memory, and those faults
// would cost far more than the pixel loop), and the loops miss the TLB
// less. Only advice: where it is not available nothing changes.
void advise_huge_pages(void* data, std::size_t size) {
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

}  // namespace

PixelBuffer allocate_pixels(std::size_t size) {
    PixelBuffer buffer(static_cast<std::uint8_t*>(std::malloc(size ? size : 1)));
    if (buffer) advise_huge_pages(buffer.get(), size);
    return buffer;
}

}  // namespace dithering
