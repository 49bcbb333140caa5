// NearestGrid's search in AVX2 registers, to inline into pixel loops: the
// value's cell found with vector shifts, its list scanned eight colours
// at a time. Only for code that has checked cpu_has_avx2().
#pragma once

#include <cstddef>
#include <bit>

#include "core/color/nearest_grid.hpp"

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

#if DITHERING_ARCH_X86

namespace dithering {

// GridSearch::find on a single value, for tests.
std::size_t nearest_in_grid_avx2(NearestGrid& grid, float c0, float c1, float c2) noexcept;

}  // namespace dithering

#include <immintrin.h>

#include <cstdint>

#include "core/color/palette.hpp"

#define DITHERING_AVX2_INLINE DITHERING_TARGET("avx2") DITHERING_ALWAYS_INLINE

namespace dithering::avx2 {

// The distances compared as unsigned integers: a distance is +0, positive
// or +inf, whose bit patterns order like their values, or a NaN, whose
// patterns (either sign) all lie above +inf's. The unsigned minimum is thus
// the smallest distance that is not NaN, or at least +inf's pattern when
// none is below +inf, and costs one cycle where a float minimum costs
// three. Returns it in every lane.
DITHERING_AVX2_INLINE __m256i least_everywhere(__m256i m) {
    m = _mm256_min_epu32(m, _mm256_permute2x128_si256(m, m, 1));
    m = _mm256_min_epu32(m, _mm256_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm256_min_epu32(m, _mm256_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
}

DITHERING_AVX2_INLINE unsigned lanes_equal(__m256i d, __m256i m) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(d, m))));
}

// Lanes 1 and 2 of v in every lane (lane 0 is _mm256_broadcastss_ps):
// moved down in place, then broadcast, with no index vector to keep in a
// register.
DITHERING_AVX2_INLINE __m256 lane1_of(__m128 v) {
    return _mm256_broadcastss_ps(_mm_movehdup_ps(v));
}
DITHERING_AVX2_INLINE __m256 lane2_of(__m128 v) {
    return _mm256_broadcastss_ps(_mm_movehl_ps(v, v));
}

inline constexpr std::uint32_t INF_BITS = 0x7f800000u;

// Palette::nearest on (lanes 0, 1, 2 of) v, kept out of the pixel loops.
std::size_t nearest_out_of_line(const Palette& palette, __m128 v) noexcept;

// The lowest-index nearest colour of a list of three quads or more.
std::size_t grid_list_nearest(const CandidateQuad* list, const CandidateQuad& none,
                              std::size_t count, __m128 v) noexcept;

// The entry of v's finest cell, building what is missing: the slow path of
// GridSearch::find.
std::uint32_t grid_list_for(NearestGrid& grid, unsigned level, __m128i n) noexcept;

// Two quads side by side as eight lanes, `low` in lanes 0..3.
DITHERING_AVX2_INLINE __m256 pair(const float* low, const float* high) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(low)), _mm_load_ps(high), 1);
}

DITHERING_AVX2_INLINE __m256 pair_distance(const CandidateQuad& low, const CandidateQuad& high,
                                           __m256 c0, __m256 c1, __m256 c2) {
    const __m256 t1 = _mm256_sub_ps(c1, pair(low.w1, high.w1));
    const __m256 t0 = _mm256_sub_ps(c0, pair(low.w0, high.w0));
    const __m256 t2 = _mm256_sub_ps(c2, pair(low.w2, high.w2));
    const __m256 s = _mm256_add_ps(_mm256_mul_ps(t1, t1), _mm256_mul_ps(t0, t0));
    return _mm256_add_ps(s, _mm256_mul_ps(t2, t2));
}

// A NearestGrid lookup. Values whose cell is in the grid scan that cell's
// list (usually one or two quads); the rest take Palette::nearest.
struct GridSearch {
    NearestGrid* grid;
    const std::uint32_t* table;
    const std::uint32_t* children;
    const CandidateQuad* quads;

    // The grid's lists and blocks never move, so there is nothing to
    // reload between rows.
    void refresh() {}

