// Error-diffusion passes over levels and palettes, plain and fast forms.
#include "core/diffusion/error_diffusion.hpp"

#include "core/color/nearest_scan.hpp"
#include "core/diffusion/levels_wavefront.hpp"
#include "core/diffusion/palette_pass_avx2.hpp"

#include <emmintrin.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace dithering {
namespace {

constexpr std::size_t MARGIN_CELLS = 8;  // two left of column 0, six right of the last
constexpr std::size_t WAVEFRONT_MIN_HEIGHT = 8;

// Three rows of (width + 8) cells of `floats_per_cell` floats, zero-filled,
// freed on scope exit. Null when the size overflows or memory runs out.
class ErrorRows {
public:
    ErrorRows(std::size_t width, std::size_t floats_per_cell, std::size_t extra_floats) noexcept {
        constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() / sizeof(float);
        if (width > limit / (3 * floats_per_cell) - MARGIN_CELLS) return;
        stride_ = (width + MARGIN_CELLS) * floats_per_cell;
        if (extra_floats > limit - 3 * stride_) return;
        memory_ = static_cast<float*>(std::calloc(3 * stride_ + extra_floats, sizeof(float)));
        if (memory_ == nullptr) return;
        rows_[0] = memory_;
        rows_[1] = memory_ + stride_;
        rows_[2] = memory_ + 2 * stride_;
    }
    ~ErrorRows() { std::free(memory_); }
    ErrorRows(const ErrorRows&) = delete;
    ErrorRows& operator=(const ErrorRows&) = delete;

    bool ok() const noexcept { return memory_ != nullptr; }
    float* cur() const noexcept { return rows_[0]; }
    float* next() const noexcept { return rows_[1]; }
    float* next2() const noexcept { return rows_[2]; }
    // Floats after the three rows, for the caller's own use.
    float* extra() const noexcept { return memory_ + 3 * stride_; }

    // Row end: the finished row is cleared and becomes the row two below.
    void rotate() noexcept {
        float* done = rows_[0];
        std::memset(done, 0, stride_ * sizeof(float));
        rows_[0] = rows_[1];
        rows_[1] = rows_[2];
        rows_[2] = done;
    }

private:
    float* memory_ = nullptr;
    float* rows_[3] = {nullptr, nullptr, nullptr};
    std::size_t stride_ = 0;
};

bool reversed_row(bool serpentine, std::size_t y) { return serpentine && (y & 1) != 0; }

}  // namespace

// ---------------------------------------------------------------- plain forms

PassStatus levels_pass_plain(std::uint8_t* pixels, std::size_t height, std::size_t width,
                             std::size_t channels, std::size_t channel, const ColorSpace& space,
                             const Levels& levels, const KernelRows& rows, bool serpentine,
                             float* trace) noexcept {
    if (height == 0 || width == 0) return PassStatus::ok;
    ErrorRows error(width, 1, 0);
    if (!error.ok()) return PassStatus::out_of_memory;
    for (std::size_t y = 0; y < height; ++y) {
        const bool reverse = reversed_row(serpentine, y);
        const auto& windows = reverse ? rows.mirrored : rows.forward;
        float* const targets[3] = {error.cur(), error.next(), error.next2()};
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t x = reverse ? width - 1 - i : i;
            std::uint8_t& byte = pixels[(y * width + x) * channels + channel];
            const float v = space.lut[byte] + targets[0][x + 2];
            const std::size_t level = levels.diffusion_level(v);
            byte = levels.codes[level];
            const float e = v - levels.values[level];
            if (trace != nullptr) trace[y * width + x] = e;
            for (std::size_t dy = 0; dy < 3; ++dy) {
                if (!rows.row_used[dy]) continue;
                float* cells = targets[dy] + x;  // cell x is column x - 2
                for (std::size_t k = 0; k < WINDOW_CELLS; ++k) {
                    const float add = windows[dy][k] * e;
                    cells[k] = cells[k] + add;
                }
            }
        }
        error.rotate();
    }
    return PassStatus::ok;
}

