// The out-of-line parts of the AVX2 grid search.
#include "core/color/grid_search_avx2.hpp"
#include "core/simd/compiler.hpp"

#if DITHERING_ARCH_X86

#define DITHERING_AVX2 DITHERING_TARGET("avx2")

namespace dithering::avx2 {

DITHERING_NOINLINE std::size_t nearest_out_of_line(const Palette& palette,
                                                          __m128 v) noexcept {
    alignas(16) float c[4];
    _mm_store_ps(c, v);
    return palette.nearest(c[0], c[1], c[2]);
}

// Two quads per step (the last one paired with the +inf quad if need be):
// each lane keeps its first strict minimum and its position in the list,
// then the lowest position among the lanes at the least distance wins.
// Lists are in palette order, so that is the lowest index.
DITHERING_AVX2 DITHERING_NOINLINE std::size_t grid_list_nearest(
    const CandidateQuad* list, const CandidateQuad& none, std::size_t count, __m128 v) noexcept {
    const __m256 c0 = _mm256_broadcastss_ps(v);
    const __m256 c1 = lane1_of(v);
    const __m256 c2 = lane2_of(v);
    __m256i best = _mm256_set1_epi32(-1);
    __m256i position = _mm256_setzero_si256();
    __m256i here = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i eight = _mm256_set1_epi32(8);
    for (std::size_t q = 0; q < count; q += 2) {
        const CandidateQuad& high = q + 1 < count ? list[q + 1] : none;
        const __m256i d = _mm256_castps_si256(pair_distance(list[q], high, c0, c1, c2));
        const __m256i least = _mm256_min_epu32(best, d);
        const __m256i kept = _mm256_cmpeq_epi32(least, best);
        position = _mm256_blendv_epi8(here, position, kept);
        best = least;
        here = _mm256_add_epi32(here, eight);
    }
    const __m256i m = least_everywhere(best);
    // Lanes away from the least distance drop out as the largest position.
    const __m256i away = _mm256_xor_si256(_mm256_cmpeq_epi32(best, m), _mm256_set1_epi32(-1));
    const __m256i first = least_everywhere(_mm256_or_si256(position, away));
    const auto p =
        static_cast<std::size_t>(static_cast<std::uint32_t>(_mm256_cvtsi256_si32(first)));
    return list[p / 4].index[p % 4];
}

DITHERING_NOINLINE std::uint32_t grid_list_for(NearestGrid& grid, unsigned level,
                                                       __m128i n) noexcept {
    alignas(16) std::uint32_t c[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(c), n);
    return grid.list_for(level, c[0], c[1], c[2]);
}

}  // namespace dithering::avx2

namespace dithering {

DITHERING_AVX2 std::size_t nearest_in_grid_avx2(NearestGrid& grid, float c0, float c1,
                                                float c2) noexcept {
    avx2::GridSearch search = avx2::grid_search_of(grid);
    return search.find(_mm_setr_ps(c0, c1, c2, 0.0f));
}

}  // namespace dithering

#undef DITHERING_AVX2

#endif
