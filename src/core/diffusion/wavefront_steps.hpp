// The wavefront's step loops and transposes, written once over the 8-lane
// vector type: each source file that includes this has first included one
// form of that type (simd/vec8_avx2.hpp or simd/vec8_halves.hpp) and gets
// its own copy of the loops, at internal linkage, for that form. Sixteen
// lanes are two 8-lane vectors, A (rows 0..7 of the band) and B (8..15).
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
struct Broadcast {
    F32x8 above2[5], above1[5], ahead2, ahead1;
    F32x8 thresholds[7], values8[8];
    I32x8 codes8;
    F32x8 inv_step, top;

    explicit Broadcast(const Pass& p) {
        for (std::size_t k = 0; k < 5; ++k) {
            above2[k] = splat8(p.w.above2[k]);
            above1[k] = splat8(p.w.above1[k]);
        }
        ahead2 = splat8(p.w.ahead2);
        ahead1 = splat8(p.w.ahead1);
        for (std::size_t i = 0; i < 7; ++i) thresholds[i] = splat8(p.thresholds[i]);
        for (std::size_t i = 0; i < 8; ++i) values8[i] = splat8(p.values8[i]);
        codes8 = load8(p.codes8);
        inv_step = splat8(p.inv_step);
        top = splat8(p.top);
    }
};

// The level of each lane and its error v - values[level].
template <Quantizer Q>
DITHERING_ALWAYS_INLINE F32x8 quantize(const Pass& p, const Broadcast& b, F32x8 v,
                                                     I32x8& level) {
    if constexpr (Q == Quantizer::many) {
        // roundf(v * inv_step) limited to 0..top, NaN to 0, as in
        // Levels::quantize: limiting before rounding gives the same level
        // as after (both bounds are whole numbers); max with 0 first turns
        // NaN into 0 (max returns its second operand then). On 0..255 the
        // truncation and q - trunc(q) are exact.
        F32x8 q = v * b.inv_step;
        q = max(q, zero8());
        q = min(q, b.top);
        const I32x8 whole = truncate(q);
        const F32x8 frac = q - to_float(whole);
        const Mask32x8 up = greater_equal(frac, splat8(0.5f));
        level = whole - as_int(up);
        return v - gather(p.values, level);
    } else {
        constexpr int count = Q == Quantizer::two ? 1 : Q == Quantizer::four ? 3 : 7;
        // Compares against every threshold at once (>= is false for NaN
        // either side), and the error of the highest level reached. The
        // errors of all the levels are computed alongside the compares, so
        // that only the compare and the blends lie between a value and its
        // error.
        F32x8 error = v - b.values8[0];
        level = splat8_int(0);
DITHERING_UNROLL(7)
        for (int i = 0; i < count; ++i) {
            const Mask32x8 reached = greater_equal(v, b.thresholds[i]);
            error = select(reached, v - b.values8[i + 1], error);
            level = level - as_int(reached);
        }
        return error;
    }
}

template <Quantizer Q>
DITHERING_ALWAYS_INLINE I32x8 code_of(const Pass& p, const Broadcast& b,
                                                    I32x8 level) {
    if constexpr (Q == Quantizer::many) {
        return gather(p.codes, level);
    } else {
        return lookup(b.codes8, level);
    }
}

// cell + weight * e, the product rounded first; the first term is the
// product alone (0 + x is x for every x but -0, whose sign no byte sees).
DITHERING_ALWAYS_INLINE void accumulate(F32x8& cell, bool& any, F32x8 weight,
                                                      F32x8 e) {
    const F32x8 product = weight * e;
    cell = any ? cell + product : product;
    any = true;
}

constexpr unsigned ABOVE_TAPS = ALL_TAPS & ~(TAP_AHEAD1 | TAP_AHEAD2);