PassStatus palette_pass_plain(std::uint8_t* pixels, std::size_t height, std::size_t width,
                              std::size_t channels, const ColorSpace& space,
                              const Palette& palette, const KernelRows& rows,
                              bool serpentine) noexcept {
    if (height == 0 || width == 0 || palette.size() == 0) return PassStatus::ok;
    ErrorRows error(width, 3, 0);
    if (!error.ok()) return PassStatus::out_of_memory;
    for (std::size_t y = 0; y < height; ++y) {
        const bool reverse = reversed_row(serpentine, y);
        const auto& windows = reverse ? rows.mirrored : rows.forward;
        float* const targets[3] = {error.cur(), error.next(), error.next2()};
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t x = reverse ? width - 1 - i : i;
            std::uint8_t* px = pixels + (y * width + x) * channels;
            const float* carried = targets[0] + 3 * (x + 2);
            float v[3];
            for (std::size_t k = 0; k < 3; ++k) v[k] = space.lut[px[k]] + carried[k];
            const std::size_t j = nearest_reference(palette.working.data(), palette.size(),
                                                    v[0], v[1], v[2]);
            float e[3];
            for (std::size_t k = 0; k < 3; ++k) {
                px[k] = palette.colors[3 * j + k];
                e[k] = v[k] - palette.working[3 * j + k];
            }
            for (std::size_t dy = 0; dy < 3; ++dy) {
                if (!rows.row_used[dy]) continue;
                float* cells = targets[dy] + 3 * x;
                for (std::size_t k = 0; k < WINDOW_CELLS; ++k) {
                    for (std::size_t m = 0; m < 3; ++m) {
                        const float add = windows[dy][k] * e[m];
                        cells[3 * k + m] = cells[3 * k + m] + add;
                    }
                }
            }
        }
        error.rotate();
    }
    return PassStatus::ok;
}

// ----------------------------------------------------------------- fast forms
//
// The fast forms add only the weights a kernel can have: row 0 at dx = 1, 2
// and rows 1, 2 at dx = -2..2. The plain form also adds the other window
// cells, but their weight is 0 and cell + 0 * e leaves the cell's value
// unchanged for any finite e (at most the sign of a zero changes, and a
// zero cell added to lut[b] >= 0 gives the same v either way). The errors
// stay finite when every weight is finite and non-negative and the weights
// add up to at most 1, which is what kernel_rows makes for a strength in
// 0..1; anything else takes the plain form.
//
// What must be kept is the order in which each cell receives its
// contributions, because float addition is not associative: a cell of row
// y gets the pixels of row y - 2, then those of row y - 1, then the earlier
// pixels of row y, each row in its scan order, every one as
// `cell = cell + w * e` with the product rounded first.
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

namespace {

bool fast_form_applies(const KernelRows& rows) {
    // Every kernel has row-0 taps: an unused row 0 means strength 0, where
    // nothing is spread at all (see `spread` below).
    if (!rows.row_used[0] && (rows.row_used[1] || rows.row_used[2])) return false;
    for (const auto* windows : {&rows.forward, &rows.mirrored}) {
        double sum = 0.0;
        for (std::size_t dy = 0; dy < 3; ++dy) {
            for (std::size_t k = 0; k < WINDOW_CELLS; ++k) {
                const float w = (*windows)[dy][k];
                if (!(w >= 0.0f) || !std::isfinite(w)) return false;
                sum += static_cast<double>(w);
            }
        }
        if (sum > 1.0 + 1e-5) return false;
    }
    // Nothing may sit where the fast forms do not look: beyond dx = +-2,
    // and in row 0 at or behind the current pixel.
    for (std::size_t dy = 0; dy < 3; ++dy) {
        for (std::size_t k = 5; k < WINDOW_CELLS; ++k) {
            if (rows.forward[dy][k] != 0.0f || rows.mirrored[dy][k] != 0.0f) return false;
        }
    }
    for (std::size_t k = 0; k < 3; ++k) {
        if (rows.forward[0][k] != 0.0f || rows.mirrored[0][k + 2] != 0.0f) return false;
    }
    return true;
}

// The weights of one scan direction, by where they land.
struct DirectionWeights {
    float ahead1;  // tap (1, 0): the next pixel along the scan
    float ahead2;  // tap (2, 0)
    // below[r][q] is the weight a cell of row y + 1 + r takes from the
    // q-th pixel of this row to reach it, i.e. tap dx = 2 - q.
    float below[2][5];
    bool row_used[2];
    // False at strength 0: the plain form then adds nothing anywhere (not
    // even 0 * e, which matters should e be NaN), and neither do the scans.
    bool spread;
};

DirectionWeights direction_weights(const KernelRows& rows, bool reverse) {
    DirectionWeights w{};
    w.ahead1 = reverse ? rows.mirrored[0][1] : rows.forward[0][3];
    w.ahead2 = reverse ? rows.mirrored[0][0] : rows.forward[0][4];
    for (std::size_t q = 0; q < 5; ++q) {
        for (std::size_t r = 0; r < 2; ++r) {
            // Forward cell k holds dx = k - 2; mirrored cell k holds dx = 2 - k.
            w.below[r][q] = reverse ? rows.mirrored[r + 1][q] : rows.forward[r + 1][4 - q];
        }
    }
    w.row_used[0] = rows.row_used[1];
    w.row_used[1] = rows.row_used[2];
    w.spread = rows.row_used[0];
    return w;
}

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

// Rows in vector lanes need the fast forms' weights, rows scanned the same
// way and something to spread; below a band's worth of rows the single-row
// scan is as fast.
bool wavefront_applies(std::size_t height, std::size_t width, const KernelRows& rows,
                       bool serpentine) {
    return !serpentine && rows.row_used[0] && height >= WAVEFRONT_MIN_HEIGHT &&
           width <= WAVEFRONT_MAX_WIDTH && fast_form_applies(rows) &&
           levels_wavefront_supported();
}

}  // namespace

