// The palette pass with rows in flight, written once: each source file that
// includes this has first included simd/vec128.hpp and value_bound.hpp
// (before DITHERING_TARGET_AVX2_BEGIN, so that their functions exist only for the
// baseline processor) and one form of the 8-lane type (simd/vec8_avx2.hpp
// or simd/vec8_halves.hpp), and gets its own copy of the loops, at internal
// linkage, for that form. The nearest-colour search is a template
// parameter: each form brings the searches that suit its registers. So is
// the bound of the bounded pass (value_bound.hpp): the loops are built
// with it and without it.
//
// Each pixel's value depends on the error of the pixel before it, through
// the nearest-colour search, so one row is a single long dependency chain
// and the processor idles while it waits on it. Rows further down only
// need the row above to be far enough ahead, so this pass runs up to four
// rows at once, each trailing the one above by LAG pixels: the chains are
// independent and the processor overlaps them.
//
// Every cell must still receive its contributions in the order of the
// plain form (see the fast forms in error_rows.hpp): those of row y - 2,
// then of row y - 1, then of the earlier pixels of its own row. As there,
// a row's own contributions ride along in registers and its contributions
// to the two rows below are added later, cell by cell in scan order, from
// the recorded errors; here that happens after every CHUNK steps, for the
// columns whose five contributing pixels are all done. At the end of a
// chunk, row r has added its share to every column c with c + 2 < d_r,
// d_r being the number of its pixels done. In the next chunk, row r + 1
// reads columns up to d_{r+1} + CHUNK + 1 (its last pixel plus two), and
// d_{r+1} = d_r - LAG, so LAG >= CHUNK + 4 puts every read after the last
// write to that cell. Rows are spread top first, and a row is never ahead
// of the one above, so a cell of row y takes row y - 2's share before row
// y - 1's. Serpentine rows alternate direction and run one at a time.
//
// Error cells are four floats (R, G, B and an idle lane that stays 0), so
// each pixel's value, error and carried cells are single 4-lane vectors
// computed lane by lane with the same operations as the three-float cells
// of the plain form.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/color/color_space.hpp"
#include "core/color/palette.hpp"
#include "core/diffusion/error_rows.hpp"
#include "core/diffusion/palette_rows.hpp"
#include "core/diffusion/spread_below.hpp"
#include "core/diffusion/value_bound.hpp"
#include "core/simd/compiler.hpp"

