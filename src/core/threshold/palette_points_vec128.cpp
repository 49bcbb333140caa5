// The palette pixel loop and its nearest-colour scan over pairs of 128-bit
// vectors (vec128.hpp): SSE2 on x86, NEON on aarch64, the portable form
// anywhere else.
#include "core/color/nearest_grid.hpp"
#include "core/simd/vec8_halves.hpp"
#include "core/simd/lanes8.hpp"
#include "core/threshold/nearest_points.hpp"
#include "core/threshold/palette_points.hpp"

namespace dithering {

void nearest_points_vec128(const float* working, std::size_t colors, const float* c0,
                           const float* c1, const float* c2, std::size_t count,
                           std::uint32_t* out) noexcept {
    nearest_points<simd::Lanes8>(working, colors, c0, c1, c2, count, out);
}

void palette_points_vec128(std::uint8_t* p, std::size_t count, std::size_t channels, const float* u,
                           const PointSearch& palette) noexcept {
    palette_points(p, count, channels, u, palette,
                   [](NearestGrid& grid, const float* c0, const float* c1, const float* c2,
                      std::size_t points, std::uint32_t* index) {
                       for (std::size_t k = 0; k < points; ++k) {
                           index[k] = static_cast<std::uint32_t>(grid.nearest(c0[k], c1[k], c2[k]));
                       }
                   },
                   ScanPointsIn<simd::Lanes8>{});
}

}  // namespace dithering