PassStatus levels_pass_channels(std::uint8_t* pixels, std::size_t height, std::size_t width,
                                std::size_t channels, std::optional<std::size_t> skip,
                                const ColorSpace& space, const Levels& levels,
                                const KernelRows& rows, bool serpentine) noexcept {
    if (channels > 1 && wavefront_applies(height, width, rows, serpentine)) {
        std::vector<std::size_t> diffused;
        try {
            for (std::size_t c = 0; c < channels; ++c) {
                if (c != skip) diffused.push_back(c);
            }
        } catch (const std::bad_alloc&) {
            return PassStatus::out_of_memory;
        }
        return levels_pass_wavefront(pixels, height, width, channels, diffused, space, levels,
                                     rows);
    }
    for (std::size_t c = 0; c < channels; ++c) {
        if (c == skip) continue;
        const PassStatus status =
            levels_pass(pixels, height, width, channels, c, space, levels, rows, serpentine);
        if (status != PassStatus::ok) return status;
    }
    return PassStatus::ok;
}

PassStatus levels_pass(std::uint8_t* pixels, std::size_t height, std::size_t width,
                       std::size_t channels, std::size_t channel, const ColorSpace& space,
                       const Levels& levels, const KernelRows& rows, bool serpentine) noexcept {
    if (!fast_form_applies(rows)) {
        return levels_pass_plain(pixels, height, width, channels, channel, space, levels, rows,
                                 serpentine);
    }
    if (height == 0 || width == 0) return PassStatus::ok;
    if (wavefront_applies(height, width, rows, serpentine)) {
        return levels_pass_wavefront(pixels, height, width, channels, channel, space, levels,
                                     rows);
    }
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

namespace {

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

PaletteRowWeights palette_row_weights(const DirectionWeights& w) {
    PaletteRowWeights p{};
    p.ahead1 = w.ahead1;
    p.ahead2 = w.ahead2;
    for (std::size_t r = 0; r < 2; ++r) {
        for (std::size_t q = 0; q < 5; ++q) p.below[r][q] = w.below[r][q];
        p.row_used[r] = w.row_used[r];
    }
    return p;
}

}  // namespace

PassStatus palette_pass(std::uint8_t* pixels, std::size_t height, std::size_t width,
                        std::size_t channels, const ColorSpace& space, const Palette& palette,
                        const KernelRows& rows, bool serpentine) noexcept {
    return palette_pass_with(PalettePassOptions{}, pixels, height, width, channels, space,
                             palette, rows, serpentine);
}

PassStatus palette_pass_with(const PalettePassOptions& options, std::uint8_t* pixels,
                             std::size_t height, std::size_t width, std::size_t channels,
                             const ColorSpace& space, const Palette& palette,
                             const KernelRows& rows, bool serpentine) noexcept {
    if (!fast_form_applies(rows)) {
        return palette_pass_plain(pixels, height, width, channels, space, palette, rows,
                                  serpentine);
    }
    // With nothing to spread (strength 0) the rows do not depend on each
    // other and the single-row form below is as good as any.
    if (options.vector && rows.row_used[0] && nearest_path_supported(NearestPath::avx2)) {
        return palette_pass_avx2(pixels, height, width, channels, space, palette,
                                 palette_row_weights(direction_weights(rows, false)),
                                 palette_row_weights(direction_weights(rows, true)), serpentine,
                                 options.search, options.rows);
    }
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
