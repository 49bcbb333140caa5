// Error diffusion to levels with sixteen rows in the lanes of two vectors.
//
// A pixel's value depends on pixels above it and to its left, at most two
// columns and two rows away. So rows can run together in a staggered
// wavefront: a band of sixteen consecutive rows, row r of the band in
// lane r, lane r working on column t - r * LAG at step t. Each lane does
// the same single-precision operations as the one-row scan, so the bytes
// are the same, while sixteen dependency chains overlap instead of one.
//
// The cells are computed in pull form: at each step a lane adds up, for
// the pixel it is about to quantize, the contributions it receives, in
// exactly the order the one-row scan delivers them to that cell: the five
// pixels of the row two above from left to right, then the five of the row
// above, then the two earlier pixels of its own row, each as
// `cell = cell + w * e` with the product rounded first. Zero weights are
// left out (cell + 0 * e changes at most the sign of a zero cell, which
// no byte can see; the fast forms in error_rows.hpp rely on the same fact).
// The errors the sums need sit in a short history of recent steps: the row
// above reached column c + 2 at least LAG - 2 steps earlier, the row two
// above twice as long ago. Each step keeps two more slots, for the last
// two rows of the previous band, which act as lanes -2 and -1. The part
// of a cell that comes from the rows above is summed two steps early, so
// that only the lane's own two terms, the compare and a blend lie on the
// chain from one step's errors to the next.
//
// Lanes outside the image (before a row starts, after it ends, rows below
// the last) produce an error of exactly 0 and their output is discarded.
// The input bytes reach the lanes transposed, 32 steps at a time: each
// step's bytes of rows 0..7 and of rows 8..15 become one 8-byte group;
// the codes travel back the same way. An image with several channels is
// split into planes band by band, so every channel takes that same path.
#include "core/diffusion/levels_wavefront.hpp"

#include "core/simd/cpu_features.hpp"

namespace dithering {

// False on every processor but x86 ones with AVX2.
bool levels_wavefront_supported() noexcept {
    return cpu_has_avx2();
}

}  // namespace dithering

#if DITHERING_ARCH_X86
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/diffusion/channel_planes.hpp"

