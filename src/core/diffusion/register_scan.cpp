// The single-row fast forms of the error-diffusion pass, with each row's
// dependency chain kept in registers.
//
// A row is done in two steps. The scan walks the pixels, carrying the
// current row's two cells ahead of the pixel in registers (the only
// dependency chain from pixel to pixel), and records each pixel's error.
// Then the rows below take this row's contributions all at once: cell C
// of the row y + dy buffer adds, in order, the errors of the pixels at
// C - 2s, C - s, C, C + s, C + 2s (s = +1 left to right, -1 right to
// left), which is the scan order of the pixels reaching it. Nothing reads
// those rows before row y is finished, so deferring their updates changes
// nothing, and the update has no chain from cell to cell, so it runs
// across whole vectors of cells.
#include "core/diffusion/register_scan.hpp"

#include <emmintrin.h>

#include <cstddef>
#include <limits>

namespace dithering {
namespace {

// The scan step of a levels row in direction S (+1 or -1), from error cell
// `cell` on. The value chain runs through lane 0 of vector registers only:
// a float passing through a general register or a lane-merging move would
// lengthen it.
template <int S, bool TWO, bool SPREAD>
void levels_scan(std::uint8_t* px, std::ptrdiff_t px_step, std::size_t width, const float* lut,
                 const Levels& levels, float weight1, float weight2, const float* cur,
                 float* errors, std::ptrdiff_t cell) {
    // Local copies: the byte stores below may alias anything.
    const std::uint8_t* const codes = levels.codes.data();
    const float* const values = levels.values.data();
    const __m128 w1 = _mm_set_ss(weight1);
    const __m128 w2 = _mm_set_ss(weight2);
    const __m128 half = _mm_set1_ps(127.5f);
    const __m128 low = _mm_set_ss(values[0]);
    const __m128 high = _mm_set_ss(values[1]);
    const __m128 inv_step = _mm_set_ss(levels.inv_step);
    const __m128 top = _mm_set_ss(levels.top);
    const __m128 zero = _mm_setzero_ps();
    __m128 ahead1 = _mm_load_ss(cur + cell);
    __m128 ahead2 = _mm_load_ss(cur + cell + S);
    for (std::size_t i = 0; i < width; ++i) {
        const __m128 v = _mm_add_ss(_mm_load_ss(lut + *px), ahead1);
        __m128 e;
        if constexpr (TWO) {
            // Branch-free, since the choice is unpredictable. Only lane 0
            // matters; the full-width compare avoids a lane merge.
            const __m128 up = _mm_cmple_ps(half, v);  // v >= 127.5; NaN: level 0
            const __m128 e_low = _mm_sub_ss(v, low);
            const __m128 e_high = _mm_sub_ss(v, high);
            e = _mm_or_ps(_mm_and_ps(up, e_high), _mm_andnot_ps(up, e_low));
            *px = codes[static_cast<std::size_t>(_mm_movemask_ps(up) & 1)];
        } else {
            // quantize without the library call: limiting q to 0..top
            // before rounding gives the same level as limiting after, as
            // both bounds are whole numbers and rounding is monotonic;
            // max with 0 first turns NaN into level 0. On 0..255 the
            // truncation is exact and so is q - trunc(q).
            __m128 q = _mm_mul_ss(v, inv_step);
            q = _mm_min_ss(_mm_max_ss(q, zero), top);
            const int whole = _mm_cvttss_si32(q);
            const float frac = _mm_cvtss_f32(q) - static_cast<float>(whole);
            const auto level = static_cast<std::size_t>(whole + (frac >= 0.5f ? 1 : 0));
            *px = codes[level];
            e = _mm_sub_ss(v, _mm_load_ss(values + level));
        }
        if constexpr (SPREAD) {
            _mm_store_ss(errors + cell, e);
            ahead1 = _mm_add_ss(ahead2, _mm_mul_ss(w1, e));
            ahead2 = _mm_add_ss(_mm_load_ss(cur + cell + 2 * S), _mm_mul_ss(w2, e));
        }
        px += px_step;
        cell += S;
    }
}

// Adds one row's errors to a row below it (see above), for the error cells
// of columns 0..width-1, in the order the scan in direction S met the
// pixels: dx = +2 first (the pixel at C - 2S), dx = -2 last. Four cells per
// step; the last step may run up to three cells into the right margin,
// which is never read and whose errors are zero.
template <int S>
void levels_spread_below(float* row, const float* errors, const float (&weight)[5],
                         std::size_t width) {
    const __m128 w0 = _mm_set1_ps(weight[0]);
    const __m128 w1 = _mm_set1_ps(weight[1]);
    const __m128 w2 = _mm_set1_ps(weight[2]);
    const __m128 w3 = _mm_set1_ps(weight[3]);
    const __m128 w4 = _mm_set1_ps(weight[4]);
    for (std::size_t c = 2; c < width + 2; c += 4) {
        const float* e = errors + c;
        __m128 t = _mm_loadu_ps(row + c);
        t = _mm_add_ps(t, _mm_mul_ps(w0, _mm_loadu_ps(e - 2 * S)));
        t = _mm_add_ps(t, _mm_mul_ps(w1, _mm_loadu_ps(e - S)));
        t = _mm_add_ps(t, _mm_mul_ps(w2, _mm_loadu_ps(e)));
        t = _mm_add_ps(t, _mm_mul_ps(w3, _mm_loadu_ps(e + S)));
        t = _mm_add_ps(t, _mm_mul_ps(w4, _mm_loadu_ps(e + 2 * S)));
        _mm_storeu_ps(row + c, t);
    }
}

using LevelsScan = void (*)(std::uint8_t*, std::ptrdiff_t, std::size_t, const float*,
                           const Levels&, float, float, const float*, float*, std::ptrdiff_t);

template <int S, bool TWO>
LevelsScan levels_scan_for(bool spread) {
    return spread ? &levels_scan<S, TWO, true> : &levels_scan<S, TWO, false>;
}

LevelsScan levels_scan_for(bool back, bool two, bool spread) {
    if (back) return two ? levels_scan_for<-1, true>(spread) : levels_scan_for<-1, false>(spread);
    return two ? levels_scan_for<1, true>(spread) : levels_scan_for<1, false>(spread);
}

// The scan step of a palette row. Error cells are four floats (R, G, B and
// an idle lane that stays 0), so each pixel's value, error and carried
// cells are single vectors computed lane by lane with the same operations
// as the three-float cells of the plain form.
template <int S, bool SPREAD>
void palette_scan(std::uint8_t* px, std::ptrdiff_t px_step, std::size_t width,
                  const float* lut, const Palette& palette, const float* working4,
                  float weight1, float weight2, const float* cur, float* errors,
                  std::ptrdiff_t cell) {
    const std::uint8_t* const colors = palette.colors.data();
    const __m128 w1 = _mm_set1_ps(weight1);
    const __m128 w2 = _mm_set1_ps(weight2);
    __m128 ahead1 = _mm_loadu_ps(cur + 4 * cell);
    __m128 ahead2 = _mm_loadu_ps(cur + 4 * (cell + S));
    for (std::size_t i = 0; i < width; ++i) {
        const __m128 base = _mm_setr_ps(lut[px[0]], lut[px[1]], lut[px[2]], 0.0f);
        const __m128 v = _mm_add_ps(base, ahead1);
        const float c0 = _mm_cvtss_f32(v);
        const float c1 = _mm_cvtss_f32(_mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 1, 1)));
        const float c2 = _mm_cvtss_f32(_mm_movehl_ps(v, v));
        const std::size_t j = palette.nearest(c0, c1, c2);
        px[0] = colors[3 * j];
        px[1] = colors[3 * j + 1];
        px[2] = colors[3 * j + 2];
        if constexpr (SPREAD) {
            const __m128 e = _mm_sub_ps(v, _mm_loadu_ps(working4 + 4 * j));
            _mm_storeu_ps(errors + 4 * cell, e);
            ahead1 = _mm_add_ps(ahead2, _mm_mul_ps(w1, e));
            ahead2 = _mm_add_ps(_mm_loadu_ps(cur + 4 * (cell + 2 * S)), _mm_mul_ps(w2, e));
        }
        px += px_step;
        cell += S;
    }
}

