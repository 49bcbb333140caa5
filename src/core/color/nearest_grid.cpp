// The nearest-colour grid: levels of cells, candidate lists built on demand.
//
// Why a cell's list is enough. A value c mapped to a cell lies, in every
// channel k, inside the cell's box [lo_k, hi_k] (see `cell_box` for the
// margin that makes this hold despite the rounding of the mapping). For a
// working value w, rounding is monotonic, so with a = fl(lo - w) and
// b = fl(hi - w) the computed difference t = fl(c - w) satisfies a <= t <= b.
// Hence fl(t * t) >= fl(a * a) when a > 0, >= fl(b * b) when b < 0, >= 0
// otherwise, and fl(t * t) <= max(fl(a * a), fl(b * b)). Rounded addition
// is monotonic in each operand, so summing these terms in the order of the
// distance gives LB(j) <= d(j) <= UB(j) for every colour j and every c in
// the box, with d exactly as the sequential scan computes it.
//
// Let j* be any colour at the minimal distance from c, and k the colour of
// the parent list with the smallest UB. If j* is in the parent list, then
// LB(j*) <= d(j*) <= d(k) <= UB(k), and the test LB <= min UB keeps j*:
// every colour at the minimal distance survives, ties included. The root
// list holds every colour except later exact copies of an earlier one,
// which tie with it and so never win; a cell's box lies inside its parent's
// box, so by induction each list holds every possible winner. Lists keep
// palette order, so the sequential rule run over a list picks the lowest
// index among the minima, which is the full scan's answer.
//
// With values inside the grid's range and working values in 0..255 (the
// grid is only used then) every distance is finite, below 3 * 513^2, so no
// NaN or overflow reaches the lists.
#include "core/color/nearest_grid.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <numeric>

namespace dithering {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
// The cell boxes are widened by this much on each side. Mapping a value to
// its cell rounds once, by at most half a unit in the last place of a
// number below 128, so the value can lie outside the nominal box by at most
// width * 2^-18 <= 2^-13: well inside the margin.
constexpr float MARGIN = 1.0f / 256.0f;
// The entry of a cell that takes the full scan.
constexpr std::uint32_t FULL = 1u << NearestGrid::COUNT_BITS;
// Entries hold the first quad in the bits above the count.
constexpr std::size_t MAX_QUADS = std::size_t{1} << (32 - NearestGrid::COUNT_BITS);

NearestGrid::Geometry geometry_for(unsigned width_log2) {
    const float width = static_cast<float>(1u << width_log2);
    const unsigned shift = 9 - width_log2;  // (HIGH - LOW) = 512 = 2^9
    return {width, 1.0f / width, -NearestGrid::LOW / width, static_cast<float>(1u << shift),
            shift};
}

// The lower and upper bound terms of one channel for four working values w
// over the box [lo, hi] (see the file comment). As lo < hi, a <= b, so at
// most one of a > 0 and b < 0 holds.
inline void channel_bounds(__m128 w, __m128 lo, __m128 hi, __m128& low, __m128& high) {
    const __m128 a = _mm_sub_ps(lo, w);
    const __m128 b = _mm_sub_ps(hi, w);
    const __m128 aa = _mm_mul_ps(a, a);
    const __m128 bb = _mm_mul_ps(b, b);
    const __m128 zero = _mm_setzero_ps();
    high = _mm_max_ps(aa, bb);
    low = _mm_or_ps(_mm_and_ps(_mm_cmpgt_ps(a, zero), aa), _mm_and_ps(_mm_cmplt_ps(b, zero), bb));
}

struct Box {
    float lo[3];
    float hi[3];
};

Box cell_box(const NearestGrid::Geometry& g, std::uint32_t cell) {
    std::uint32_t n[3];
    NearestGrid::coords_of(g.shift, cell, n);
    Box box{};
    for (std::size_t k = 0; k < 3; ++k) {
        // Small whole numbers times a power of two, then +- 2^-8: all exact.
        const float base = g.width * (static_cast<float>(n[k]) - g.offset);
        box.lo[k] = base - MARGIN;
        box.hi[k] = base + g.width + MARGIN;
    }
    return box;
}

}  // namespace

void NearestGrid::FreeTable::operator()(std::uint32_t* p) const noexcept { std::free(p); }

