// The wavefront's step loops, written once over a lane-width tag D
// (simd/lanes8.hpp, simd/vec16_avx512.hpp), and its transposes, over the
// 8-lane vector type: each source file that includes this has first
// included the vector types it builds them with and gets its own copy, at
// internal linkage, for those. A band's sixteen lanes are two 8-lane
// vectors (rows 0..7 of the band and 8..15) or one of sixteen.
// levels_wavefront.cpp explains the scheme.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/diffusion/wavefront_layout.hpp"
#include "core/simd/compiler.hpp"

namespace dithering::wavefront {
namespace {

using namespace simd;

// Eight rows of 32 bytes, one 16-column block in each 16-byte half.
// Interleaving rows i and i + 4, three times, leaves in vector j the
// columns 2j and 2j + 1 of each half, eight bytes (rows 0..7) each: lane
// groups. Four more rounds (seven in all are the identity) undo it.
template <int ROUNDS>
DITHERING_ALWAYS_INLINE void interleave_rows(U8x32 (&x)[8]) {
DITHERING_UNROLL(4)
    for (int round = 0; round < ROUNDS; ++round) {
        U8x32 t[8];
DITHERING_UNROLL(4)
        for (std::size_t i = 0; i < 4; ++i) {
            t[2 * i] = zip_low(x[i], x[i + 4]);
            t[2 * i + 1] = zip_high(x[i], x[i + 4]);
        }
DITHERING_UNROLL(8)
        for (std::size_t i = 0; i < 8; ++i) x[i] = t[i];
    }
}

// 32 columns of eight rows (row i at src + i * src_pitch) into 32 lane
// groups of eight bytes.
void rows_to_groups(const std::uint8_t* src, std::ptrdiff_t src_pitch, std::uint8_t* groups) {
    U8x32 x[8];
DITHERING_UNROLL(8)
    for (std::size_t i = 0; i < 8; ++i) {
        x[i] = load32(src + static_cast<std::ptrdiff_t>(i) * src_pitch);
    }
    interleave_rows<3>(x);
DITHERING_UNROLL(8)
    for (std::size_t j = 0; j < 8; ++j) store_halves(groups + 16 * j, groups + 128 + 16 * j, x[j]);
}

// The inverse: 32 lane groups back to 32 bytes of each of the eight rows.
void groups_to_rows(const std::uint8_t* groups, std::uint8_t* dst, std::ptrdiff_t dst_pitch) {
    U8x32 x[8];
DITHERING_UNROLL(8)
    for (std::size_t j = 0; j < 8; ++j) x[j] = load_halves(groups + 16 * j, groups + 128 + 16 * j);
    interleave_rows<4>(x);
DITHERING_UNROLL(8)
    for (std::size_t i = 0; i < 8; ++i) {
        store32(dst + static_cast<std::ptrdiff_t>(i) * dst_pitch, x[i]);
    }
}

// The pass's constants broadcast into vectors once per call of the step
// loop, out of reach of the loop's stores (which the compiler must
// otherwise assume may change them).
template <class D>
struct Broadcast {
    using F32 = typename D::F32;
    F32 above2[5], above1[5], ahead2, ahead1;
    F32 thresholds[7], values8[8];
    typename D::I32 codes8;
    F32 inv_step, top;