namespace dithering {

namespace {

constexpr std::size_t BAND = 16;      // rows per band: two vectors of eight lanes
constexpr std::ptrdiff_t LAG = 8;     // columns between neighbouring rows of a band
// Floats per step: 16 for the rows-above sums of the step's cells (made two
// steps early and parked here rather than in registers, which the error
// chain needs), 6 unused, rows -2 and -1, lanes 0..15.
constexpr std::size_t PITCH = 40;
constexpr std::size_t PENDING = 0;
// Errors are kept for the last HISTORY steps (the sums reach 2 * LAG + 2
// back) plus a chunk of CHUNK steps being made, so that every read is at
// a fixed distance behind the current step.
constexpr std::size_t HISTORY = 2 * LAG + 2;
constexpr std::size_t CHUNK = 128;
constexpr std::size_t AHEAD = 2;  // steps ahead whose rows-above sums are made
constexpr std::size_t SLOT_ABOVE2 = 22;  // row -2 of the band (the previous band's lane 14)
constexpr std::size_t SLOT_ABOVE1 = 23;  // row -1 (the previous band's lane 15)
constexpr std::size_t LANE0 = 24;
// Where, within a step, the eight rows above (SHIFT1) and two above
// (SHIFT2) of the lanes of the first and second vector start.
constexpr std::size_t SHIFT1_A = LANE0 - 1;
constexpr std::size_t SHIFT2_A = LANE0 - 2;
constexpr std::size_t SHIFT1_B = LANE0 + 7;
constexpr std::size_t SHIFT2_B = LANE0 + 6;
// Carried rows cover columns -CARRY_LEFT .. width + CARRY_RIGHT.
constexpr std::ptrdiff_t CARRY_LEFT = 16 * LAG + 8;
constexpr std::ptrdiff_t CARRY_RIGHT = 18 * LAG + 8;

// Which weights a kernel has, one bit each: bit 0 the pixel two ahead in
// the row, bit 1 the pixel one ahead, bits 2..6 the row below at dx = 2,
// 1, 0, -1, -2 (seen from the receiving cell: its row-above neighbours at
// k = -2..2), bits 7..11 the same for the row two below.
constexpr unsigned TAP_AHEAD2 = 1u << 0;
constexpr unsigned TAP_AHEAD1 = 1u << 1;
constexpr unsigned tap_above1(int k) { return 1u << (4 + k); }
constexpr unsigned tap_above2(int k) { return 1u << (9 + k); }
constexpr unsigned ALL_TAPS = 0xfffu;

// The weights in pull form: above1[k + 2] is what a cell takes from the
// pixel k columns right of it in the row above, above2 the same two rows
// above, ahead1/ahead2 from the pixels one and two to its left.
struct PullWeights {
    float above2[5];
    float above1[5];
    float ahead2;
    float ahead1;
};

PullWeights pull_weights(const KernelRows& rows) {
    PullWeights w{};
    for (int k = -2; k <= 2; ++k) {
        // forward[dy][dx + 2] is the weight a pixel sends dx columns on;
        // the cell k columns left of the sender is reached with dx = -k.
        w.above1[k + 2] = rows.forward[1][static_cast<std::size_t>(2 - k)];
        w.above2[k + 2] = rows.forward[2][static_cast<std::size_t>(2 - k)];
    }
    w.ahead1 = rows.forward[0][3];
    w.ahead2 = rows.forward[0][4];
    return w;
}

unsigned taps_of(const PullWeights& w) {
    unsigned taps = 0;
    if (w.ahead2 != 0.0f) taps |= TAP_AHEAD2;
    if (w.ahead1 != 0.0f) taps |= TAP_AHEAD1;
    for (int k = -2; k <= 2; ++k) {
        if (w.above1[k + 2] != 0.0f) taps |= tap_above1(k);
        if (w.above2[k + 2] != 0.0f) taps |= tap_above2(k);
    }
    return taps;
}

struct FreeAligned {
    void operator()(void* p) const noexcept { std::free(p); }
};

// Everything a band needs, allocated once per pass.
struct Workspace {
    std::size_t steps = 0;     // width + 15 * LAG, rounded up to whole 32-step blocks
    std::uint8_t* lanes[2] = {};    // `steps` groups of 8 bytes each: rows 0..7, rows 8..15
    float* history = nullptr;       // (HISTORY + CHUNK + AHEAD) * PITCH floats
    // Per channel diffused: the previous band's rows -2, -1, then this
    // band's lanes 14, 15 (which become the next band's rows -2, -1).
    std::vector<std::array<float*, 4>> carry;
    // With several channels, one plane of BAND rows per channel diffused.
    std::vector<std::uint8_t*> planes;
    std::unique_ptr<void, FreeAligned> memory;