std::optional<NearestGrid> NearestGrid::create(const Palette& palette) noexcept {
    try {
        NearestGrid grid;
        grid.palette_ = &palette;
        const std::size_t m = palette.size();
        const float* working = palette.working.data();

        // The bounds below assume working values on the usual 0..255 scale
        // (what every ColorSpace makes); should they not be, every cell
        // takes the full scan.
        bool usual = true;
        for (std::size_t i = 0; i < 3 * m; ++i) {
            usual = usual && working[i] >= 0.0f && working[i] <= 255.0f;
        }
        // The root list: every colour but later copies of an earlier one.
        std::vector<bool> keep(m, true);
        if (usual) {
            std::vector<std::uint32_t> order(m);
            std::iota(order.begin(), order.end(), 0u);
            auto before = [working](std::uint32_t a, std::uint32_t b) {
                for (std::size_t k = 0; k < 3; ++k) {
                    if (working[3 * a + k] != working[3 * b + k]) {
                        return working[3 * a + k] < working[3 * b + k];
                    }
                }
                return a < b;
            };
            std::sort(order.begin(), order.end(), before);
            for (std::size_t i = 1; i < m; ++i) {
                const std::uint32_t a = order[i - 1];
                const std::uint32_t b = order[i];
                keep[b] = !(working[3 * a] == working[3 * b] &&
                            working[3 * a + 1] == working[3 * b + 1] &&
                            working[3 * a + 2] == working[3 * b + 2]);
            }
        }
        std::size_t distinct = 0;
        for (std::size_t j = 0; j < m; ++j) distinct += keep[j] ? 1u : 0u;

        const std::size_t root_quads = (distinct + 3) / 4;
        grid.pool_.reserve(1 + root_quads + 4096);
        grid.pool_.resize(1 + root_quads);
        std::size_t lane = 0;
        for (std::size_t j = 0; j < m; ++j) {
            if (!keep[j]) continue;
            CandidateQuad& quad = grid.pool_[1 + lane / 4];
            quad.w0[lane % 4] = working[3 * j];
            quad.w1[lane % 4] = working[3 * j + 1];
            quad.w2[lane % 4] = working[3 * j + 2];
            quad.index[lane % 4] = static_cast<std::uint32_t>(j);
            ++lane;
        }
        for (std::size_t i = 0; i < 4; ++i) {
            CandidateQuad& quad = grid.pool_[0];
            quad.w0[i] = quad.w1[i] = quad.w2[i] = INF;
            quad.index[i] = 0;
        }
        for (; lane < 4 * root_quads; ++lane) {
            CandidateQuad& quad = grid.pool_[1 + lane / 4];
            quad.w0[lane % 4] = quad.w1[lane % 4] = quad.w2[lane % 4] = INF;
            quad.index[lane % 4] = 0;
        }
        grid.root_ = usual && root_quads > 0
                         ? static_cast<std::uint32_t>(1u << COUNT_BITS | root_quads)
                         : FULL;
        grid.scratch_.resize(4 * root_quads);
        grid.lows_.resize(root_quads);

        // Cells of width 8 keep most lists to one or two quads for palettes
        // of a few hundred colours and still cost little to build and hold;
        // their lists are filtered from those of cells of width 32, which
        // are filtered from the whole palette, so a build never scans more
        // than a fraction of a large palette.
        const unsigned widths[] = {5, 3};  // log2 of the cell width, coarsest first
        for (unsigned w : widths) {
            Level level;
            level.geometry = geometry_for(w);
            const std::size_t cells = std::size_t{1} << (3 * level.geometry.shift);
            level.table.reset(
                static_cast<std::uint32_t*>(std::calloc(cells, sizeof(std::uint32_t))));
            if (!level.table) return std::nullopt;
            grid.levels_.push_back(std::move(level));
        }
        return grid;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::uint32_t NearestGrid::build(std::size_t level, std::uint32_t cell) noexcept {
    Level& here = levels_[level];
    std::uint32_t& slot = here.table[cell];
    if (slot == FULL) return FULL;
    const Geometry& g = here.geometry;
    std::uint32_t parent = root_;
    if (level > 0) {
        const Level& up = levels_[level - 1];
        const unsigned drop = g.shift - up.geometry.shift;
        std::uint32_t n[3];
        coords_of(g.shift, cell, n);
        const std::uint32_t up_cell =
            cell_of(up.geometry.shift, n[0] >> drop, n[1] >> drop, n[2] >> drop);
        parent = up.table[up_cell];
        if ((parent & COUNT_MASK) == 0) parent = build(level - 1, up_cell);
    }
    if ((parent & COUNT_MASK) == 0) {
        slot = FULL;
        return FULL;
    }
    const std::size_t first = parent >> COUNT_BITS;
    const std::size_t count = parent & COUNT_MASK;
    const Box box = cell_box(g, cell);

    // The smallest upper bound in the parent list, then every colour whose
    // lower bound does not exceed it, in list order.
    const __m128 lo0 = _mm_set1_ps(box.lo[0]), hi0 = _mm_set1_ps(box.hi[0]);
    const __m128 lo1 = _mm_set1_ps(box.lo[1]), hi1 = _mm_set1_ps(box.hi[1]);
    const __m128 lo2 = _mm_set1_ps(box.lo[2]), hi2 = _mm_set1_ps(box.hi[2]);
    __m128 least_high = _mm_set1_ps(INF);
    const CandidateQuad* source = pool_.data() + first;
    float* const lows = lows_.data()->v;
    for (std::size_t q = 0; q < count; ++q) {
        __m128 l0, l1, l2, h0, h1, h2;
        channel_bounds(_mm_load_ps(source[q].w0), lo0, hi0, l0, h0);
        channel_bounds(_mm_load_ps(source[q].w1), lo1, hi1, l1, h1);
        channel_bounds(_mm_load_ps(source[q].w2), lo2, hi2, l2, h2);
        least_high = _mm_min_ps(least_high, _mm_add_ps(_mm_add_ps(h1, h0), h2));
        _mm_store_ps(lows + 4 * q, _mm_add_ps(_mm_add_ps(l1, l0), l2));
    }
    least_high = _mm_min_ps(least_high, _mm_shuffle_ps(least_high, least_high, 0x4e));
    least_high = _mm_min_ps(least_high, _mm_shuffle_ps(least_high, least_high, 0xb1));
    std::size_t kept = 0;
    for (std::size_t q = 0; q < count; ++q) {
        auto keep = static_cast<unsigned>(
            _mm_movemask_ps(_mm_cmple_ps(_mm_load_ps(lows + 4 * q), least_high)));
        for (; keep != 0; keep &= keep - 1) {
            scratch_[kept++] = static_cast<std::uint32_t>(4 * q) +
                               static_cast<std::uint32_t>(__builtin_ctz(keep));
        }
    }

    const std::size_t quads = (kept + 3) / 4;
    const std::size_t start = pool_.size();
    if (start + quads > MAX_QUADS) {
        slot = FULL;
        return FULL;
    }
    try {
        pool_.resize(start + quads);
    } catch (const std::bad_alloc&) {
        slot = FULL;
        return FULL;
    }
    source = pool_.data() + first;  // the pool may have moved
    CandidateQuad* target = pool_.data() + start;
    for (std::size_t i = 0; i < 4 * quads; ++i) {
        CandidateQuad& to = target[i / 4];
        if (i < kept) {
            const CandidateQuad& from = source[scratch_[i] / 4];
            const std::size_t lane = scratch_[i] % 4;
            to.w0[i % 4] = from.w0[lane];
            to.w1[i % 4] = from.w1[lane];
            to.w2[i % 4] = from.w2[lane];
            to.index[i % 4] = from.index[lane];
        } else {
            to.w0[i % 4] = to.w1[i % 4] = to.w2[i % 4] = INF;
            to.index[i % 4] = 0;
        }
    }
    slot = static_cast<std::uint32_t>(start << COUNT_BITS | quads);
    return slot;
}

std::size_t NearestGrid::nearest(float c0, float c1, float c2) noexcept {
    const Geometry& g = finest();
    const float c[3] = {c0, c1, c2};
    std::uint32_t n[3];
    for (std::size_t k = 0; k < 3; ++k) {
        const float x = c[k] * g.inv_width + g.offset;
        if (!(x >= 0.0f && x < g.cells)) return palette_->nearest(c0, c1, c2);
        n[k] = static_cast<std::uint32_t>(x);
    }
    const std::uint32_t e = entry(cell_of(g.shift, n[0], n[1], n[2]));
    if ((e & COUNT_MASK) == 0) return palette_->nearest(c0, c1, c2);
    const CandidateQuad* list = pool_.data() + (e >> COUNT_BITS);
    float best = INF;
    std::size_t index = 0;
    for (std::size_t q = 0; q < (e & COUNT_MASK); ++q) {
        for (std::size_t i = 0; i < 4; ++i) {
            const float t1 = c1 - list[q].w1[i];
            const float t0 = c0 - list[q].w0[i];
            const float t2 = c2 - list[q].w2[i];
            const float s = t1 * t1 + t0 * t0;
            const float d = s + t2 * t2;
            if (best > d) {
                best = d;
                index = list[q].index[i];
            }
        }
    }
    return index;
}

}  // namespace dithering