template <int S>
void palette_spread_below(float* row, const float* errors, const float (&weight)[5],
                          std::size_t width) {
    const __m128 w0 = _mm_set1_ps(weight[0]);
    const __m128 w1 = _mm_set1_ps(weight[1]);
    const __m128 w2 = _mm_set1_ps(weight[2]);
    const __m128 w3 = _mm_set1_ps(weight[3]);
    const __m128 w4 = _mm_set1_ps(weight[4]);
    for (std::size_t c = 2; c < width + 2; ++c) {
        const float* e = errors + 4 * c;
        __m128 t = _mm_loadu_ps(row + 4 * c);
        t = _mm_add_ps(t, _mm_mul_ps(w0, _mm_loadu_ps(e - 8 * S)));
        t = _mm_add_ps(t, _mm_mul_ps(w1, _mm_loadu_ps(e - 4 * S)));
        t = _mm_add_ps(t, _mm_mul_ps(w2, _mm_loadu_ps(e)));
        t = _mm_add_ps(t, _mm_mul_ps(w3, _mm_loadu_ps(e + 4 * S)));
        t = _mm_add_ps(t, _mm_mul_ps(w4, _mm_loadu_ps(e + 8 * S)));
        _mm_storeu_ps(row + 4 * c, t);
    }
}

