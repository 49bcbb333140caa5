// The fence after streaming stores, the one instruction-set detail the
// ordered and random dither loops share beyond their own sources.
#include "core/simd/streaming.hpp"

#include "core/simd/arch.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>
#endif

namespace dithering {

void finish_streaming() noexcept {
#if DITHERING_ARCH_X86
    _mm_sfence();
#endif
}

}  // namespace dithering
