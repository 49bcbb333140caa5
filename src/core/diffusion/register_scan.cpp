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

#include <cstddef>
#include <limits>
#include <optional>

#include "core/color/nearest_grid.hpp"
#include "core/diffusion/palette_rows.hpp"
#include "core/diffusion/spread_below.hpp"
#include "core/diffusion/value_bound.hpp"
#include "core/simd/vec128.hpp"

namespace dithering {
namespace {

using simd::F32x4;

// One row's scan: its first pixel in scan order and the step to the next,
// its width, its first error cell, the weights of the two cells ahead, the
// current row's cells and where the row's errors go.
struct RowScan {
    std::uint8_t* px;
    std::ptrdiff_t px_step;
    std::size_t width;
    std::ptrdiff_t cell;
    float weight1;
    float weight2;
    const float* cur;
    float* errors;
};

// The scan step of a levels row in direction S (+1 or -1), from error cell
// `cell` on. The value chain runs through lane 0 of vector registers only:
// a float passing through a general register or a lane-merging move would
// lengthen it.
template <int S, bool TWO, bool SPREAD>
void levels_scan(const RowScan& row, const float* lut, const Levels& levels) {
    // Local copies: the byte stores below may alias anything.
    std::uint8_t* px = row.px;
    const std::ptrdiff_t px_step = row.px_step;
    std::ptrdiff_t cell = row.cell;
    const float* const cur = row.cur;
    float* const errors = row.errors;
    const std::uint8_t* const codes = levels.codes.data();
    const float* const values = levels.values.data();
    // Only lane 0 carries a value. Full-width operations avoid lane
    // merges; every operand holds zeros in the other lanes, so they stay
    // zero (never slow subnormals) and are never read.
    const F32x4 w1 = simd::only_first(row.weight1);
    const F32x4 w2 = simd::only_first(row.weight2);
    const F32x4 half = simd::only_first(127.5f);
    const F32x4 low = simd::only_first(values[0]);
    const F32x4 high = simd::only_first(values[1]);
    const F32x4 inv_step = simd::only_first(levels.inv_step);
    const F32x4 top = simd::only_first(levels.top);
    const F32x4 zero = simd::zero4();
    F32x4 ahead1 = simd::load_first(cur + cell);
    F32x4 ahead2 = simd::load_first(cur + cell + S);
    for (std::size_t i = 0, width = row.width; i < width; ++i) {
        const F32x4 v = simd::load_first(lut + *px) + ahead1;
        F32x4 e;
        if constexpr (TWO) {
            // Branch-free, since the choice is unpredictable.
            const simd::Mask32x4 up = simd::less_equal(half, v);  // v >= 127.5; NaN: level 0
            e = simd::select(up, v - high, v - low);
            *px = codes[simd::bits(up) & 1];
        } else {
            // quantize without the library call: limiting q to 0..top
            // before rounding gives the same level as limiting after, as
            // both bounds are whole numbers and rounding is monotonic;
            // max with 0 first turns NaN into level 0. On 0..255 the
            // truncation is exact and so is q - trunc(q).
            const float q = simd::first(simd::min(simd::max(v * inv_step, zero), top));
            const int whole = static_cast<int>(q);
            const float frac = q - static_cast<float>(whole);
            const auto level = static_cast<std::size_t>(whole + (frac >= 0.5f ? 1 : 0));
            *px = codes[level];
            e = v - simd::load_first(values + level);
        }
        if constexpr (SPREAD) {
            simd::store_first(errors + cell, e);
            ahead1 = ahead2 + w1 * e;
            ahead2 = simd::load_first(cur + cell + 2 * S) + w2 * e;
        }
        px += px_step;
        cell += S;
    }
}

// Adds one row's errors to a row below it (see above), for the error cells
// of columns 0..width-1, in the order the scan in direction S met the
// pixels (spread_below.hpp): dx = +2 first (the pixel at C - 2S), dx = -2
// last. Cells of CELL floats: for levels 1, four cells per step, the last
// step running up to three cells into the right margin, which is never
// read and whose errors are zero; for palettes 4, one cell per step.
template <int S, std::size_t CELL>
void spread_below_row(float* row, const float* errors, const float (&weight)[5],
                      std::size_t width) {
    const F32x4 w0 = simd::splat(weight[0]);
    const F32x4 w1 = simd::splat(weight[1]);
    const F32x4 w2 = simd::splat(weight[2]);
    const F32x4 w3 = simd::splat(weight[3]);
    const F32x4 w4 = simd::splat(weight[4]);
    const auto load = [](const float* p) { return simd::load4(p); };
    for (std::size_t c = 2; c < width + 2; c += 4 / CELL) {
        const F32x4 t = spread_below<S, CELL>(simd::load4(row + CELL * c), errors + CELL * c, w0,
                                              w1, w2, w3, w4, load);
        simd::store4(row + CELL * c, t);
    }
}

using LevelsScan = void (*)(const RowScan& row, const float* lut, const Levels& levels);

template <int S, bool TWO>
LevelsScan levels_scan_for(bool spread) {
    return spread ? &levels_scan<S, TWO, true> : &levels_scan<S, TWO, false>;
}

LevelsScan levels_scan_for(bool back, bool two, bool spread) {
    if (back) return two ? levels_scan_for<-1, true>(spread) : levels_scan_for<-1, false>(spread);
    return two ? levels_scan_for<1, true>(spread) : levels_scan_for<1, false>(spread);
}

// What a palette row's scan reads besides the row, fixed over a pass.
struct PaletteTables {
    const float* lut;
    const Palette& palette;
    NearestGrid* grid;      // null: the full scan
    const float* working4;  // the working colours padded to four lanes
};

// The scan step of a palette row. Error cells are four floats (R, G, B and
// an idle lane that stays 0), so each pixel's value, error and carried
// cells are single vectors computed lane by lane with the same operations
// as the three-float cells of the plain form. With a grid, the nearest
// colour is looked up there (the same index as the full scan). BOUNDED
// clamps the value before the search (value_bound.hpp).
template <int S, bool SPREAD, bool BOUNDED>
void palette_scan(const RowScan& row, const PaletteTables& tables) {
    // Local copies: the byte stores below may alias anything.
    const float* const lut = tables.lut;
    const Palette& palette = tables.palette;
    NearestGrid* const grid = tables.grid;
    const float* const working4 = tables.working4;
    std::uint8_t* px = row.px;
    const std::ptrdiff_t px_step = row.px_step;
    std::ptrdiff_t cell = row.cell;
    const float* const cur = row.cur;
    float* const errors = row.errors;
    const std::uint8_t* const colors = palette.colors.data();
    const F32x4 w1 = simd::splat(row.weight1);
    const F32x4 w2 = simd::splat(row.weight2);
    F32x4 ahead1 = simd::load4(cur + 4 * cell);
    F32x4 ahead2 = simd::load4(cur + 4 * (cell + S));
    for (std::size_t i = 0, width = row.width; i < width; ++i) {
        const F32x4 base = simd::lanes(lut[px[0]], lut[px[1]], lut[px[2]], 0.0f);
        F32x4 v = base + ahead1;
        if constexpr (BOUNDED) v = bound_to_working_range(v);
        const float c0 = simd::first(v);
        const float c1 = simd::second(v);
        const float c2 = simd::third(v);
        const std::size_t j = grid != nullptr ? grid->nearest(c0, c1, c2)
                                              : palette.nearest(c0, c1, c2);
        px[0] = colors[3 * j];
        px[1] = colors[3 * j + 1];
        px[2] = colors[3 * j + 2];
        if constexpr (SPREAD) {
            const F32x4 e = v - simd::load4(working4 + 4 * j);
            simd::store4(errors + 4 * cell, e);
            ahead1 = ahead2 + w1 * e;
            ahead2 = simd::load4(cur + 4 * (cell + 2 * S)) + w2 * e;
        }
        px += px_step;
        cell += S;
    }
}

using PaletteScan = void (*)(const RowScan& row, const PaletteTables& tables);

template <int S, bool BOUNDED>
PaletteScan palette_scan_for(bool spread) {
    return spread ? &palette_scan<S, true, BOUNDED> : &palette_scan<S, false, BOUNDED>;
}

PaletteScan palette_scan_for(bool back, bool spread, bool bounded) {
    if (back) {
        return bounded ? palette_scan_for<-1, true>(spread) : palette_scan_for<-1, false>(spread);
    }
    return bounded ? palette_scan_for<1, true>(spread) : palette_scan_for<1, false>(spread);
}

// The row loop both passes share: each row from its first pixel in scan
// order (`channel` bytes into the pixel), scanned by scan_row(first, step,
// cell, back, w) with the step to the next pixel, the first error cell and
// the row's direction and weights; then the errors the scan recorded in
// `errors` spread to the two rows below, and the rows rotated.
template <std::size_t LANES, class ScanRow>
void scan_rows(ImageView image, std::size_t channel, const KernelRows& rows, bool serpentine,
               ErrorRows& error, const float* errors, ScanRow&& scan_row) {
    const DirectionWeights forward = direction_weights(rows, false);
    const DirectionWeights reverse = direction_weights(rows, true);
    const std::size_t width = image.width;
    const auto step = static_cast<std::ptrdiff_t>(image.channels);
    const auto last_cell = static_cast<std::ptrdiff_t>(width + 1);
    for (std::size_t y = 0; y < image.height; ++y) {
        std::uint8_t* row = image.pixels + y * width * image.channels + channel;
        const bool back = reversed_row(serpentine, y);
        const DirectionWeights& w = back ? reverse : forward;
        std::uint8_t* first = back ? row + (width - 1) * image.channels : row;
        scan_row(first, back ? -step : step, back ? last_cell : 2, back, w);
        for (std::size_t r = 0; r < 2; ++r) {
            if (!w.row_used[r]) continue;
            float* below = r == 0 ? error.next() : error.next2();
            if (back) {
                spread_below_row<-1, LANES>(below, errors, w.below[r], width);
            } else {
                spread_below_row<1, LANES>(below, errors, w.below[r], width);
            }
        }
        error.rotate();
    }
}

}  // namespace

PassStatus levels_pass_register_scan(ImageView image, std::size_t channel, const ColorSpace& space,
                                     const Levels& levels, const KernelRows& rows,
                                     bool serpentine) noexcept {
    const std::size_t width = image.width;
    if (image.height == 0 || width == 0) return PassStatus::ok;
    // The extra row holds the errors of the row being scanned, one per
    // error cell; its margins stay zero.
    ErrorRows error(width, 1, width + MARGIN_CELLS);
    if (!error.ok()) return PassStatus::out_of_memory;
    float* const errors = error.extra();
    const bool two = levels.count == 2;
    const float* lut = space.lut.data();
    scan_rows<1>(image, channel, rows, serpentine, error, errors,
                 [&](std::uint8_t* first, std::ptrdiff_t px_step, std::ptrdiff_t cell, bool back,
                     const DirectionWeights& w) {
                     const LevelsScan scan = levels_scan_for(back, two, w.spread);
                     scan({first, px_step, width, cell, w.ahead1, w.ahead2, error.cur(), errors},
                          lut, levels);
                 });
    return PassStatus::ok;
}

PassStatus palette_pass_register_scan(ImageView image, const ColorSpace& space,
                                      const Palette& palette, const KernelRows& rows,
                                      const DiffusionOptions& options) noexcept {
    const bool bounded = options.bounded;
    const std::size_t width = image.width;
    const std::size_t m = palette.size();
    if (image.height == 0 || width == 0 || m == 0) return PassStatus::ok;
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
    // Without the memory for a grid, the full scan gives the same bytes.
    std::optional<NearestGrid> grid;
    if (m > FULL_SCAN_MAX_COLORS) grid = palette_pass_grid(palette, bounded);
    const PaletteTables tables{space.lut.data(), palette, grid ? &*grid : nullptr, working4};
    scan_rows<4>(image, 0, rows, options.serpentine, error, errors,
                 [&](std::uint8_t* first, std::ptrdiff_t px_step, std::ptrdiff_t cell, bool back,
                     const DirectionWeights& w) {
                     const PaletteScan scan = palette_scan_for(back, w.spread, bounded);
                     scan({first, px_step, width, cell, w.ahead1, w.ahead2, error.cur(), errors},
                          tables);
                 });
    return PassStatus::ok;
}

}  // namespace dithering
