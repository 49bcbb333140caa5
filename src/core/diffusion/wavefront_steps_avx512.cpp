// The wavefront's step loops over AVX-512 registers: one vector of sixteen
// lanes holds a band's sixteen rows (wavefront_steps.hpp over the 16-lane
// type), compiled in the AVX-512 region (simd/compiler.hpp says why a
// region). The transposes between rows and lane groups stay the AVX2 ones,
// eight rows of 32 bytes a step.
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

DITHERING_TARGET_AVX512_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/simd/vec16_avx512.hpp"
#include "core/diffusion/wavefront_steps.hpp"
DITHERING_TARGET_AVX512_END

namespace dithering::wavefront {

StepLoops step_loops_avx512() noexcept {
    return STEP_LOOPS<simd::Lanes16>;
}

}  // namespace dithering::wavefront

#endif  // DITHERING_ARCH_X86