    // v holds the value in lanes 0..2 and 0 in lane 3.
    DITHERING_AVX2_INLINE std::size_t find(__m128 v) {
        // The coordinates as NearestGrid defines them, in the smallest cube
        // that holds the value (the innermost has a scale of 1); lane 3
        // gets a shift of 32 below, which clears it.
        unsigned level = 0;
        __m128 x = _mm_add_ps(v, _mm_set1_ps(NearestGrid::offset(0)));
        while (DITHERING_UNLIKELY(!inside(x))) {
            if (++level == NearestGrid::LEVELS) return nearest_out_of_line(grid->palette(), v);
            x = _mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(NearestGrid::scale(level))),
                           _mm_set1_ps(NearestGrid::offset(level)));
        }
        return find_at(level, x, v);
    }

    // find for a value whose channels all lie in 0..255 (NaN excluded), as
    // the bounded palette pass keeps them: always in the innermost cube, at
    // coordinates 128..383, so the search for the cube that holds it is
    // skipped. Any other value must take find.
    DITHERING_AVX2_INLINE std::size_t find_inner(__m128 v) {
        return find_at(0, _mm_add_ps(v, _mm_set1_ps(NearestGrid::offset(0))), v);
    }

    // The search in cube `level`, at v's coordinates x there.
    DITHERING_AVX2_INLINE std::size_t find_at(unsigned level, __m128 x, __m128 v) {
        const __m128i n = _mm_cvttps_epi32(x);
        const __m128i three = _mm_set1_epi32(3);
        const __m128i places = _mm_setr_epi32(4, 2, 0, 32);
        // NearestGrid::top_cell and child_slot on all three lanes at once,
        // then or-ed together.
        const __m128i bricks = _mm_sllv_epi32(_mm_srli_epi32(n, 6), _mm_setr_epi32(12, 9, 6, 32));
        const __m128i cells = _mm_sllv_epi32(_mm_and_si128(_mm_srli_epi32(n, 4), three), places);
        std::uint32_t e = table[level << 15 | or_lanes(_mm_or_si128(bricks, cells))];
        static_assert(NearestGrid::MAX_DEPTH == 2, "two levels of children below a top cell");
        if (NearestGrid::kind(e) == NearestGrid::SPLIT) {
            e = children[NearestGrid::block_of(e) * NearestGrid::BLOCK +
                         or_lanes(_mm_sllv_epi32(_mm_and_si128(_mm_srli_epi32(n, 2), three), places))];
            if (DITHERING_UNLIKELY(NearestGrid::kind(e) == NearestGrid::SPLIT)) {
                e = children[NearestGrid::block_of(e) * NearestGrid::BLOCK +
                             or_lanes(_mm_sllv_epi32(_mm_and_si128(n, three), places))];
            }
        }
        if (DITHERING_UNLIKELY(NearestGrid::kind(e) != NearestGrid::LIST)) {
            e = grid_list_for(*grid, level, n);
            if (NearestGrid::kind(e) != NearestGrid::LIST) {
                return nearest_out_of_line(grid->palette(), v);
            }
        }
        const std::size_t count = NearestGrid::list_count(e);
        const CandidateQuad* low = quads + NearestGrid::list_first(e);
        if (DITHERING_UNLIKELY(count > 2)) return grid_list_nearest(low, quads[0], count, v);
        // One or two quads, the first paired with the +inf quad. Every
        // distance here is finite (see nearest_grid.cpp) and the padding
        // lanes' are +inf, so the first lane at the least distance is the
        // answer.
        const CandidateQuad* high = count == 2 ? low + 1 : quads;
        const __m256i d = _mm256_castps_si256(
            pair_distance(*low, *high, _mm256_broadcastss_ps(v), lane1_of(v), lane2_of(v)));
        const auto p = static_cast<std::size_t>(std::countr_zero(lanes_equal(d, least_everywhere(d))));
        return (p < 4 ? low : high)->index[p & 3];
    }

    // Lanes 0..2 of x in [0, AXIS).
    DITHERING_AVX2_INLINE static bool inside(__m128 x) {
        const __m128 in = _mm_and_ps(_mm_cmpge_ps(x, _mm_setzero_ps()),
                                     _mm_cmplt_ps(x, _mm_set1_ps(NearestGrid::AXIS)));
        return (_mm_movemask_ps(in) & 7) == 7;
    }

    DITHERING_AVX2_INLINE static std::uint32_t or_lanes(__m128i x) {
        x = _mm_or_si128(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
        x = _mm_or_si128(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(x));
    }
};

inline GridSearch grid_search_of(NearestGrid& grid) {
    return {&grid, grid.table(), grid.children(), grid.quads()};
}

}  // namespace dithering::avx2

#undef DITHERING_AVX2_INLINE

#endif