// What the cell of the pixel a lane reaches at some step receives from the
// rows above, read from the history: `step` is that step's history row;
// `shift1`/`shift2` the float offsets within a row whose eight floats are
// the row above / two above of this vector's lanes. Zero when the kernel
// reaches no row below its own.
template <unsigned TAPS>
DITHERING_ALWAYS_INLINE F32x8 from_rows_above(const Broadcast& b,
                                                            const float* step,
                                                            std::size_t shift1,
                                                            std::size_t shift2) {
    F32x8 cell = zero8();
    bool any = false;
    // Unrolled, so that the tap tests fold away at compile time.
DITHERING_UNROLL(5)
    for (int k = -2; k <= 2; ++k) {
        if (TAPS & tap_above2(k)) {
            const float* row = step - static_cast<std::ptrdiff_t>(PITCH) * (2 * LAG - k);
            accumulate(cell, any, b.above2[k + 2], load8(row + shift2));
        }
    }
DITHERING_UNROLL(5)
    for (int k = -2; k <= 2; ++k) {
        if (TAPS & tap_above1(k)) {
            const float* row = step - static_cast<std::ptrdiff_t>(PITCH) * (LAG - k);
            accumulate(cell, any, b.above1[k + 2], load8(row + shift1));
        }
    }
    return cell;
}

// The lane's value: the cell (rows above, then the lane's own two earlier
// errors) added to the pixel's base value. With no weight at all the cell
// is the plain form's untouched 0 and the value the base itself.
template <unsigned TAPS>
DITHERING_ALWAYS_INLINE F32x8 pixel_value(const Broadcast& b, F32x8 base,
                                                        F32x8 above, F32x8 e1, F32x8 e2) {
    F32x8 cell = above;
    bool any = (TAPS & ABOVE_TAPS) != 0;
    if (TAPS & TAP_AHEAD2) accumulate(cell, any, b.ahead2, e2);
    if (TAPS & TAP_AHEAD1) accumulate(cell, any, b.ahead1, e1);
    return any ? base + cell : base;
}

// The lane's column at step t is t - lag: 0, LAG, ..., 7 * LAG.
constexpr std::int32_t LANE_LAGS[8] = {0, LAG, 2 * LAG, 3 * LAG, 4 * LAG, 5 * LAG, 6 * LAG, 7 * LAG};
constexpr std::int32_t LANE_INDICES[8] = {0, 1, 2, 3, 4, 5, 6, 7};