    bool allocate(std::size_t width, std::size_t channels, std::size_t diffused) noexcept {
        constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() / 64;
        if (width > limit / BAND || diffused > limit / (BAND * width) / 8) return false;
        steps = (width + 15 * static_cast<std::size_t>(LAG) + 31) / 32 * 32;
        const std::size_t carry_floats =
            width + static_cast<std::size_t>(CARRY_LEFT + CARRY_RIGHT) + 8;
        const std::size_t plane_bytes = channels > 1 ? BAND * width : 0;
        const std::size_t bytes = sizeof(float) * (HISTORY + CHUNK + AHEAD) * PITCH +
                                  sizeof(float) * 4 * carry_floats * diffused + BAND * steps +
                                  plane_bytes * diffused + 64;
        try {
            carry.resize(diffused);
            planes.resize(diffused);
        } catch (const std::bad_alloc&) {
            return false;
        }
        void* block = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
        if (block == nullptr) return false;
        memory.reset(block);
        std::memset(block, 0, bytes);
        history = static_cast<float*>(block);
        float* next = history + (HISTORY + CHUNK + AHEAD) * PITCH;
        for (auto& rows : carry) {
            for (float*& row : rows) {
                row = next + CARRY_LEFT;  // column 0
                next += carry_floats;
            }
        }
        lanes[0] = reinterpret_cast<std::uint8_t*>(next);
        lanes[1] = lanes[0] + 8 * steps;
        std::uint8_t* plane = lanes[1] + 8 * steps;
        for (std::uint8_t*& p : planes) {
            p = plane_bytes != 0 ? plane : nullptr;
            plane += plane_bytes;
        }
        return true;
    }
};

// Eight rows of 32 bytes, one 16-column block in each 128-bit half.
// Interleaving rows i and i + 4, three times, leaves in register j the
// columns 2j and 2j + 1 of each half, eight bytes (rows 0..7) each: lane
// groups. Four more rounds (seven in all are the identity) undo it.
template <int ROUNDS>
__attribute__((target("avx2"), always_inline)) inline void interleave_rows(__m256i (&x)[8]) {
#pragma GCC unroll 4
    for (int round = 0; round < ROUNDS; ++round) {
        __m256i t[8];
#pragma GCC unroll 4
        for (std::size_t i = 0; i < 4; ++i) {
            t[2 * i] = _mm256_unpacklo_epi8(x[i], x[i + 4]);
            t[2 * i + 1] = _mm256_unpackhi_epi8(x[i], x[i + 4]);
        }
#pragma GCC unroll 8
        for (std::size_t i = 0; i < 8; ++i) x[i] = t[i];
    }
}

// 32 columns of eight rows (row i at src + i * src_pitch) into 32 lane
// groups of eight bytes.
__attribute__((target("avx2"))) void rows_to_groups(const std::uint8_t* src,
                                                    std::ptrdiff_t src_pitch,
                                                    std::uint8_t* groups) {
    __m256i x[8];
#pragma GCC unroll 8
    for (std::size_t i = 0; i < 8; ++i) {
        x[i] = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(src + static_cast<std::ptrdiff_t>(i) * src_pitch));
    }
    interleave_rows<3>(x);
#pragma GCC unroll 8
    for (std::size_t j = 0; j < 8; ++j) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(groups + 16 * j), _mm256_castsi256_si128(x[j]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(groups + 128 + 16 * j),
                         _mm256_extracti128_si256(x[j], 1));
    }
}

// The inverse: 32 lane groups back to 32 bytes of each of the eight rows.
__attribute__((target("avx2"))) void groups_to_rows(const std::uint8_t* groups, std::uint8_t* dst,
                                                    std::ptrdiff_t dst_pitch) {
    __m256i x[8];
#pragma GCC unroll 8
    for (std::size_t j = 0; j < 8; ++j) {
        x[j] = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(groups + 128 + 16 * j),
                                   reinterpret_cast<const __m128i*>(groups + 16 * j));
    }
    interleave_rows<4>(x);
#pragma GCC unroll 8
    for (std::size_t i = 0; i < 8; ++i) {
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(dst + static_cast<std::ptrdiff_t>(i) * dst_pitch), x[i]);
    }
}

// What stays fixed over a pass.
struct Pass {
    const float* lut;
    bool identity_lut;  // lut[b] == b: the bytes convert to floats directly
    std::ptrdiff_t width;
    PullWeights w;
    // Levels: thresholds (NaN where unused: nothing reaches NaN), values
    // and codes of the first eight levels, and for many levels the tables.
    float thresholds[7];
    float values8[8];
    std::int32_t codes8[8];
    float inv_step;
    float top;
    const float* values;       // all levels, for the gather
    const std::int32_t* codes;  // all levels as 32-bit lanes, for the gather
    float* trace;
    std::size_t trace_row0;
};

// The pass's constants broadcast into vectors once per call of the step
// loop, out of reach of the loop's stores (which the compiler must
// otherwise assume may change them).
struct Broadcast {
    __m256 above2[5], above1[5], ahead2, ahead1;
    __m256 thresholds[7], values8[8];
    __m256i codes8;
    __m256 inv_step, top;

    __attribute__((target("avx2"))) explicit Broadcast(const Pass& p) {
        for (std::size_t k = 0; k < 5; ++k) {
            above2[k] = _mm256_set1_ps(p.w.above2[k]);
            above1[k] = _mm256_set1_ps(p.w.above1[k]);
        }
        ahead2 = _mm256_set1_ps(p.w.ahead2);
        ahead1 = _mm256_set1_ps(p.w.ahead1);
        for (std::size_t i = 0; i < 7; ++i) thresholds[i] = _mm256_set1_ps(p.thresholds[i]);
        for (std::size_t i = 0; i < 8; ++i) values8[i] = _mm256_set1_ps(p.values8[i]);
        codes8 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.codes8));
        inv_step = _mm256_set1_ps(p.inv_step);
        top = _mm256_set1_ps(p.top);
    }
};

