// The nearest-colour scan over AVX2 registers.
//
// The loop is compiled for AVX2 (the region simd/compiler.hpp opens, after
// every header with functions of its own; it says why), so that the
// vector operations inline into it.
#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/threshold/threshold_loops.hpp"

DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/threshold/nearest_points.hpp"
DITHERING_TARGET_AVX2_END

namespace dithering {

void nearest_points_avx2(const float* working, std::size_t colors, const float* c0,
                         const float* c1, const float* c2, std::size_t count,
                         std::uint32_t* out) noexcept {
    nearest_points(working, colors, c0, c1, c2, count, out);
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
