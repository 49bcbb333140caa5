// The nearest-colour scan over AVX2 registers.
//
// The whole of the loop is compiled for AVX2 through the target pragma, so
// that the vector operations inline into it. Every header with functions
// of its own that are not ours to mark internal (the standard library's,
// and the inline quantizers of threshold_kernels.hpp) is included before
// the pragma, so that no function compiled for AVX2 can be picked, at link
// time, for a caller on a processor without it.
#include "core/simd/arch.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/threshold/threshold_kernels.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")
#include "core/simd/vec8_avx2.hpp"
#include "core/threshold/nearest_points.hpp"
#pragma GCC pop_options

namespace dithering {

void nearest_points_avx2(const float* working, std::size_t colors, const float* c0,
                         const float* c1, const float* c2, std::size_t count,
                         std::uint32_t* out) noexcept {
    nearest_points(working, colors, c0, c1, c2, count, out);
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