enum class Quantizer { two, four, eight, many };

// The level of each lane and its error v - values[level].
template <Quantizer Q>
__attribute__((target("avx2"), always_inline)) inline __m256
quantize(const Pass& p, const Broadcast& b, __m256 v, __m256i& level) {
    if constexpr (Q == Quantizer::many) {
        // roundf(v * inv_step) limited to 0..top, NaN to 0, as in
        // Levels::quantize: limiting before rounding gives the same level
        // as after (both bounds are whole numbers); max with 0 first turns
        // NaN into 0 (MAXPS returns its second operand then). On 0..255
        // the truncation and q - trunc(q) are exact.
        __m256 q = _mm256_mul_ps(v, b.inv_step);
        q = _mm256_max_ps(q, _mm256_setzero_ps());
        q = _mm256_min_ps(q, b.top);
        const __m256i whole = _mm256_cvttps_epi32(q);
        const __m256 frac = _mm256_sub_ps(q, _mm256_cvtepi32_ps(whole));
        const __m256 up = _mm256_cmp_ps(frac, _mm256_set1_ps(0.5f), _CMP_GE_OQ);
        level = _mm256_sub_epi32(whole, _mm256_castps_si256(up));
        return _mm256_sub_ps(v, _mm256_i32gather_ps(p.values, level, 4));
    } else {
        constexpr int count = Q == Quantizer::two ? 1 : Q == Quantizer::four ? 3 : 7;
        // Compares against every threshold at once (GE is false for NaN
        // either side), and the error of the highest level reached. The
        // errors of all the levels are computed alongside the compares, so
        // that only the compare and the blends lie between a value and its
        // error.
        __m256 error = _mm256_sub_ps(v, b.values8[0]);
        level = _mm256_setzero_si256();
#pragma GCC unroll 7
        for (int i = 0; i < count; ++i) {
            const __m256 reached = _mm256_cmp_ps(v, b.thresholds[i], _CMP_GE_OQ);
            error = _mm256_blendv_ps(error, _mm256_sub_ps(v, b.values8[i + 1]), reached);
            level = _mm256_sub_epi32(level, _mm256_castps_si256(reached));
        }
        return error;
    }
}

template <Quantizer Q>
__attribute__((target("avx2"), always_inline)) inline __m256i
code_of(const Pass& p, const Broadcast& b, __m256i level) {
    if constexpr (Q == Quantizer::many) {
        return _mm256_i32gather_epi32(p.codes, level, 4);
    } else {
        return _mm256_permutevar8x32_epi32(b.codes8, level);
    }
}

// cell + weight * e, the product rounded first; the first term is the
// product alone (0 + x is x for every x but -0, whose sign no byte sees).
__attribute__((target("avx2"), always_inline)) inline void accumulate(__m256& cell, bool& any,
                                                                     __m256 weight, __m256 e) {
    const __m256 product = _mm256_mul_ps(weight, e);
    cell = any ? _mm256_add_ps(cell, product) : product;
    any = true;
}

constexpr unsigned ABOVE_TAPS = ALL_TAPS & ~(TAP_AHEAD1 | TAP_AHEAD2);

// What the cell of the pixel a lane reaches at some step receives from the
// rows above, read from the history: `step` is that step's history row;
// `shift1`/`shift2` the float offsets within a row whose eight floats are
// the row above / two above of this vector's lanes. Zero when the kernel
// reaches no row below its own.
template <unsigned TAPS>
__attribute__((target("avx2"), always_inline)) inline __m256
from_rows_above(const Broadcast& b, const float* step, std::size_t shift1, std::size_t shift2) {
    __m256 cell = _mm256_setzero_ps();
    bool any = false;
    // Unrolled, so that the tap tests fold away at compile time.
#pragma GCC unroll 5
    for (int k = -2; k <= 2; ++k) {
        if (TAPS & tap_above2(k)) {
            const float* row = step - static_cast<std::ptrdiff_t>(PITCH) * (2 * LAG - k);
            accumulate(cell, any, b.above2[k + 2], _mm256_loadu_ps(row + shift2));
        }
    }
#pragma GCC unroll 5
    for (int k = -2; k <= 2; ++k) {
        if (TAPS & tap_above1(k)) {
            const float* row = step - static_cast<std::ptrdiff_t>(PITCH) * (LAG - k);
            accumulate(cell, any, b.above1[k + 2], _mm256_loadu_ps(row + shift1));
        }
    }
    return cell;
}

