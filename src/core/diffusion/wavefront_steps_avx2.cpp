// The wavefront's step loops over AVX2 registers: two vectors of eight
// lanes hold a band's sixteen rows.
//
// The loops are compiled for AVX2 (the region simd/compiler.hpp opens, after
// every header with functions of its own; it says why), so that the
// vector operations inline into them.
#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

#if DITHERING_ARCH_X86
#include "core/simd/intrinsics.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/diffusion/wavefront_layout.hpp"
#include "core/simd/vec128.hpp"

DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/simd/lanes8.hpp"
#include "core/diffusion/wavefront_steps.hpp"
DITHERING_TARGET_AVX2_END

namespace dithering::wavefront {

StepLoops step_loops_avx2() noexcept {
    return STEP_LOOPS<simd::Lanes8>;
}

}  // namespace dithering::wavefront

#endif  // DITHERING_ARCH_X86
