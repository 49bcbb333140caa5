// What the loops of ordered and random dither share beyond their own
// sources: the fence after streaming stores. The loops are written once
// each over the 8-lane vector type and built per instruction set: the
// compare rows in compare_rows.hpp, the random draws and quantizers in
// random_draws.hpp, the palette pixel loop in palette_points.hpp.
#include "core/threshold/threshold_loops.hpp"

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