// The lane's value: the cell (rows above, then the lane's own two earlier
// errors) added to the pixel's base value. With no weight at all the cell
// is the plain form's untouched 0 and the value the base itself.
template <unsigned TAPS>
__attribute__((target("avx2"), always_inline)) inline __m256
pixel_value(const Broadcast& b, __m256 base, __m256 above, __m256 e1, __m256 e2) {
    __m256 cell = above;
    bool any = (TAPS & ABOVE_TAPS) != 0;
    if (TAPS & TAP_AHEAD2) accumulate(cell, any, b.ahead2, e2);
    if (TAPS & TAP_AHEAD1) accumulate(cell, any, b.ahead1, e1);
    return any ? _mm256_add_ps(base, cell) : base;
}

// Steps begin..end-1 of a band. `history` holds HISTORY + CHUNK steps of
// PITCH floats; on entry its first HISTORY rows are the steps just before
// `begin`, and so they are on return.
template <unsigned TAPS, Quantizer Q, bool EDGE, bool TRACE>
__attribute__((target("avx2"), noinline)) void run_steps(const Pass& p, float* history,
                                                         std::uint8_t* const* lanes,
                                                         float* const* carry,
                                                         std::ptrdiff_t begin, std::ptrdiff_t end,
                                                         float* state,
                                                         std::size_t band_rows) {
    const Broadcast b(p);
    // The errors of the two previous steps, lanes 0..7 and 8..15.
    __m256 e1a = _mm256_loadu_ps(state), e2a = _mm256_loadu_ps(state + 8);
    __m256 e1b = _mm256_loadu_ps(state + 16), e2b = _mm256_loadu_ps(state + 24);
    const __m256i lane_lag_a = _mm256_setr_epi32(0, LAG, 2 * LAG, 3 * LAG, 4 * LAG, 5 * LAG,
                                                 6 * LAG, 7 * LAG);
    const __m256i lane_lag_b = _mm256_add_epi32(lane_lag_a, _mm256_set1_epi32(8 * LAG));
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i rows_here = _mm256_set1_epi32(static_cast<int>(band_rows));
    const __m256i rows_a = _mm256_cmpgt_epi32(rows_here, lane_index);
    const __m256i rows_b =
        _mm256_cmpgt_epi32(rows_here, _mm256_add_epi32(lane_index, _mm256_set1_epi32(8)));
    const __m256i width = _mm256_set1_epi32(static_cast<int>(p.width));
    const __m256i minus_one = _mm256_set1_epi32(-1);
    const __m256i pack_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
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
        _mm256_storeu_ps(row + PENDING, from_rows_above<TAPS>(b, row, SHIFT1_A, SHIFT2_A));
        _mm256_storeu_ps(row + PENDING + 8, from_rows_above<TAPS>(b, row, SHIFT1_B, SHIFT2_B));
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
            const __m256i index_a =
                _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(group_a)));
            const __m256i index_b =
                _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(group_b)));
            __m256 base_a, base_b;
            if (identity_lut) {
                base_a = _mm256_cvtepi32_ps(index_a);
                base_b = _mm256_cvtepi32_ps(index_b);
            } else {
                base_a = _mm256_i32gather_ps(lut, index_a, 4);
                base_b = _mm256_i32gather_ps(lut, index_b, 4);
            }
            // AHEAD steps on, the rows above are long finished.
            float* const later = step + AHEAD * PITCH;
            _mm256_storeu_ps(later + PENDING, from_rows_above<TAPS>(b, later, SHIFT1_A, SHIFT2_A));
            _mm256_storeu_ps(later + PENDING + 8,
                             from_rows_above<TAPS>(b, later, SHIFT1_B, SHIFT2_B));
            const __m256 v_a =
                pixel_value<TAPS>(b, base_a, _mm256_loadu_ps(step + PENDING), e1a, e2a);
            const __m256 v_b =
                pixel_value<TAPS>(b, base_b, _mm256_loadu_ps(step + PENDING + 8), e1b, e2b);
            __m256i level_a, level_b;
            __m256 err_a = quantize<Q>(p, b, v_a, level_a);
            __m256 err_b = quantize<Q>(p, b, v_b, level_b);
            if constexpr (EDGE) {
                const __m256i t8 = _mm256_set1_epi32(static_cast<int>(t));
                const __m256i col_a = _mm256_sub_epi32(t8, lane_lag_a);
                const __m256i col_b = _mm256_sub_epi32(t8, lane_lag_b);
                const __m256i in_a = _mm256_and_si256(
                    _mm256_and_si256(_mm256_cmpgt_epi32(col_a, minus_one),
                                     _mm256_cmpgt_epi32(width, col_a)),
                    rows_a);
                const __m256i in_b = _mm256_and_si256(
                    _mm256_and_si256(_mm256_cmpgt_epi32(col_b, minus_one),
                                     _mm256_cmpgt_epi32(width, col_b)),
                    rows_b);
                err_a = _mm256_and_ps(err_a, _mm256_castsi256_ps(in_a));
                err_b = _mm256_and_ps(err_b, _mm256_castsi256_ps(in_b));
            }
            _mm256_storeu_ps(step + LANE0, err_a);
            _mm256_storeu_ps(step + LANE0 + 8, err_b);
            e2a = e1a;
            e1a = err_a;
            e2b = e1b;
            e1b = err_b;
            // Lanes 14 and 15 are the rows above the next band.
            const __m128 high = _mm256_extractf128_ps(err_b, 1);
            _mm_store_ss(lane14_out + t - 14 * LAG, _mm_movehl_ps(high, high));
            _mm_store_ss(lane15_out + t - 15 * LAG,
                         _mm_shuffle_ps(high, high, _MM_SHUFFLE(3, 3, 3, 3)));
            // Codes back into the group, as bytes in lane order.
            const __m256i words =
                _mm256_packus_epi32(code_of<Q>(p, b, level_a), code_of<Q>(p, b, level_b));
            const __m256i packed = _mm256_packus_epi16(words, words);
            const __m256i ordered = _mm256_permutevar8x32_epi32(packed, pack_order);
            const __m128i codes = _mm256_castsi256_si128(ordered);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(group_a), codes);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(group_b), _mm_unpackhi_epi64(codes, codes));
            if constexpr (TRACE) {
                for (std::size_t r = 0; r < band_rows; ++r) {
                    const std::ptrdiff_t col = t - static_cast<std::ptrdiff_t>(r) * LAG;
                    if (col < 0 || col >= p.width) continue;
                    p.trace[(p.trace_row0 + r) * static_cast<std::size_t>(p.width) +
                            static_cast<std::size_t>(col)] = step[LANE0 + r];
                }
            }
        }
        // The last HISTORY steps and the sums made ahead move to the front
        // for the next chunk.
        std::memmove(history, step - HISTORY * PITCH,
                     sizeof(float) * (HISTORY + AHEAD) * PITCH);
    }
    _mm256_storeu_ps(state, e1a);
    _mm256_storeu_ps(state + 8, e2a);
    _mm256_storeu_ps(state + 16, e1b);
    _mm256_storeu_ps(state + 24, e2b);
}