using PaletteScan = void (*)(std::uint8_t*, std::ptrdiff_t, std::size_t, const float*,
                            const Palette&, const float*, float, float, const float*, float*,
                            std::ptrdiff_t);

}  // namespace

PassStatus levels_pass_register_scan(std::uint8_t* pixels, std::size_t height,
                                     std::size_t width, std::size_t channels,
                                     std::size_t channel, const ColorSpace& space,
                                     const Levels& levels, const KernelRows& rows,
                                     bool serpentine) noexcept {
    if (height == 0 || width == 0) return PassStatus::ok;
    // The extra row holds the errors of the row being scanned, one per
    // error cell; its margins stay zero.
    ErrorRows error(width, 1, width + MARGIN_CELLS);
    if (!error.ok()) return PassStatus::out_of_memory;
    float* const errors = error.extra();
    const bool two = levels.count == 2;
    const DirectionWeights forward = direction_weights(rows, false);
    const DirectionWeights reverse = direction_weights(rows, true);
    const auto step = static_cast<std::ptrdiff_t>(channels);
    const auto last_cell = static_cast<std::ptrdiff_t>(width + 1);
    const float* lut = space.lut.data();
    for (std::size_t y = 0; y < height; ++y) {
        std::uint8_t* row = pixels + y * width * channels + channel;
        const bool back = reversed_row(serpentine, y);
        const DirectionWeights& w = back ? reverse : forward;
        std::uint8_t* first = back ? row + (width - 1) * channels : row;
        const std::ptrdiff_t px_step = back ? -step : step;
        const std::ptrdiff_t cell = back ? last_cell : 2;
        const LevelsScan scan = levels_scan_for(back, two, w.spread);
        scan(first, px_step, width, lut, levels, w.ahead1, w.ahead2, error.cur(), errors, cell);
        for (std::size_t r = 0; r < 2; ++r) {
            if (!w.row_used[r]) continue;
            float* below = r == 0 ? error.next() : error.next2();
            if (back) {
                levels_spread_below<-1>(below, errors, w.below[r], width);
            } else {
                levels_spread_below<1>(below, errors, w.below[r], width);
            }
        }
        error.rotate();
    }
    return PassStatus::ok;
}

PassStatus palette_pass_register_scan(std::uint8_t* pixels, std::size_t height,
                                      std::size_t width, std::size_t channels,
                                      const ColorSpace& space, const Palette& palette,
                                      const KernelRows& rows, bool serpentine) noexcept {
    const std::size_t m = palette.size();
    if (height == 0 || width == 0 || m == 0) return PassStatus::ok;
    if (m > std::numeric_limits<std::size_t>::max() / 16) return PassStatus::out_of_memory;
    // After the three rows: this row's errors (one more row of cells), then
    // the working colours padded to four lanes like the cells.
    const std::size_t row_floats = 4 * (width + MARGIN_CELLS);
    if (width > std::numeric_limits<std::size_t>::max() / 64) return PassStatus::out_of_memory;
    ErrorRows error(width, 4, row_floats + 4 * m);
    if (!error.ok()) return PassStatus::out_of_memory;
    float* const errors = error.extra();
    float* const working4 = errors + row_floats;
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t k = 0; k < 3; ++k) working4[4 * j + k] = palette.working[3 * j + k];
    }
    const DirectionWeights forward = direction_weights(rows, false);
    const DirectionWeights reverse = direction_weights(rows, true);
    const auto step = static_cast<std::ptrdiff_t>(channels);
    const auto last_cell = static_cast<std::ptrdiff_t>(width + 1);
    const float* lut = space.lut.data();
    for (std::size_t y = 0; y < height; ++y) {
        std::uint8_t* row = pixels + y * width * channels;
        const bool back = reversed_row(serpentine, y);
        const DirectionWeights& w = back ? reverse : forward;
        std::uint8_t* first = back ? row + (width - 1) * channels : row;
        const std::ptrdiff_t px_step = back ? -step : step;
        const std::ptrdiff_t cell = back ? last_cell : 2;
        const PaletteScan scan = back ? (w.spread ? &palette_scan<-1, true>
                                                  : &palette_scan<-1, false>)
                                      : (w.spread ? &palette_scan<1, true>
                                                  : &palette_scan<1, false>);
        scan(first, px_step, width, lut, palette, working4, w.ahead1, w.ahead2, error.cur(),
             errors, cell);
        for (std::size_t r = 0; r < 2; ++r) {
            if (!w.row_used[r]) continue;
            float* below = r == 0 ? error.next() : error.next2();
            if (back) {
                palette_spread_below<-1>(below, errors, w.below[r], width);
            } else {
                palette_spread_below<1>(below, errors, w.below[r], width);
            }
        }
        error.rotate();
    }
    return PassStatus::ok;
}

}  // namespace dithering