    explicit Broadcast(const Pass& p) {
        for (std::size_t k = 0; k < 5; ++k) {
            above2[k] = splat(D{}, p.w.above2[k]);
            above1[k] = splat(D{}, p.w.above1[k]);
        }
        ahead2 = splat(D{}, p.w.ahead2);
        ahead1 = splat(D{}, p.w.ahead1);
        for (std::size_t i = 0; i < 7; ++i) thresholds[i] = splat(D{}, p.thresholds[i]);
        for (std::size_t i = 0; i < 8; ++i) values8[i] = splat(D{}, p.values8[i]);
        codes8 = load_table8(D{}, p.codes8);
        inv_step = splat(D{}, p.inv_step);
        top = splat(D{}, p.top);
    }
};

// The level of each lane and its error v - values[level].
template <class D, Quantizer Q>
DITHERING_ALWAYS_INLINE typename D::F32 quantize(const Pass& p, const Broadcast<D>& b,
                                                 typename D::F32 v, typename D::I32& level) {
    if constexpr (Q == Quantizer::many) {
        // roundf(v * inv_step) limited to 0..top, NaN to 0, as in
        // Levels::quantize: limiting before rounding gives the same level
        // as after (both bounds are whole numbers); max with 0 first turns
        // NaN into 0 (max returns its second operand then). On 0..255 the
        // truncation and q - trunc(q) are exact.
        auto q = v * b.inv_step;
        q = max(q, zero(D{}));
        q = min(q, b.top);
        const auto whole = truncate(q);
        const auto frac = q - to_float(whole);
        const auto up = greater_equal(frac, splat(D{}, 0.5f));
        level = whole - as_int(up);
        return v - gather(p.values, level);
    } else {
        constexpr int count = Q == Quantizer::two ? 1 : Q == Quantizer::four ? 3 : 7;
        // Compares against every threshold at once (>= is false for NaN
        // either side), and the error of the highest level reached. The
        // errors of all the levels are computed alongside the compares, so
        // that only the compare and the blends lie between a value and its
        // error.
        auto error = v - b.values8[0];
        level = splat_int(D{}, 0);
DITHERING_UNROLL(7)
        for (int i = 0; i < count; ++i) {
            const auto reached = greater_equal(v, b.thresholds[i]);
            error = select(reached, v - b.values8[i + 1], error);
            level = level - as_int(reached);
        }
        return error;
    }
}

template <class D, Quantizer Q>
DITHERING_ALWAYS_INLINE typename D::I32 code_of(const Pass& p, const Broadcast<D>& b,
                                                typename D::I32 level) {
    if constexpr (Q == Quantizer::many) {
        return gather(p.codes, level);
    } else {
        return lookup(b.codes8, level);
    }
}

// cell + weight * e, the product rounded first; the first term is the
// product alone (0 + x is x for every x but -0, whose sign no byte sees).
template <class F32>
DITHERING_ALWAYS_INLINE void accumulate(F32& cell, bool& any, F32 weight, F32 e) {
    const F32 product = weight * e;
    cell = any ? cell + product : product;
    any = true;
}

constexpr unsigned ABOVE_TAPS = ALL_TAPS & ~(TAP_AHEAD1 | TAP_AHEAD2);

// What the cell of the pixel a lane reaches at some step receives from the
// rows above, read from the history: `step` is that step's history row;
// `shift1`/`shift2` the float offsets within a row whose D::N floats are
// the row above / two above of this vector's lanes. Zero when the kernel
// reaches no row below its own.
template <class D, unsigned TAPS>
DITHERING_ALWAYS_INLINE typename D::F32 from_rows_above(const Broadcast<D>& b, const float* step,
                                                        std::size_t shift1, std::size_t shift2) {
    auto cell = zero(D{});
    bool any = false;
    // Unrolled, so that the tap tests fold away at compile time.
DITHERING_UNROLL(5)
    for (int k = -2; k <= 2; ++k) {
        if (TAPS & tap_above2(k)) {
            const float* row = step - static_cast<std::ptrdiff_t>(PITCH) * (2 * LAG - k);
            accumulate(cell, any, b.above2[k + 2], load(D{}, row + shift2));
        }
    }
DITHERING_UNROLL(5)
    for (int k = -2; k <= 2; ++k) {
        if (TAPS & tap_above1(k)) {
            const float* row = step - static_cast<std::ptrdiff_t>(PITCH) * (LAG - k);
            accumulate(cell, any, b.above1[k + 2], load(D{}, row + shift1));
        }
    }
    return cell;
}

// The lane's value: the cell (rows above, then the lane's own two earlier
// errors) added to the pixel's base value. With no weight at all the cell
// is the plain form's untouched 0 and the value the base itself.
template <class D, unsigned TAPS>
DITHERING_ALWAYS_INLINE typename D::F32 pixel_value(const Broadcast<D>& b, typename D::F32 base,
                                                    typename D::F32 above, typename D::F32 e1,
                                                    typename D::F32 e2) {
    auto cell = above;
    bool any = (TAPS & ABOVE_TAPS) != 0;
    if (TAPS & TAP_AHEAD2) accumulate(cell, any, b.ahead2, e2);
    if (TAPS & TAP_AHEAD1) accumulate(cell, any, b.ahead1, e1);
    return any ? base + cell : base;
}

// Where, within a step, the rows above (shift1) and two above (shift2) of
// the lanes of vector h, N lanes a vector, start.
template <std::size_t N>
constexpr std::size_t shift1(std::size_t h) { return LANE0 - 1 + N * h; }
template <std::size_t N>
constexpr std::size_t shift2(std::size_t h) { return LANE0 - 2 + N * h; }

// The lane's column at step t is t - lag: 0, LAG, ..., 15 * LAG.
constexpr std::int32_t LANE_LAGS[BAND] = {0,        LAG,      2 * LAG,  3 * LAG,
                                          4 * LAG,  5 * LAG,  6 * LAG,  7 * LAG,
                                          8 * LAG,  9 * LAG,  10 * LAG, 11 * LAG,
                                          12 * LAG, 13 * LAG, 14 * LAG, 15 * LAG};
constexpr std::int32_t LANE_INDICES[BAND] = {0, 1, 2,  3,  4,  5,  6,  7,
                                             8, 9, 10, 11, 12, 13, 14, 15};

// Steps begin..end-1 of a band, its sixteen lanes in BAND / D::N vectors
// (vector h holds lanes h * D::N on). `history` holds HISTORY + CHUNK
// steps of PITCH floats; on entry its first HISTORY rows are the steps
// just before `begin`, and so they are on return. Lane r is at column t -
// r * LAG of the band's row r (one of the first `rows.current`); where that
// column is negative, on a helix (rows.period > 0) it is at that column
// plus the period in the previous band's row r (one of the first
// `rows.previous`). Where a lane is outside the image its error is made 0:
// inner steps have none such, seam steps only the helix's two gap columns,
// edge steps any.
template <class D, unsigned TAPS, Quantizer Q, Steps MODE, bool TRACE>
DITHERING_NOINLINE void run_steps(const Pass& p, float* history, std::uint8_t* const* lanes,
                                  float* const* carry, std::ptrdiff_t begin, std::ptrdiff_t end,
                                  float* state, BandLanes rows) {
    using F32 = typename D::F32;
    using I32 = typename D::I32;
    constexpr std::size_t N = D::N;
    constexpr std::size_t H = BAND / N;
    const Broadcast<D> b(p);
    // The errors of the two previous steps: `state` holds the sixteen
    // lanes' latest errors, then those before.
    F32 e1[H], e2[H];
    I32 lane_lag[H], lane_index[H];
DITHERING_UNROLL(2)
    for (std::size_t h = 0; h < H; ++h) {
        e1[h] = load(D{}, state + N * h);
        e2[h] = load(D{}, state + BAND + N * h);
        lane_lag[h] = load_int(D{}, LANE_LAGS + N * h);
        lane_index[h] = load_int(D{}, LANE_INDICES + N * h);
    }
    const I32 rows_here = splat_int(D{}, static_cast<std::int32_t>(rows.current));
    // A lane still in the previous band sees `rows.previous` rows there:
    // as many fewer as this difference.
    const I32 rows_fewer = splat_int(D{}, static_cast<std::int32_t>(rows.current) -
                                              static_cast<std::int32_t>(rows.previous));
    const I32 period = splat_int(D{}, static_cast<std::int32_t>(rows.period));
    const I32 width = splat_int(D{}, static_cast<std::int32_t>(p.width));
    const I32 minus_one = splat_int(D{}, -1);
    const I32 minus_three = splat_int(D{}, -3);
    const I32 zero_int = splat_int(D{}, 0);
    const float* const above2_in = carry[0];
    const float* const above1_in = carry[1];
    float* const lane14_out = carry[2];
    float* const lane15_out = carry[3];
    // Copied: the byte stores into the groups may alias anything, and would
    // otherwise make every step read these pointers again.
    std::uint8_t* const groups[2] = {lanes[0], lanes[1]};
    const bool identity_lut = p.identity_lut;
    const float* const lut = p.lut;
    // The rows-above part of the cells is independent of the lanes' latest
    // errors, so it is summed AHEAD steps early, off the chain that runs
    // from one step's errors to the next.
    for (std::size_t k = 0; k < AHEAD; ++k) {
        float* const row = history + (HISTORY + k) * PITCH;
DITHERING_UNROLL(2)
        for (std::size_t h = 0; h < H; ++h) {
            store(row + PENDING + N * h,
                  from_rows_above<D, TAPS>(b, row, shift1<N>(h), shift2<N>(h)));
        }
    }
    std::ptrdiff_t t = begin;
    while (t < end) {
        const std::ptrdiff_t chunk_end = std::min(end, t + static_cast<std::ptrdiff_t>(CHUNK));
        float* step = history + HISTORY * PITCH;
        for (; t < chunk_end; ++t, step += PITCH) {
            step[SLOT_ABOVE2] = above2_in[t + 2 * LAG];
            step[SLOT_ABOVE1] = above1_in[t + LAG];
            const std::size_t groups_at = 8 * static_cast<std::size_t>(t);
            I32 index[H];
            load_band_bytes(D{}, groups, groups_at, index);
            F32 base[H];
            if (identity_lut) {
DITHERING_UNROLL(2)
                for (std::size_t h = 0; h < H; ++h) base[h] = to_float(index[h]);
            } else {
DITHERING_UNROLL(2)
                for (std::size_t h = 0; h < H; ++h) base[h] = gather(lut, index[h]);
            }
            // AHEAD steps on, the rows above are long finished.
            float* const later = step + AHEAD * PITCH;
DITHERING_UNROLL(2)
            for (std::size_t h = 0; h < H; ++h) {
                store(later + PENDING + N * h,
                      from_rows_above<D, TAPS>(b, later, shift1<N>(h), shift2<N>(h)));
            }
            F32 err[H];
            I32 level[H];
DITHERING_UNROLL(2)
            for (std::size_t h = 0; h < H; ++h) {
                const F32 v = pixel_value<D, TAPS>(b, base[h], load(D{}, step + PENDING + N * h),
                                                   e1[h], e2[h]);
                err[h] = quantize<D, Q>(p, b, v, level[h]);
            }
            if constexpr (MODE == Steps::seam) {
                // Between two whole bands of a helix every lane is in the
                // image but at the gap between its two rows, columns -2 and
                // -1 of its row here (the band before's width and width + 1),
                // which past this row's end come round a period earlier.
                const std::ptrdiff_t u = t < p.width ? t : t - rows.period;
                const I32 u_lanes = splat_int(D{}, static_cast<std::int32_t>(u));
DITHERING_UNROLL(2)
                for (std::size_t h = 0; h < H; ++h) {
                    const I32 col = u_lanes - lane_lag[h];
                    const auto gap = greater(col, minus_three) & greater(zero_int, col);
                    err[h] = select(gap, zero(D{}), err[h]);
                }
            }
            if constexpr (MODE == Steps::edge) {
                // A lane's column and its band's rows: where the column is
                // negative, the period on (0 off a helix, which leaves it
                // negative) and the previous band's rows.
                const I32 t_lanes = splat_int(D{}, static_cast<std::int32_t>(t));
DITHERING_UNROLL(2)
                for (std::size_t h = 0; h < H; ++h) {
                    I32 col = t_lanes - lane_lag[h];
                    const I32 before = as_int(greater(zero_int, col));
                    col = col + (before & period);
                    const I32 band_rows = rows_here - (before & rows_fewer);
                    const auto in = greater(col, minus_one) & greater(width, col) &
                                    greater(band_rows, lane_index[h]);
                    err[h] = keep(in, err[h]);
                }
            }
DITHERING_UNROLL(2)
            for (std::size_t h = 0; h < H; ++h) {
                store(step + LANE0 + N * h, err[h]);
                e2[h] = e1[h];
                e1[h] = err[h];
            }
            // Lanes 14 and 15 are the rows above the next band.
            store_lane<14 % N>(lane14_out + t - 14 * LAG, err[14 / N]);
            store_lane<15 % N>(lane15_out + t - 15 * LAG, err[15 / N]);
            // Codes back into the groups, as bytes in lane order.
            I32 codes[H];
DITHERING_UNROLL(2)
            for (std::size_t h = 0; h < H; ++h) codes[h] = code_of<D, Q>(p, b, level[h]);
            store_band_bytes(D{}, groups, groups_at, codes);
            if constexpr (TRACE) {
                for (std::size_t r = 0; r < BAND; ++r) {
                    std::ptrdiff_t col = t - static_cast<std::ptrdiff_t>(r) * LAG;
                    std::size_t row = p.trace_row0 + r;
                    std::size_t band_rows = rows.current;
                    if (col < 0) {
                        col += rows.period;
                        row -= BAND;
                        band_rows = rows.previous;
                    }
                    if (r >= band_rows || col < 0 || col >= p.width) continue;
                    p.trace[row * static_cast<std::size_t>(p.width) +
                            static_cast<std::size_t>(col)] = step[LANE0 + r];
                }
            }
        }
        // The last HISTORY steps and the sums made ahead move to the front
        // for the next chunk.
        std::memmove(history, step - HISTORY * PITCH,
                     sizeof(float) * (HISTORY + AHEAD) * PITCH);
    }
DITHERING_UNROLL(2)
    for (std::size_t h = 0; h < H; ++h) {
        store(state + N * h, e1[h]);
        store(state + BAND + N * h, e2[h]);
    }
}

template <class D, unsigned TAPS, Quantizer Q, bool TRACE>
Runners runners_for() {
    return {&run_steps<D, TAPS, Q, Steps::edge, TRACE>, &run_steps<D, TAPS, Q, Steps::seam, TRACE>,
            &run_steps<D, TAPS, Q, Steps::inner, TRACE>};
}

template <class D, unsigned TAPS>
Runners runners_for(Quantizer q) {
    switch (q) {
        case Quantizer::two: return runners_for<D, TAPS, Quantizer::two, false>();
        case Quantizer::four: return runners_for<D, TAPS, Quantizer::four, false>();
        case Quantizer::eight: return runners_for<D, TAPS, Quantizer::eight, false>();
        case Quantizer::many: break;
    }
    return runners_for<D, TAPS, Quantizer::many, false>();
}

// The tap sets of the kernels, each with its own loop so that no zero
// weight costs anything; any other set runs with all taps.
constexpr unsigned ROW1_ALL = tap_above1(-2) | tap_above1(-1) | tap_above1(0) |
                              tap_above1(1) | tap_above1(2);
constexpr unsigned ROW1_MID = tap_above1(-1) | tap_above1(0) | tap_above1(1);
constexpr unsigned ROW2_MID = tap_above2(-1) | tap_above2(0) | tap_above2(1);
constexpr unsigned TAPS_FLOYD_STEINBERG = TAP_AHEAD1 | ROW1_MID;
constexpr unsigned TAPS_FALSE_FLOYD_STEINBERG = TAP_AHEAD1 | tap_above1(0) | tap_above1(-1);
constexpr unsigned TAPS_SIERRA_LITE = TAP_AHEAD1 | tap_above1(0) | tap_above1(1);
constexpr unsigned TAPS_ATKINSON = TAP_AHEAD1 | TAP_AHEAD2 | ROW1_MID | tap_above2(0);
constexpr unsigned TAPS_BURKES = TAP_AHEAD1 | TAP_AHEAD2 | ROW1_ALL;
constexpr unsigned TAPS_SIERRA = TAP_AHEAD1 | TAP_AHEAD2 | ROW1_ALL | ROW2_MID;

template <class D>
Runners runners(unsigned taps, Quantizer q, bool trace) {
    if (trace) {
        switch (q) {
            case Quantizer::two: return runners_for<D, ALL_TAPS, Quantizer::two, true>();
            case Quantizer::four: return runners_for<D, ALL_TAPS, Quantizer::four, true>();
            case Quantizer::eight: return runners_for<D, ALL_TAPS, Quantizer::eight, true>();
            case Quantizer::many: break;
        }
        return runners_for<D, ALL_TAPS, Quantizer::many, true>();
    }
    switch (taps) {
        case TAPS_FLOYD_STEINBERG: return runners_for<D, TAPS_FLOYD_STEINBERG>(q);
        case TAPS_FALSE_FLOYD_STEINBERG: return runners_for<D, TAPS_FALSE_FLOYD_STEINBERG>(q);
        case TAPS_SIERRA_LITE: return runners_for<D, TAPS_SIERRA_LITE>(q);
        case TAPS_ATKINSON: return runners_for<D, TAPS_ATKINSON>(q);
        case TAPS_BURKES: return runners_for<D, TAPS_BURKES>(q);
        case TAPS_SIERRA: return runners_for<D, TAPS_SIERRA>(q);
        default: return runners_for<D, ALL_TAPS>(q);
    }
}

// This instruction set's loops at lane width D, for the band driver.
template <class D>
constexpr StepLoops STEP_LOOPS{&runners<D>, &rows_to_groups, &groups_to_rows};

}  // namespace
}  // namespace dithering::wavefront