using StepRunner = void (*)(const Pass&, float*, std::uint8_t* const*, float* const*, std::ptrdiff_t,
                            std::ptrdiff_t, float*, std::size_t);

struct Runners {
    StepRunner edge;
    StepRunner inner;
};

template <unsigned TAPS, Quantizer Q, bool TRACE>
Runners runners_for() {
    return {&run_steps<TAPS, Q, true, TRACE>, &run_steps<TAPS, Q, false, TRACE>};
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

// Where a band's rows are in the image. The lane groups are kept as two
// arrays, rows 0..7 and rows 8..15 of the band, eight bytes per step; each
// is filled and emptied 32 steps at a time.
struct BandRows {
    std::uint8_t* pixels;
    std::size_t width, channels, channel, y0, count;

    // Row r of the band at step s is at column s - r * LAG.
    static std::ptrdiff_t column(std::size_t s, std::size_t r) {
        return static_cast<std::ptrdiff_t>(s) - static_cast<std::ptrdiff_t>(r) * LAG;
    }
    // Whether rows 8h..8h+7 are all in the image over the 32 steps from s,
    // so that the block moves directly: one channel, rows a constant pitch
    // of width - LAG bytes apart.
    bool direct(std::size_t h, std::size_t s) const {
        return channels == 1 && count >= 8 * h + 8 && column(s, 8 * h + 7) >= 0 &&
               column(s, 8 * h) + 32 <= static_cast<std::ptrdiff_t>(width);
    }
    std::uint8_t* block_start(std::size_t h, std::size_t s) const {
        return pixels + (y0 + 8 * h) * width + static_cast<std::size_t>(column(s, 8 * h));
    }
    std::ptrdiff_t block_pitch() const {
        return static_cast<std::ptrdiff_t>(width) - static_cast<std::ptrdiff_t>(LAG);
    }
    // The columns of row r over the 32 steps from s that are in the image:
    // the first and how many (none for rows below the last).
    std::pair<std::ptrdiff_t, std::size_t> span(std::size_t s, std::size_t r) const {
        if (r >= count) return {0, 0};
        const std::ptrdiff_t first = column(s, r);
        const std::ptrdiff_t low = std::max<std::ptrdiff_t>(first, 0);
        const std::ptrdiff_t high =
            std::min<std::ptrdiff_t>(first + 32, static_cast<std::ptrdiff_t>(width));
        if (high <= low) return {0, 0};
        return {low, static_cast<std::size_t>(high - low)};
    }
    std::uint8_t* at(std::size_t r, std::ptrdiff_t x) const {
        return pixels + ((y0 + r) * width + static_cast<std::size_t>(x)) * channels + channel;
    }
};

// The band's bytes into lane groups, zero outside the image.
void load_band(std::uint8_t* const (&lanes)[2], std::size_t steps, const BandRows& band) {
    alignas(32) std::uint8_t block[8][32];
    for (std::size_t h = 0; h < 2; ++h) {
        for (std::size_t s = 0; s < steps; s += 32) {
            std::uint8_t* groups = lanes[h] + 8 * s;
            if (band.direct(h, s)) {
                rows_to_groups(band.block_start(h, s), band.block_pitch(), groups);
                continue;
            }
            std::memset(block, 0, sizeof block);
            for (std::size_t i = 0; i < 8; ++i) {
                const std::size_t r = 8 * h + i;
                const auto [x, n] = band.span(s, r);
                if (n == 0) continue;
                std::uint8_t* dst = block[i] + (x - BandRows::column(s, r));
                const std::uint8_t* src = band.at(r, x);
                for (std::size_t k = 0; k < n; ++k) dst[k] = src[k * band.channels];
            }
            rows_to_groups(block[0], 32, groups);
        }
    }
}

// The codes in the lane groups back to the image rows.
void store_band(const std::uint8_t* const (&lanes)[2], std::size_t steps, const BandRows& band) {
    alignas(32) std::uint8_t block[8][32];
    for (std::size_t h = 0; h < 2; ++h) {
        for (std::size_t s = 0; s < steps; s += 32) {
            const std::uint8_t* groups = lanes[h] + 8 * s;
            if (band.direct(h, s)) {
                groups_to_rows(groups, band.block_start(h, s), band.block_pitch());
                continue;
            }
            groups_to_rows(groups, block[0], 32);
            for (std::size_t i = 0; i < 8; ++i) {
                const std::size_t r = 8 * h + i;
                const auto [x, n] = band.span(s, r);
                if (n == 0) continue;
                const std::uint8_t* src = block[i] + (x - BandRows::column(s, r));
                std::uint8_t* dst = band.at(r, x);
                for (std::size_t k = 0; k < n; ++k) dst[k * band.channels] = src[k];
            }
        }
    }
}

}  // namespace


