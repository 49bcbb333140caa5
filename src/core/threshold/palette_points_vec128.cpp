// The nearest-colour scan over pairs of 128-bit vectors (vec128.hpp): SSE2
// on x86, NEON on aarch64, the portable form anywhere else.
#include "core/simd/vec8_halves.hpp"
#include "core/threshold/nearest_points.hpp"
#include "core/threshold/threshold_loops.hpp"

namespace dithering {

void nearest_points_vec128(const float* working, std::size_t colors, const float* c0,
                        const float* c1, const float* c2, std::size_t count,
                        std::uint32_t* out) noexcept {
    nearest_points(working, colors, c0, c1, c2, count, out);
}

}  // namespace dithering
