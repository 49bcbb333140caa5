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

#include "core/simd/intrinsics.hpp"

#include <cstdint>

#include "core/color/palette.hpp"
#include "core/simd/vec128.hpp"

namespace dithering::avx2 {

// Palette::nearest on (lanes 0, 1, 2 of) v, kept out of the pixel loops.
std::size_t nearest_out_of_line(const Palette& palette, simd::F32x4 v) noexcept;

// The lowest-index nearest colour of a list of three quads or more.
std::size_t grid_list_nearest(const CandidateQuad* list, const CandidateQuad& none,
                              std::size_t count, simd::F32x4 v) noexcept;

// The entry of the finest cell at coordinates x (v's in cube `level`),
// building what is missing: the slow path of GridSearch::find. It takes x,
// not the truncated coordinates the fast path has, so that those need not
// be kept for the call.
std::uint32_t grid_list_for(NearestGrid& grid, unsigned level, simd::F32x4 x) noexcept;

}  // namespace dithering::avx2

// The search itself over the 8-lane vector type, compiled for AVX2 (the
// region opens after every header above, as simd/compiler.hpp asks) so that
// its operations, and squared_distance on them, inline into the pixel loops
// that include this.
DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/color/color_distance.hpp"

namespace dithering::avx2 {

using simd::F32x4;
using simd::F32x8;
using simd::I32x4;
using simd::I32x8;
using simd::or_lanes;
using simd::shift_left_each;
using simd::shift_right_logical;

// squared_distance of v, in every lane of c0, c1 and c2, to the colours of
// two quads side by side, `low` in lanes 0..3; as bit patterns, which the
// unsigned minimum ranks (simd/vec8_avx2.hpp says how).
DITHERING_ALWAYS_INLINE I32x8 pair_distance(const CandidateQuad& low, const CandidateQuad& high,
                                          F32x8 c0, F32x8 c1, F32x8 c2) {
    const F32x8 t1 = c1 - simd::load_halves(low.w1, high.w1);
    const F32x8 t0 = c0 - simd::load_halves(low.w0, high.w0);
    const F32x8 t2 = c2 - simd::load_halves(low.w2, high.w2);
    return as_bits(squared_distance(t0, t1, t2));
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
    DITHERING_ALWAYS_INLINE std::size_t find(F32x4 v) {
        // The coordinates as NearestGrid defines them, in the smallest cube
        // that holds the value (the innermost has a scale of 1); lane 3
        // gets a shift of 32 below, which clears it.
        unsigned level = 0;
        F32x4 x = v + simd::splat(NearestGrid::offset(0));
        while (DITHERING_UNLIKELY(!inside(x))) {
            if (++level == NearestGrid::LEVELS) return nearest_out_of_line(grid->palette(), v);
            x = v * simd::splat(NearestGrid::scale(level)) +
                simd::splat(NearestGrid::offset(level));
        }
        return find_at(level, x, v);
    }

    // find for a value whose channels all lie in 0..255 (NaN excluded), as
    // the bounded palette pass keeps them: always in the innermost cube, at
    // coordinates 128..383, so the search for the cube that holds it is
    // skipped. Any other value must take find.
    DITHERING_ALWAYS_INLINE std::size_t find_inner(F32x4 v) {
        return find_at(0, v + simd::splat(NearestGrid::offset(0)), v);
    }

    // find for `count` points given as rows of channels (point i is c0[i],
    // c1[i], c2[i]), into index; the rows run on to a whole number of
    // eights, with finite points, whose answers are written too. The
    // points move from rows into (c0, c1, c2, 0) vectors eight at a time
    // by a transpose.
    DITHERING_ALWAYS_INLINE void find_rows(const float* c0, const float* c1, const float* c2,
                                           std::size_t count, std::uint32_t* index) {
        for (std::size_t k = 0; k < count; k += 8) {
            F32x4 points[8];
            simd::points_of_rows(simd::load8(c0 + k), simd::load8(c1 + k), simd::load8(c2 + k),
                                 points);
            for (std::size_t i = 0; i < 8; ++i) {
                index[k + i] = static_cast<std::uint32_t>(find(points[i]));
            }
        }
    }

    // The search in cube `level`, at v's coordinates x there.
    DITHERING_ALWAYS_INLINE std::size_t find_at(unsigned level, F32x4 x, F32x4 v) {
        const I32x4 n = simd::truncate(x);
        const I32x4 three = simd::splat_int(3);
        const I32x4 places = simd::lanes_int(4, 2, 0, 32);
        // NearestGrid::top_cell and child_slot on all three lanes at once,
        // then or-ed together.
        const I32x4 bricks =
            shift_left_each(shift_right_logical<6>(n), simd::lanes_int(12, 9, 6, 32));
        const I32x4 cells = shift_left_each(shift_right_logical<4>(n) & three, places);
        std::uint32_t e = table[level << 15 | or_lanes(bricks | cells)];
        static_assert(NearestGrid::MAX_DEPTH == 2, "two levels of children below a top cell");
        if (NearestGrid::kind(e) == NearestGrid::SPLIT) {
            e = children[NearestGrid::block_of(e) * NearestGrid::BLOCK +
                         or_lanes(shift_left_each(shift_right_logical<2>(n) & three, places))];
            if (DITHERING_UNLIKELY(NearestGrid::kind(e) == NearestGrid::SPLIT)) {
                e = children[NearestGrid::block_of(e) * NearestGrid::BLOCK +
                             or_lanes(shift_left_each(n & three, places))];
            }
        }
        if (DITHERING_UNLIKELY(NearestGrid::kind(e) != NearestGrid::LIST)) {
            e = grid_list_for(*grid, level, x);
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
        const I32x8 d = pair_distance(*low, *high, simd::splat8(first(v)), simd::splat8(second(v)),
                                      simd::splat8(third(v)));
        const I32x8 least = min_unsigned_everywhere(d);
        const auto p = static_cast<std::size_t>(std::countr_zero(bits(equal(d, least))));
        return (p < 4 ? low : high)->index[p & 3];
    }

    // Lanes 0..2 of x in [0, AXIS).
    DITHERING_ALWAYS_INLINE static bool inside(F32x4 x) {
        const simd::Mask32x4 in =
            less_equal(simd::zero4(), x) & less(x, simd::splat(NearestGrid::AXIS));
        return (bits(in) & 7) == 7;
    }
};

}  // namespace dithering::avx2

DITHERING_TARGET_AVX2_END

namespace dithering::avx2 {

inline GridSearch grid_search_of(NearestGrid& grid) {
    return {&grid, grid.table(), grid.children(), grid.quads()};
}

}  // namespace dithering::avx2

#endif