PassStatus levels_pass_wavefront(std::uint8_t* pixels, std::size_t height, std::size_t width,
                                 std::size_t channels, std::span<const std::size_t> diffused,
                                 const ColorSpace& space, const Levels& levels,
                                 const KernelRows& rows, float* trace) noexcept {
    if (height == 0 || width == 0 || diffused.empty()) return PassStatus::ok;
    if (width > WAVEFRONT_MAX_WIDTH) return PassStatus::out_of_memory;
    if (trace != nullptr && diffused.size() != 1) trace = nullptr;
    Workspace ws;
    if (!ws.allocate(width, channels, diffused.size())) return PassStatus::out_of_memory;

    Pass p{};
    p.lut = space.lut.data();
    p.identity_lut = true;
    for (std::size_t b = 0; b < 256; ++b) {
        if (space.lut[b] != static_cast<float>(b)) p.identity_lut = false;
    }
    p.width = static_cast<std::ptrdiff_t>(width);
    p.w = pull_weights(rows);
    const std::size_t count = levels.count;
    for (std::size_t i = 0; i < 7; ++i) {
        p.thresholds[i] = i + 1 < count ? levels.diffusion_threshold(i + 1)
                                        : std::numeric_limits<float>::quiet_NaN();
    }
    for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t level = std::min(i, count - 1);
        p.values8[i] = levels.values[level];
        p.codes8[i] = levels.codes[level];
    }
    p.inv_step = levels.inv_step;
    p.top = levels.top;
    std::int32_t codes[256];
    for (std::size_t i = 0; i < 256; ++i) codes[i] = levels.codes[i];
    p.values = levels.values.data();
    p.codes = codes;
    p.trace = trace;

    const Quantizer q = count == 2   ? Quantizer::two
                        : count <= 4 ? Quantizer::four
                        : count <= 8 ? Quantizer::eight
                                     : Quantizer::many;
    const Runners run = runners(taps_of(p.w), q, trace != nullptr);

    // With several channels each band is first split into planes, so that
    // every channel reaches the lanes through the same direct path as a
    // grayscale image, and merged back at the end of the band.
    std::vector<std::uint8_t*> split_to;
    try {
        split_to.assign(channels, nullptr);
    } catch (const std::bad_alloc&) {
        return PassStatus::out_of_memory;
    }
    if (channels > 1) {
        for (std::size_t i = 0; i < diffused.size(); ++i) split_to[diffused[i]] = ws.planes[i];
    }

    const auto w = static_cast<std::ptrdiff_t>(width);
    for (std::size_t y0 = 0; y0 < height; y0 += BAND) {
        const std::size_t band_rows = std::min(BAND, height - y0);
        std::uint8_t* const band_pixels = pixels + y0 * width * channels;
        if (channels > 1) split_channels(band_pixels, band_rows * width, channels, split_to.data());
        p.trace_row0 = y0;
        for (std::size_t i = 0; i < diffused.size(); ++i) {
            const BandRows band = channels > 1
                                      ? BandRows{ws.planes[i], width, 1, 0, 0, band_rows}
                                      : BandRows{pixels, width, 1, 0, y0, band_rows};
            auto& carry = ws.carry[i];
            load_band(ws.lanes, ws.steps, band);
            // The history starts empty but for the previous band's last
            // rows, which are fed in step by step.
            std::memset(ws.history, 0, sizeof(float) * HISTORY * PITCH);
            for (std::size_t k = 0; k < HISTORY; ++k) {
                const std::ptrdiff_t t = static_cast<std::ptrdiff_t>(k) -
                                         static_cast<std::ptrdiff_t>(HISTORY);
                float* step = ws.history + k * PITCH;
                step[SLOT_ABOVE2] = carry[0][t + 2 * LAG];
                step[SLOT_ABOVE1] = carry[1][t + LAG];
            }
            float state[32] = {};
            // Lane r works from step r * LAG to step width - 1 + r * LAG;
            // every lane of the band is inside the image from the last
            // lane's start to the first lane's end.
            const auto last = static_cast<std::ptrdiff_t>(band_rows - 1) * LAG;
            const std::ptrdiff_t end = w + last;
            const std::ptrdiff_t inner_begin = band_rows == BAND ? last : end;
            const std::ptrdiff_t inner_end = std::max(inner_begin, w);
            float* const carry_rows[4] = {carry[0], carry[1], carry[2], carry[3]};
            run.edge(p, ws.history, ws.lanes, carry_rows, 0, inner_begin, state, band_rows);
            run.inner(p, ws.history, ws.lanes, carry_rows, inner_begin, inner_end, state,
                      band_rows);
            run.edge(p, ws.history, ws.lanes, carry_rows, inner_end, end, state, band_rows);
            store_band(ws.lanes, ws.steps, band);
            std::swap(carry[0], carry[2]);
            std::swap(carry[1], carry[3]);
        }
        if (channels > 1) merge_channels(split_to.data(), band_rows * width, channels, band_pixels);
    }
    return PassStatus::ok;
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
