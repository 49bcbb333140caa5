// The out-of-line parts of the AVX2 grid search.
#include "core/color/grid_search_avx2.hpp"
#include "core/simd/compiler.hpp"

#if DITHERING_ARCH_X86

// Compiled for AVX2 (the region simd/compiler.hpp opens, after every
// header), so that the header's vector operations inline here too.
DITHERING_TARGET_AVX2_BEGIN

namespace dithering::avx2 {

DITHERING_NOINLINE std::size_t nearest_out_of_line(const Palette& palette, F32x4 v) noexcept {
    return palette.nearest(first(v), second(v), third(v));
}

// Two quads per step (the last one paired with the +inf quad if need be):
// each lane keeps its first strict minimum and its position in the list,
// then the lowest position among the lanes at the least distance wins.
// Lists are in palette order, so that is the lowest index.
DITHERING_NOINLINE std::size_t grid_list_nearest(
    const CandidateQuad* list, const CandidateQuad& none, std::size_t count, F32x4 v) noexcept {
    static constexpr std::int32_t LANE_ORDER[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    const F32x8 c0 = simd::splat8(first(v));
    const F32x8 c1 = simd::splat8(second(v));
    const F32x8 c2 = simd::splat8(third(v));
    const I32x8 none_yet = simd::splat8_int(-1);
    I32x8 best = none_yet;
    I32x8 position = simd::splat8_int(0);
    I32x8 here = simd::load8(LANE_ORDER);
    const I32x8 eight = simd::splat8_int(8);
    for (std::size_t q = 0; q < count; q += 2) {
        const CandidateQuad& high = q + 1 < count ? list[q + 1] : none;
        const I32x8 d = pair_distance(list[q], high, c0, c1, c2);
        const I32x8 least = min_unsigned(best, d);
        position = select(equal(least, best), position, here);
        best = least;
        here = here + eight;
    }
    const I32x8 m = min_unsigned_everywhere(best);
    // Lanes away from the least distance drop out as the largest position.
    const I32x8 earliest = min_unsigned_everywhere(select(equal(best, m), position, none_yet));
    const auto p = static_cast<std::size_t>(static_cast<std::uint32_t>(first(earliest)));
    return list[p / 4].index[p % 4];
}

DITHERING_NOINLINE std::uint32_t grid_list_for(NearestGrid& grid, unsigned level,
                                               F32x4 x) noexcept {
    std::int32_t c[4];
    simd::store4(c, simd::truncate(x));
    return grid.list_for(level, static_cast<std::uint32_t>(c[0]), static_cast<std::uint32_t>(c[1]),
                         static_cast<std::uint32_t>(c[2]));
}

}  // namespace dithering::avx2

namespace dithering {

std::size_t nearest_in_grid_avx2(NearestGrid& grid, float c0, float c1,
                                                float c2) noexcept {
    avx2::GridSearch search = avx2::grid_search_of(grid);
    return search.find(simd::lanes(c0, c1, c2, 0.0f));
}

}  // namespace dithering

DITHERING_TARGET_AVX2_END

#endif