namespace dithering::palette_rows {
namespace {

using namespace simd;

constexpr std::size_t CHUNK = 16;
constexpr std::size_t LAG = CHUNK + 4;
constexpr std::size_t DEFAULT_ROWS = 4;

// What every step of a pass reads; copied into locals by each kernel, as
// the byte stores of the pixel loop could alias anything reached through a
// pointer.
struct Context {
    const float* lut;
    const std::uint8_t* colors;  // 3 bytes per colour
    const float* working4;       // 4 floats per colour, the last 0
    std::ptrdiff_t channels;
    // From a cell of an error row to the same cell of the error record
    // that follows the row in memory (see Buffers), in floats.
    std::ptrdiff_t record;
    F32x4 weight1;  // tap (1, 0)
    F32x4 weight2;  // tap (2, 0)
};

// A row in progress: its next pixel, that pixel's cell in the row's error
// buffer, and the row's own error carried to the next two pixels.
struct Cursor {
    std::uint8_t* px;
    float* cur;
    F32x4 ahead1;
    F32x4 ahead2;
};

// ------------------------------------------------------------ row kernels

// One pixel of a row scanned in direction S, exactly as palette_scan in
// register_scan.cpp: value (clamped when BOUNDED), nearest colour, output
// bytes, error, and the error carried to the next two pixels.
template <int S, bool BOUNDED, class Search>
DITHERING_ALWAYS_INLINE void step(Search& search, const Context& ctx, Cursor& c) {
    const F32x4 base = lanes(ctx.lut[c.px[0]], ctx.lut[c.px[1]], ctx.lut[c.px[2]], 0.0f);
    F32x4 v = base + c.ahead1;
    if constexpr (BOUNDED) v = bound_to_working_range(v);
    const std::size_t j = search.find(v);
    const std::uint8_t* color = ctx.colors + 3 * j;
    c.px[0] = color[0];
    c.px[1] = color[1];
    c.px[2] = color[2];
    const F32x4 e = v - load4(ctx.working4 + 4 * j);
    store4(c.cur + ctx.record, e);
    c.ahead1 = c.ahead2 + ctx.weight1 * e;
    c.ahead2 = load4(c.cur + 8 * S) + ctx.weight2 * e;
    c.px += S * ctx.channels;
    c.cur += 4 * S;
}

template <int S, bool BOUNDED, class Search>
DITHERING_NOINLINE void run_row(Search& shared, const Context& shared_ctx, Cursor& cursor,
                                       std::size_t count) {
    Search search = shared;
    search.refresh();
    const Context ctx = shared_ctx;
    Cursor c = cursor;
    for (std::size_t i = 0; i < count; ++i) step<S, BOUNDED>(search, ctx, c);
    cursor = c;
}

// G rows left to right, one step each per round, for `count` rounds. The
// cursors live in named locals so that they stay in registers.
template <std::size_t G, bool BOUNDED, class Search>
DITHERING_NOINLINE void run_rows(Search& shared, const Context& shared_ctx,
                                        Cursor* cursors, std::size_t count) {
    static_assert(G >= 2 && G <= 4 && G <= PALETTE_MAX_ROWS);
    Search search = shared;
    search.refresh();
    const Context ctx = shared_ctx;
    Cursor c0 = cursors[0];
    Cursor c1 = cursors[1];
    Cursor c2 = cursors[G > 2 ? 2 : 0];
    Cursor c3 = cursors[G > 3 ? 3 : 0];
    for (std::size_t i = 0; i < count; ++i) {
        step<1, BOUNDED>(search, ctx, c0);
        step<1, BOUNDED>(search, ctx, c1);
        if constexpr (G > 2) step<1, BOUNDED>(search, ctx, c2);
        if constexpr (G > 3) step<1, BOUNDED>(search, ctx, c3);
    }
    cursors[0] = c0;
    cursors[1] = c1;
    if constexpr (G > 2) cursors[2] = c2;
    if constexpr (G > 3) cursors[3] = c3;
}

// Adds the recorded errors of one row, columns [begin, end), to a row below
// it with the step every form shares (spread_below.hpp): cell C takes, in
// order, the errors of the pixels at C - 2S, C - S, C, C + S, C + 2S. Two
// cells per step, then one.
template <int S>
void spread_row_below(float* row, const float* errors, const float (&weight)[5],
                      std::size_t begin, std::size_t end) {
    const F32x8 w0 = splat8(weight[0]);
    const F32x8 w1 = splat8(weight[1]);
    const F32x8 w2 = splat8(weight[2]);
    const F32x8 w3 = splat8(weight[3]);
    const F32x8 w4 = splat8(weight[4]);
    const auto eight = [](const float* p) { return load8(p); };
    std::size_t c = begin + 2;
    for (; c + 2 <= end + 2; c += 2) {
        store8(row + 4 * c, dithering::spread_below<S, 4>(load8(row + 4 * c), errors + 4 * c, w0,
                                                          w1, w2, w3, w4, eight));
    }
    if (c < end + 2) {
        const auto four = [](const float* p) { return load4(p); };
        store4(row + 4 * c,
               dithering::spread_below<S, 4>(load4(row + 4 * c), errors + 4 * c,
                                             splat(weight[0]), splat(weight[1]), splat(weight[2]),
                                             splat(weight[3]), splat(weight[4]), four));
    }
}

template <int S>
void spread_rows(float* const* ring, std::size_t r, std::ptrdiff_t record,
                 const DirectionWeights& w, std::size_t begin, std::size_t end) {
    const float* errors = ring[r] + record;
    for (std::size_t below = 0; below < 2; ++below) {
        if (w.row_used[below]) {
            spread_row_below<S>(ring[r + 1 + below], errors, w.below[below], begin, end);
        }
    }
}

// ------------------------------------------------------------------ pass

// The error rows of the group's rows and the two rows below them, each
// followed in memory by an error record of the same size, where a row being
// scanned keeps its pixels' errors for the rows below. A record travels
// with its row as the rows rotate; its margins are never written and stay
// 0, and whatever an earlier row left in it is overwritten before it is
// read, as a row writes a column's error before spreading it. After them,
// the palette's working colours padded to four lanes like the cells.
struct Buffers {
    float* memory = nullptr;
    float* ring[PALETTE_MAX_ROWS + 2] = {};
    float* working4 = nullptr;
    std::size_t stride = 0;  // floats per row, its record as many again
    Buffers() = default;
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    ~Buffers() { std::free(memory); }
};

bool allocate(Buffers& b, std::size_t width, std::size_t rows, const Palette& palette) {
    const std::size_t colors = palette.size();
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() / sizeof(float) / 64;
    if (width > limit || colors > limit) return false;
    b.stride = 4 * (width + MARGIN_CELLS);
    const std::size_t total = 2 * (rows + 2) * b.stride + 4 * colors;
    b.memory = static_cast<float*>(std::calloc(total, sizeof(float)));
    if (b.memory == nullptr) return false;
    for (std::size_t i = 0; i < rows + 2; ++i) b.ring[i] = b.memory + 2 * i * b.stride;
    b.working4 = b.memory + 2 * (rows + 2) * b.stride;
    for (std::size_t j = 0; j < colors; ++j) {
        for (std::size_t k = 0; k < 3; ++k) b.working4[4 * j + k] = palette.working[3 * j + k];
    }
    return true;
}

struct Pass {
    std::uint8_t* pixels;
    std::size_t height;
    std::size_t width;
    std::size_t channels;
    const float* lut;
    const Palette* palette;
    const DirectionWeights* forward;
    const DirectionWeights* reverse;
    bool serpentine;
    bool bounded;      // value_bound.hpp
    std::size_t rows;  // in flight
    Buffers* buffers;
};

// How many rows go in flight for a request of `rows_in_flight` (0 for the
// default).
std::size_t rows_for(std::size_t rows_in_flight, bool serpentine) {
    if (serpentine) return 1;
    const std::size_t rows = rows_in_flight == 0 ? DEFAULT_ROWS : rows_in_flight;
    return std::min(rows, PALETTE_MAX_ROWS);
}

Context context_for(const Pass& p, const DirectionWeights& w) {
    return {p.lut,
            p.palette->colors.data(),
            p.buffers->working4,
            static_cast<std::ptrdiff_t>(p.channels),
            static_cast<std::ptrdiff_t>(p.buffers->stride),
            splat(w.ahead1),
            splat(w.ahead2)};
}

template <int S>
Cursor start_row(const Pass& p, std::size_t y, std::size_t slot) {
    const std::size_t column = S > 0 ? 0 : p.width - 1;
    const std::size_t cell = column + 2;
    float* cur = p.buffers->ring[slot] + 4 * cell;
    return {p.pixels + (y * p.width + column) * p.channels, cur, load4(cur), load4(cur + 4 * S)};
}

template <bool BOUNDED, class Search>
void run_group(const Pass& p, Search& search, std::size_t y, std::size_t g) {
    const Context ctx = context_for(p, *p.forward);
    float* const* ring = p.buffers->ring;
    Cursor cursors[PALETTE_MAX_ROWS];
    std::size_t spread[PALETTE_MAX_ROWS] = {};  // columns spread so far, per row
    const std::size_t span = p.width + (g - 1) * LAG;
    for (std::size_t t0 = 0; t0 < span; t0 += CHUNK) {
        const std::size_t t1 = t0 + CHUNK;
        // Row r is at column t - r * LAG at time t.
        // Steady once the last row has started (in an earlier chunk, which
        // set up its cursor) and while the first has not finished.
        const bool steady = t0 > (g - 1) * LAG && t1 <= p.width;
        if (steady) {
            switch (g) {
                case 2: run_rows<2, BOUNDED>(search, ctx, cursors, CHUNK); break;
                case 3: run_rows<3, BOUNDED>(search, ctx, cursors, CHUNK); break;
                default: run_rows<4, BOUNDED>(search, ctx, cursors, CHUNK); break;
            }
        } else {
            for (std::size_t r = 0; r < g; ++r) {
                const std::size_t lead = r * LAG;
                const std::size_t lo = t0 > lead ? std::min(t0 - lead, p.width) : 0;
                const std::size_t hi = t1 > lead ? std::min(t1 - lead, p.width) : 0;
                if (lo >= hi) continue;
                if (lo == 0) cursors[r] = start_row<1>(p, y + r, r);
                run_row<1, BOUNDED>(search, ctx, cursors[r], hi - lo);
            }
        }
        for (std::size_t r = 0; r < g; ++r) {
            const std::size_t lead = r * LAG;
            const std::size_t done = t1 > lead ? std::min(t1 - lead, p.width) : 0;
            // A column is complete once the two pixels after it are done.
            const std::size_t ready = done == p.width ? done : (done > 2 ? done - 2 : 0);
            if (ready > spread[r]) {
                spread_rows<1>(ring, r, ctx.record, *p.forward, spread[r], ready);
                spread[r] = ready;
            }
        }
    }
}

template <bool BOUNDED, class Search>
void run_pass_as(const Pass& p, Search& search) {
    Buffers& b = *p.buffers;
    for (std::size_t y = 0; y < p.height;) {
        const std::size_t g = p.serpentine ? 1 : std::min(p.rows, p.height - y);
        if (g == 1) {
            const bool back = p.serpentine && (y & 1) != 0;
            const DirectionWeights& w = back ? *p.reverse : *p.forward;
            const Context ctx = context_for(p, w);
            if (back) {
                Cursor c = start_row<-1>(p, y, 0);
                run_row<-1, BOUNDED>(search, ctx, c, p.width);
                spread_rows<-1>(b.ring, 0, ctx.record, w, 0, p.width);
            } else {
                Cursor c = start_row<1>(p, y, 0);
                run_row<1, BOUNDED>(search, ctx, c, p.width);
                spread_rows<1>(b.ring, 0, ctx.record, w, 0, p.width);
            }
        } else {
            run_group<BOUNDED>(p, search, y, g);
        }
        // The group's rows are finished: clear them and move them to the
        // end, behind the two rows below the group.
        for (std::size_t r = 0; r < g; ++r) std::memset(b.ring[r], 0, b.stride * sizeof(float));
        std::rotate(b.ring, b.ring + g, b.ring + p.rows + 2);
        y += g;
    }
}

template <class Search>
void run_pass(const Pass& p, Search& search) {
    if (p.bounded) {
        run_pass_as<true>(p, search);
    } else {
        run_pass_as<false>(p, search);
    }
}

// What both forms' passes do first: nothing for an empty image or palette;
// otherwise the error rows, then `run` with the pass. Fails only when the
// error rows cannot be had.
template <class Run>
PassStatus with_pass(ImageView image, const ColorSpace& space, const Palette& palette,
                     const DirectionWeights& forward, const DirectionWeights& reverse,
                     const DiffusionOptions& options, Run&& run) {
    if (image.height == 0 || image.width == 0 || palette.size() == 0) return PassStatus::ok;
    const std::size_t rows = rows_for(options.rows_in_flight, options.serpentine);
    Buffers buffers;
    if (!allocate(buffers, image.width, rows, palette)) return PassStatus::out_of_memory;
    const Pass pass{image.pixels,       image.height,    image.width, image.channels,
                    space.lut.data(),   &palette,        &forward,    &reverse,
                    options.serpentine, options.bounded, rows,        &buffers};
    run(pass);
    return PassStatus::ok;
}

// The sizes a whole-palette scan comes in, in blocks of one register's
// lanes of colours, smallest first.
inline constexpr std::size_t SCAN_BLOCKS[] = {1, 2, 3, 4, 6, 8, 12, 16};

// visit(std::integral_constant<std::size_t, BLOCKS>{}) for the fewest
// blocks of LANES colours that hold `colors`, among the sizes that hold at
// most MAX_COLORS (the largest of them for more colours than that).
template <std::size_t LANES, std::size_t MAX_COLORS, std::size_t I = 0, class Visit>
decltype(auto) with_scan_blocks(std::size_t colors, Visit&& visit) {
    constexpr std::size_t BLOCKS = SCAN_BLOCKS[I];
    static_assert(BLOCKS * LANES <= MAX_COLORS);
    if constexpr (I + 1 == std::size(SCAN_BLOCKS) || SCAN_BLOCKS[I + 1] * LANES > MAX_COLORS) {
        return visit(std::integral_constant<std::size_t, BLOCKS>{});
    } else {
        if (colors <= BLOCKS * LANES) return visit(std::integral_constant<std::size_t, BLOCKS>{});
        return with_scan_blocks<LANES, MAX_COLORS, I + 1>(colors, std::forward<Visit>(visit));
    }
}

// The searches of one form, as run_chosen_search and nearest_in_registers
// pick among them:
//     LANES              colours a full scan's register holds
//     SCAN_CAPACITY      the most colours a full scan holds
//     automatic_scan_limit(bounded)
//                        the most colours an automatic choice scans whole
//     full_scan<BLOCKS>(palette)   a full scan of BLOCKS registers
//     grid_find<INNER>(grid)       a NearestGrid lookup; INNER when the
//                                  values stay in the innermost cube
//     CallScan{&palette}           Palette::nearest per pixel

// Runs the pass with the search asked for: a full scan of every colour from
// registers for palettes of up to SCAN_CAPACITY colours, a grid above,
// or with `automatic` whichever the form's limit picks. Palette::nearest
// takes over when the grid's memory cannot be had (the grid only saves
// time) or a full scan is asked of a larger palette.
template <class Searches>
void run_chosen_search(const Pass& pass, const Palette& palette, PaletteSearch search) {
    const std::size_t m = palette.size();
    if (search == PaletteSearch::automatic) {
        search = m <= Searches::automatic_scan_limit(pass.bounded) ? PaletteSearch::full_scan
                                                                   : PaletteSearch::grid;
    }
    if (search == PaletteSearch::grid) {
        std::optional<NearestGrid> grid = palette_pass_grid(palette, pass.bounded);
        if (grid && pass.bounded) {
            auto s = Searches::template grid_find<true>(*grid);
            run_pass_as<true>(pass, s);
            return;
        }
        if (grid) {
            auto s = Searches::template grid_find<false>(*grid);
            run_pass_as<false>(pass, s);
            return;
        }
    } else if (m <= Searches::SCAN_CAPACITY) {
        with_scan_blocks<Searches::LANES, Searches::SCAN_CAPACITY>(m, [&](auto blocks) {
            auto s = Searches::template full_scan<decltype(blocks)::value>(palette);
            run_pass(pass, s);
        });
        return;
    }
    typename Searches::CallScan s{&palette};
    run_pass(pass, s);
}

// The full scan's answer for one value, for tests and benchmarks.
template <class Searches>
std::size_t nearest_in_registers(const Palette& palette, F32x4 v) {
    return with_scan_blocks<Searches::LANES, Searches::SCAN_CAPACITY>(
        palette.size(), [&](auto blocks) {
            return Searches::template full_scan<decltype(blocks)::value>(palette).find(v);
        });
}

}  // namespace
}  // namespace dithering::palette_rows
