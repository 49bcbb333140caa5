// The palette pixel loop and its nearest-colour scan over AVX2 registers.
//
// The loops are compiled for AVX2 (the region simd/compiler.hpp opens,
// after every header with functions of its own; it says why), so that the
// vector operations inline into them.
#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

#if DITHERING_ARCH_X86
#include "core/simd/intrinsics.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/color/grid_search_avx2.hpp"
#include "core/threshold/threshold_loops.hpp"
#include "core/simd/vec128.hpp"

DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/simd/lanes8.hpp"
#include "core/threshold/nearest_points.hpp"
#include "core/threshold/palette_points.hpp"

namespace dithering {
namespace {

// The grid's own AVX2 search, inlined into the pixel loop.
struct FindInGridAvx2 {
    void operator()(NearestGrid& grid, const float* c0, const float* c1, const float* c2,
                    std::size_t count, std::uint32_t* index) const {
        avx2::grid_search_of(grid).find_rows(c0, c1, c2, count, index);
    }
};

// The AVX-512 scan, out of line in its own region.
struct ScanPointsAvx512 {
    void operator()(const float* working, std::size_t colors, const float* c0, const float* c1,
                    const float* c2, std::size_t count, std::uint32_t* out) const {
        nearest_points_avx512(working, colors, c0, c1, c2, count, out);
    }
};

}  // namespace
}  // namespace dithering
DITHERING_TARGET_AVX2_END

namespace dithering {

void nearest_points_avx2(const float* working, std::size_t colors, const float* c0,
                         const float* c1, const float* c2, std::size_t count,
                         std::uint32_t* out) noexcept {
    nearest_points<simd::Lanes8>(working, colors, c0, c1, c2, count, out);
}

void palette_points_avx2(std::uint8_t* p, std::size_t count, std::size_t channels, const float* u,
                         const PointSearch& palette) noexcept {
    palette_points(p, count, channels, u, palette, FindInGridAvx2{},
                   ScanPointsIn<simd::Lanes8>{});
}

void palette_points_avx512(std::uint8_t* p, std::size_t count, std::size_t channels,
                           const float* u, const PointSearch& palette) noexcept {
    palette_points(p, count, channels, u, palette, FindInGridAvx2{}, ScanPointsAvx512{});
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
