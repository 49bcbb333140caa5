// The wavefront's step loops over pairs of 128-bit vectors (vec128.hpp):
// SSE2 on x86, NEON on aarch64, the portable form anywhere else.
#include "core/simd/vec8_halves.hpp"
#include "core/simd/lanes8.hpp"
#include "core/diffusion/wavefront_steps.hpp"

namespace dithering::wavefront {

StepLoops step_loops_vec128() noexcept {
    return STEP_LOOPS<simd::Lanes8>;
}

}  // namespace dithering::wavefront
