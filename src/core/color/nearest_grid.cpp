// The nearest-colour grid: levels of cells, candidate lists built on demand.
//
// Why a cell's list is enough. A value c mapped to a cell lies, in every
// channel k, inside the cell's box [lo_k, hi_k] (see margin_of for the
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
// index among the minima, which is the full scan's answer. The same holds
// for the cells of a split cell, whose boxes lie inside its box and whose
// lists are filtered from its list.
//
// That test alone keeps every colour within a thick shell around a cell,
// and far from the palette (where unclamped error takes many values) the
// shell holds most of it. So a second test drops a colour j that a single
// other colour k beats everywhere in the box. In exact arithmetic
// d_j(c) - d_k(c) is linear in c, its least value over the box at a
// corner. Each float distance is within 5.01 * 2^-24 of its exact value
// relative to itself (five roundings), so when the least exact difference
// exceeds 2^-20 * (R_j + R_k), R being a colour's farthest squared
// distance from the box (at least the box's half width squared), the
// computed d_j exceeds the computed d_k at every value in the box: j can
// never be the first minimum, whatever its index. The least difference
// and R are computed in double precision from float inputs, a handful of
// roundings of 2^-53 relative to terms below 2^26 * R: far inside the
// factor of three between the margin and the float error. Dropping j
// keeps every colour that can win, so the induction above still holds.
//
// With values inside the grid's cubes and working values in 0..255 (the
// grid is only used then) every distance is finite, below 3 * 2^36, so no
// NaN or overflow reaches the lists.
#include "core/color/nearest_grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <numeric>

#include "core/color/color_distance.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

namespace dithering {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
// The entry of a cell that takes the full scan.
constexpr std::uint32_t FULL = 4;
// List entries hold the first quad in their top 19 bits.
constexpr std::size_t MAX_QUADS = std::size_t{1} << 19;

std::uint32_t list_entry(std::size_t first, std::size_t count) {
    return static_cast<std::uint32_t>(first << 13 | count << 2 | NearestGrid::LIST);
}
// Coordinates per cell: top cells, and the coarse cells (a brick of top
// cells) their lists are filtered from.
constexpr std::uint32_t TOP_STEPS = 16;
constexpr std::uint32_t COARSE_STEPS = 64;
constexpr std::size_t TOP_CELLS = std::size_t{NearestGrid::LEVELS} << 15;
constexpr std::size_t COARSE_CELLS = std::size_t{NearestGrid::LEVELS} << 9;
// Candidates a colour is tested against for dominance: the ones with the
// least farthest distance from the box, likeliest to beat the others.
constexpr std::size_t DOMINATORS = 4;

// The cell boxes of cube L are widened by unit(L) * 2^-7 on each side.
// Mapping a value to its coordinates rounds once, by at most half a unit
// in the last place of a number below 512, 2^-16 coordinates, so the value
// can lie outside the nominal box by at most unit(L) * 2^-16: well inside.
// Box edges are whole multiples of unit(L) below 2^18 * unit(L) in
// magnitude, so the widened ones are exact.
float margin_of(unsigned level) { return NearestGrid::unit(level) * 0x1p-7f; }

// The lower and upper bound terms of one channel for four working values w
// over the box [lo, hi] (see the file comment). As lo < hi, a <= b, so at
// most one of a > 0 and b < 0 holds.
using simd::F32x4;
using simd::F64x2;

inline void channel_bounds(F32x4 w, F32x4 lo, F32x4 hi, F32x4& low, F32x4& high) {
    const F32x4 a = lo - w;
    const F32x4 b = hi - w;
    const F32x4 aa = a * a;
    const F32x4 bb = b * b;
    const F32x4 zero = simd::zero4();
    high = simd::max(aa, bb);
    low = simd::select(simd::less(zero, a), aa, simd::select(simd::less(b, zero), bb, zero));
}

// The sequential rule over a cell's list, whose quads hold candidates in
// palette order, four a vector: the least distance over the list, then the
// first lane that holds it, the lowest index among the nearest. min keeps
// its second operand for a NaN distance, so none wins. When no distance is
// below +inf (never for a value in a cube, whose distances are finite, see
// above), the sequential rule never moves off colour 0.
std::size_t list_nearest(const CandidateQuad* list, std::size_t count, float c0, float c1,
                         float c2) {
    const F32x4 v0 = simd::splat(c0);
    const F32x4 v1 = simd::splat(c1);
    const F32x4 v2 = simd::splat(c2);
    const auto distance = [&](const CandidateQuad& quad) {
        const F32x4 t1 = v1 - simd::load4(quad.w1);
        const F32x4 t0 = v0 - simd::load4(quad.w0);
        const F32x4 t2 = v2 - simd::load4(quad.w2);
        return squared_distance(t0, t1, t2);
    };
    F32x4 least = simd::splat(INF);
    for (std::size_t q = 0; q < count; ++q) least = simd::min(distance(list[q]), least);
    least = simd::min(least, simd::swap_halves(least));
    least = simd::min(least, simd::swap_neighbours(least));
    if (!(simd::first(least) < INF)) return 0;
    // `least` is one of the distances, computed again here bit for bit, so
    // some lane matches.
    for (std::size_t q = 0; q < count; ++q) {
        const unsigned at = simd::bits(simd::equal(distance(list[q]), least));
        if (at != 0) return list[q].index[std::countr_zero(at)];
    }
    return 0;
}

}  // namespace