// Steps begin..end-1 of a band. `history` holds HISTORY + CHUNK steps of
// PITCH floats; on entry its first HISTORY rows are the steps just before
// `begin`, and so they are on return. Lane r is at column t - r * LAG of
// the band's row r (one of the first `rows.current`); where that column is
// negative, on a helix (rows.period > 0) it is at that column plus the
// period in the previous band's row r (one of the first `rows.previous`).
// Where a lane is outside the image its error is made 0: inner steps have
// none such, seam steps only the helix's two gap columns, edge steps any.
template <unsigned TAPS, Quantizer Q, Steps MODE, bool TRACE>
DITHERING_NOINLINE void run_steps(const Pass& p, float* history,
                                         std::uint8_t* const* lanes, float* const* carry,
                                         std::ptrdiff_t begin, std::ptrdiff_t end, float* state,
                                         BandLanes rows) {
    const Broadcast b(p);
    // The errors of the two previous steps, lanes 0..7 and 8..15.
    F32x8 e1a = load8(state), e2a = load8(state + 8);
    F32x8 e1b = load8(state + 16), e2b = load8(state + 24);
    const I32x8 lane_lag_a = load8(LANE_LAGS);
    const I32x8 lane_lag_b = lane_lag_a + splat8_int(static_cast<std::int32_t>(8 * LAG));
    const I32x8 lane_index = load8(LANE_INDICES);
    const I32x8 lane_index_b = lane_index + splat8_int(8);
    const I32x8 rows_here = splat8_int(static_cast<std::int32_t>(rows.current));
    // A lane still in the previous band sees `rows.previous` rows there:
    // as many fewer as this difference.
    const I32x8 rows_fewer = splat8_int(static_cast<std::int32_t>(rows.current) -
                                        static_cast<std::int32_t>(rows.previous));
    const I32x8 period = splat8_int(static_cast<std::int32_t>(rows.period));
    const I32x8 width = splat8_int(static_cast<std::int32_t>(p.width));
    const I32x8 minus_one = splat8_int(-1);
    const I32x8 minus_three = splat8_int(-3);
    const I32x8 zero = splat8_int(0);
    const float* const above2_in = carry[0];
    const float* const above1_in = carry[1];
    float* const lane14_out = carry[2];
    float* const lane15_out = carry[3];
    std::uint8_t* const lanes_a = lanes[0];
    std::uint8_t* const lanes_b = lanes[1];
    const bool identity_lut = p.identity_lut;
    const float* const lut = p.lut;
    // The rows-above part of the cells is independent of the lanes' latest
    // errors, so it is summed AHEAD steps early, off the chain that runs
    // from one step's errors to the next.
    for (std::size_t k = 0; k < AHEAD; ++k) {
        float* const row = history + (HISTORY + k) * PITCH;
        store8(row + PENDING, from_rows_above<TAPS>(b, row, SHIFT1_A, SHIFT2_A));
        store8(row + PENDING + 8, from_rows_above<TAPS>(b, row, SHIFT1_B, SHIFT2_B));
    }
    std::ptrdiff_t t = begin;
    while (t < end) {
        const std::ptrdiff_t chunk_end = std::min(end, t + static_cast<std::ptrdiff_t>(CHUNK));
        float* step = history + HISTORY * PITCH;
        for (; t < chunk_end; ++t, step += PITCH) {
            step[SLOT_ABOVE2] = above2_in[t + 2 * LAG];
            step[SLOT_ABOVE1] = above1_in[t + LAG];
            std::uint8_t* const group_a = lanes_a + 8 * static_cast<std::size_t>(t);
            std::uint8_t* const group_b = lanes_b + 8 * static_cast<std::size_t>(t);
            const I32x8 index_a = widen_bytes(group_a);
            const I32x8 index_b = widen_bytes(group_b);
            F32x8 base_a, base_b;
            if (identity_lut) {
                base_a = to_float(index_a);
                base_b = to_float(index_b);
            } else {
                base_a = gather(lut, index_a);
                base_b = gather(lut, index_b);
            }
            // AHEAD steps on, the rows above are long finished.
            float* const later = step + AHEAD * PITCH;
            store8(later + PENDING, from_rows_above<TAPS>(b, later, SHIFT1_A, SHIFT2_A));
            store8(later + PENDING + 8, from_rows_above<TAPS>(b, later, SHIFT1_B, SHIFT2_B));
            const F32x8 v_a = pixel_value<TAPS>(b, base_a, load8(step + PENDING), e1a, e2a);
            const F32x8 v_b = pixel_value<TAPS>(b, base_b, load8(step + PENDING + 8), e1b, e2b);
            I32x8 level_a, level_b;
            F32x8 err_a = quantize<Q>(p, b, v_a, level_a);
            F32x8 err_b = quantize<Q>(p, b, v_b, level_b);
            if constexpr (MODE == Steps::seam) {
                // Between two whole bands of a helix every lane is in the
                // image but at the gap between its two rows, columns -2 and
                // -1 of its row here (the band before's width and width + 1),
                // which past this row's end come round a period earlier.
                const std::ptrdiff_t u = t < p.width ? t : t - rows.period;
                const I32x8 u8 = splat8_int(static_cast<std::int32_t>(u));
                const I32x8 col_a = u8 - lane_lag_a;
                const I32x8 col_b = u8 - lane_lag_b;
                const Mask32x8 gap_a = greater(col_a, minus_three) & greater(zero, col_a);
                const Mask32x8 gap_b = greater(col_b, minus_three) & greater(zero, col_b);
                err_a = select(gap_a, zero8(), err_a);
                err_b = select(gap_b, zero8(), err_b);
            }
            if constexpr (MODE == Steps::edge) {
                // A lane's column and its band's rows: where the column is
                // negative, the period on (0 off a helix, which leaves it
                // negative) and the previous band's rows.
                const I32x8 t8 = splat8_int(static_cast<std::int32_t>(t));
                I32x8 col_a = t8 - lane_lag_a;
                I32x8 col_b = t8 - lane_lag_b;
                const I32x8 before_a = as_int(greater(zero, col_a));
                const I32x8 before_b = as_int(greater(zero, col_b));
                col_a = col_a + (before_a & period);
                col_b = col_b + (before_b & period);
                const I32x8 rows_a = rows_here - (before_a & rows_fewer);
                const I32x8 rows_b = rows_here - (before_b & rows_fewer);
                const Mask32x8 in_a = greater(col_a, minus_one) & greater(width, col_a) &
                                      greater(rows_a, lane_index);
                const Mask32x8 in_b = greater(col_b, minus_one) & greater(width, col_b) &
                                      greater(rows_b, lane_index_b);
                err_a = keep(in_a, err_a);
                err_b = keep(in_b, err_b);
            }
            store8(step + LANE0, err_a);
            store8(step + LANE0 + 8, err_b);
            e2a = e1a;
            e1a = err_a;
            e2b = e1b;
            e1b = err_b;
            // Lanes 14 and 15 are the rows above the next band.
            store_lane<6>(lane14_out + t - 14 * LAG, err_b);
            store_lane<7>(lane15_out + t - 15 * LAG, err_b);
            // Codes back into the groups, as bytes in lane order.
            store_bytes(group_a, group_b, code_of<Q>(p, b, level_a), code_of<Q>(p, b, level_b));
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
    store8(state, e1a);
    store8(state + 8, e2a);
    store8(state + 16, e1b);
    store8(state + 24, e2b);
}

template <unsigned TAPS, Quantizer Q, bool TRACE>
Runners runners_for() {
    return {&run_steps<TAPS, Q, Steps::edge, TRACE>, &run_steps<TAPS, Q, Steps::seam, TRACE>,
            &run_steps<TAPS, Q, Steps::inner, TRACE>};
}

template <unsigned TAPS>
Runners runners_for(Quantizer q) {
    switch (q) {
        case Quantizer::two: return runners_for<TAPS, Quantizer::two, false>();
        case Quantizer::four: return runners_for<TAPS, Quantizer::four, false>();
        case Quantizer::eight: return runners_for<TAPS, Quantizer::eight, false>();
        case Quantizer::many: break;
    }
    return runners_for<TAPS, Quantizer::many, false>();
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

Runners runners(unsigned taps, Quantizer q, bool trace) {
    if (trace) {
        switch (q) {
            case Quantizer::two: return runners_for<ALL_TAPS, Quantizer::two, true>();
            case Quantizer::four: return runners_for<ALL_TAPS, Quantizer::four, true>();
            case Quantizer::eight: return runners_for<ALL_TAPS, Quantizer::eight, true>();
            case Quantizer::many: break;
        }
        return runners_for<ALL_TAPS, Quantizer::many, true>();
    }
    switch (taps) {
        case TAPS_FLOYD_STEINBERG: return runners_for<TAPS_FLOYD_STEINBERG>(q);
        case TAPS_FALSE_FLOYD_STEINBERG: return runners_for<TAPS_FALSE_FLOYD_STEINBERG>(q);
        case TAPS_SIERRA_LITE: return runners_for<TAPS_SIERRA_LITE>(q);
        case TAPS_ATKINSON: return runners_for<TAPS_ATKINSON>(q);
        case TAPS_BURKES: return runners_for<TAPS_BURKES>(q);
        case TAPS_SIERRA: return runners_for<TAPS_SIERRA>(q);
        default: return runners_for<ALL_TAPS>(q);
    }
}

// This instruction set's loops, for the band driver.
constexpr StepLoops STEP_LOOPS{&runners, &rows_to_groups, &groups_to_rows};

}  // namespace
}  // namespace dithering::wavefront
