// The wavefront's step loops over AVX2 registers: two vectors of eight
// lanes hold a band's sixteen rows.
//
// The whole of the loops is compiled for AVX2 through the target pragma,
// so that the vector operations inline into them. Every header with
// functions of its own that are not ours to mark internal (the standard
// library's) is included before the pragma: a template of theirs
// instantiated here keeps the target it was declared with, and so no
// function compiled for AVX2 can be picked, at link time, for a caller on
// a processor without it.
#include "core/simd/arch.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/diffusion/wavefront_layout.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")
#include "core/simd/vec8_avx2.hpp"
#include "core/diffusion/wavefront_steps.hpp"
#pragma GCC pop_options

namespace dithering::wavefront {

StepLoops step_loops_avx2() noexcept {
    return STEP_LOOPS;
}

}  // namespace dithering::wavefront

#endif  // DITHERING_ARCH_X86