void NearestGrid::FreeTable::operator()(std::uint32_t* p) const noexcept { std::free(p); }

std::optional<NearestGrid> NearestGrid::create(const Palette& palette,
                                               std::size_t split_again_quads,
                                               std::size_t memory_limit) noexcept {
    try {
        NearestGrid grid;
        grid.palette_ = &palette;
        grid.split_again_quads_ = split_again_quads;
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

        // Room for every list is reserved now (only the pages written are
        // ever faulted in), so the lists never move: most of the memory
        // for lists, a fifth for the blocks of split cells.
        const std::size_t root_quads = (distinct + 3) / 4;
        const std::size_t block_bytes = memory_limit / 5;
        grid.pool_.reserve(1 + root_quads + (memory_limit - block_bytes) / sizeof(CandidateQuad));
        grid.children_.reserve(block_bytes / sizeof(std::uint32_t) / BLOCK * BLOCK);
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
                         ? list_entry(1, root_quads)
                         : FULL;
        grid.scratch_.resize(4 * root_quads);
        grid.lows_.resize(root_quads);
        grid.reach_.resize(4 * root_quads + 2);
        grid.wide_.resize(3 * (4 * root_quads + 2));

        grid.coarse_.reset(
            static_cast<std::uint32_t*>(std::calloc(COARSE_CELLS, sizeof(std::uint32_t))));
        grid.table_.reset(
            static_cast<std::uint32_t*>(std::calloc(TOP_CELLS, sizeof(std::uint32_t))));
        if (!grid.coarse_ || !grid.table_) return std::nullopt;
        return grid;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

NearestGrid::Box NearestGrid::box_of(unsigned level, std::uint32_t steps, std::uint32_t n0,
                                     std::uint32_t n1, std::uint32_t n2) noexcept {
    const std::uint32_t n[3] = {n0, n1, n2};
    const float u = unit(level);
    const float margin = margin_of(level);
    Box box{};
    for (std::size_t k = 0; k < 3; ++k) {
        box.lo[k] = (static_cast<float>(n[k]) * u + low(level)) - margin;
        box.hi[k] = (static_cast<float>(n[k] + steps) * u + low(level)) + margin;
    }
    return box;
}

std::uint32_t NearestGrid::build_coarse(std::uint32_t cell) noexcept {
    std::uint32_t& slot = coarse_[cell];
    if (kind(root_) != LIST) return slot = FULL;
    const unsigned level = cell >> 9;
    const std::uint32_t n0 = ((cell >> 6) & 7) * COARSE_STEPS;
    const std::uint32_t n1 = ((cell >> 3) & 7) * COARSE_STEPS;
    const std::uint32_t n2 = (cell & 7) * COARSE_STEPS;
    return slot = filter(root_, box_of(level, COARSE_STEPS, n0, n1, n2));
}

std::uint32_t NearestGrid::build_top(std::uint32_t cell) noexcept {
    std::uint32_t& slot = table_[cell];
    if (slot == FULL) return FULL;
    // The coarse cell is the brick (see top_cell).
    const std::uint32_t brick = cell >> 6;
    std::uint32_t parent = coarse_[brick];
    if (parent == 0) parent = build_coarse(brick);
    if (kind(parent) == NONE) return slot = FULL;
    const unsigned level = brick >> 9;
    const std::uint32_t n0 = ((brick >> 6) & 7) * COARSE_STEPS + ((cell >> 4) & 3) * TOP_STEPS;
    const std::uint32_t n1 = ((brick >> 3) & 7) * COARSE_STEPS + ((cell >> 2) & 3) * TOP_STEPS;
    const std::uint32_t n2 = (brick & 7) * COARSE_STEPS + (cell & 3) * TOP_STEPS;
    return slot = maybe_split(filter(parent, box_of(level, TOP_STEPS, n0, n1, n2)), 0);
}

std::uint32_t NearestGrid::build_child(std::size_t slot, unsigned level, unsigned depth,
                                       std::uint32_t n0, std::uint32_t n1,
                                       std::uint32_t n2) noexcept {
    const std::uint32_t parent = children_[slot / BLOCK * BLOCK + 64];
    const unsigned s = 4 - 2 * depth;  // a child is 1 << s coordinates wide
    const Box box = box_of(level, 1u << s, n0 >> s << s, n1 >> s << s, n2 >> s << s);
    const std::uint32_t e = maybe_split(filter(parent, box), depth);
    children_[slot] = e;
    return e;
}

std::uint32_t NearestGrid::maybe_split(std::uint32_t list, unsigned depth) noexcept {
    if (kind(list) != LIST || depth >= MAX_DEPTH) return list;
    if (list_count(list) <= (depth == 0 ? SPLIT_QUADS : split_again_quads_)) return list;
    const std::size_t start = children_.size();
    if (start + BLOCK > children_.capacity()) return list;
    children_.resize(start + BLOCK, 0u);  // within the reserved room: cannot throw
    children_[start + 64] = list;
    return static_cast<std::uint32_t>(start / BLOCK) << 2 | SPLIT;
}

std::size_t NearestGrid::drop_dominated(const CandidateQuad* source, std::size_t kept,
                                        const Box& box) noexcept {
    if (kept <= 1) return kept;
    // The candidates' working values in double precision, a channel per
    // row, padded to an even count with copies of the first, whose results
    // are ignored.
    const std::size_t padded = (kept + 1) & ~std::size_t{1};
    double* const w[3] = {wide_.data(), wide_.data() + padded, wide_.data() + 2 * padded};
    for (std::size_t i = 0; i < padded; ++i) {
        const std::uint32_t lane = scratch_[i < kept ? i : 0];
        const CandidateQuad& q = source[lane / 4];
        w[0][i] = q.w0[lane % 4];
        w[1][i] = q.w1[lane % 4];
        w[2][i] = q.w2[lane % 4];
    }
    F64x2 lo[3], hi[3];
    for (std::size_t k = 0; k < 3; ++k) {
        lo[k] = simd::splat2(box.lo[k]);
        hi[k] = simd::splat2(box.hi[k]);
    }
    double* const reach = reach_.data();
    for (std::size_t i = 0; i < padded; i += 2) {
        F64x2 r = simd::zero2();
        for (std::size_t k = 0; k < 3; ++k) {
            const F64x2 x = simd::load2(w[k] + i);
            const F64x2 a = lo[k] - x;
            const F64x2 b = hi[k] - x;
            r = r + simd::max(a * a, b * b);
        }
        simd::store2(reach + i, r);
    }
    // The candidates of least reach, in ascending order.
    std::size_t dominators[DOMINATORS];
    std::size_t count = 0;
    for (std::size_t i = 0; i < kept; ++i) {
        std::size_t at = count;
        if (count == DOMINATORS) {
            if (reach[i] >= reach[dominators[DOMINATORS - 1]]) continue;
            at = DOMINATORS - 1;
        } else {
            ++count;
        }
        for (; at > 0 && reach[dominators[at - 1]] > reach[i]; --at) {
            dominators[at] = dominators[at - 1];
        }
        dominators[at] = i;
    }
    // For each dominator k, every candidate i still in at once: the least
    // of d_i - d_k over the box, the sum over channels of
    // (wi - wk) * (wi + wk) - 2 * max(lo * (wi - wk), hi * (wi - wk)),
    // against the margin; the candidates it beats leave before the next
    // dominator. A dominator compared with itself gives 0, which never
    // passes.
    double wd[DOMINATORS][3];
    double reach_d[DOMINATORS];
    for (std::size_t t = 0; t < count; ++t) {
        for (std::size_t k = 0; k < 3; ++k) wd[t][k] = w[k][dominators[t]];
        reach_d[t] = reach[dominators[t]];
    }
    const F64x2 slack = simd::splat2(0x1p-20);
    std::size_t alive = kept;
    for (std::size_t t = 0; t < count; ++t) {
        const F64x2 wk[3] = {simd::splat2(wd[t][0]), simd::splat2(wd[t][1]),
                             simd::splat2(wd[t][2])};
        const F64x2 reach_k = simd::splat2(reach_d[t]);
        std::size_t out = 0;
        for (std::size_t i = 0; i < alive; i += 2) {
            F64x2 least = simd::zero2();
            for (std::size_t k = 0; k < 3; ++k) {
                const F64x2 wi = simd::load2(w[k] + i);
                const F64x2 a = wi - wk[k];
                const F64x2 corner = simd::max(lo[k] * a, hi[k] * a);
                least = least + (a * (wi + wk[k]) - (corner + corner));
            }
            const F64x2 margin = slack * (simd::load2(reach + i) + reach_k);
            const unsigned beaten = simd::bits(simd::greater(least, margin));
            // Survivors move down in order; out <= i, so nothing unread is
            // overwritten.
            for (std::size_t j = i; j < i + 2 && j < alive; ++j) {
                if ((beaten >> (j - i) & 1) != 0) continue;
                for (std::size_t k = 0; k < 3; ++k) w[k][out] = w[k][j];
                reach[out] = reach[j];
                scratch_[out] = scratch_[j];
                ++out;
            }
        }
        alive = out;
        if (alive % 2 != 0) {
            // The next pass reads one lane past the end: a copy of the
            // first, whose result is ignored.
            for (std::size_t k = 0; k < 3; ++k) w[k][alive] = w[k][0];
            reach[alive] = reach[0];
        }
    }
    return alive;
}

std::uint32_t NearestGrid::filter(std::uint32_t parent, const Box& box) noexcept {
    if (kind(parent) != LIST) return parent;  // the full scan: nothing to narrow
    const std::size_t first = list_first(parent);
    const std::size_t count = list_count(parent);

    // The smallest upper bound in the parent list, then every colour whose
    // lower bound does not exceed it, in list order.
    const F32x4 lo0 = simd::splat(box.lo[0]), hi0 = simd::splat(box.hi[0]);
    const F32x4 lo1 = simd::splat(box.lo[1]), hi1 = simd::splat(box.hi[1]);
    const F32x4 lo2 = simd::splat(box.lo[2]), hi2 = simd::splat(box.hi[2]);
    F32x4 least_high = simd::splat(INF);
    const CandidateQuad* source = pool_.data() + first;
    float* const lows = lows_.data()->v;
    for (std::size_t q = 0; q < count; ++q) {
        F32x4 l0, l1, l2, h0, h1, h2;
        channel_bounds(simd::load4(source[q].w0), lo0, hi0, l0, h0);
        channel_bounds(simd::load4(source[q].w1), lo1, hi1, l1, h1);
        channel_bounds(simd::load4(source[q].w2), lo2, hi2, l2, h2);
        least_high = simd::min(least_high, (h1 + h0) + h2);
        simd::store4(lows + 4 * q, (l1 + l0) + l2);
    }
    least_high = simd::min(least_high, simd::swap_halves(least_high));
    least_high = simd::min(least_high, simd::swap_neighbours(least_high));
    std::size_t kept = 0;
    for (std::size_t q = 0; q < count; ++q) {
        unsigned keep = simd::bits(simd::less_equal(simd::load4(lows + 4 * q), least_high));
        for (; keep != 0; keep &= keep - 1) {
            scratch_[kept++] = static_cast<std::uint32_t>(4 * q) +
                               static_cast<std::uint32_t>(std::countr_zero(keep));
        }
    }
    kept = drop_dominated(source, kept, box);

    const std::size_t quads = (kept + 3) / 4;
    if (quads == count) return parent;  // no quad saved: share the parent's list
    const std::size_t start = pool_.size();
    if (start + quads > pool_.capacity() || start + quads > MAX_QUADS) return parent;
    pool_.resize(start + quads);  // within the reserved room: cannot throw
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
    return list_entry(start, quads);
}

std::size_t NearestGrid::nearest(float c0, float c1, float c2) noexcept {
    const float c[3] = {c0, c1, c2};
    for (unsigned level = 0; level < LEVELS; ++level) {
        std::uint32_t n[3];
        bool inside = true;
        for (std::size_t k = 0; k < 3; ++k) {
            const float x = c[k] * scale(level) + offset(level);
            inside = inside && x >= 0.0f && x < AXIS;
            n[k] = inside ? static_cast<std::uint32_t>(x) : 0u;
        }
        if (!inside) continue;
        const std::uint32_t e = list_for(level, n[0], n[1], n[2]);
        if (kind(e) == NONE) break;
        return list_nearest(pool_.data() + list_first(e), list_count(e), c0, c1, c2);
    }
    return palette_->nearest(c0, c1, c2);
}

}  // namespace dithering
