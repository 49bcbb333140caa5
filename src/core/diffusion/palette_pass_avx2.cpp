// The AVX2 palette pass: rows in flight side by side, search inlined.
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
#include "core/diffusion/palette_pass_avx2.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include "core/color/grid_search_avx2.hpp"
#include "core/color/nearest_grid.hpp"
#include "core/color/nearest_scan.hpp"

#define DITHERING_AVX2 __attribute__((target("avx2")))
// The per-pixel pieces must inline into the loops: a call would pass the
// rows' state through memory.
#define DITHERING_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace dithering {
namespace {

using avx2::grid_search_of;
using avx2::GridSearch;
using avx2::INF_BITS;
using avx2::lane1_of;
using avx2::lane2_of;
using avx2::lanes_equal;
using avx2::least_everywhere;
using avx2::nearest_out_of_line;

constexpr std::size_t CHUNK = 16;
constexpr std::size_t LAG = CHUNK + 4;
constexpr std::size_t DEFAULT_ROWS = 4;
// Palettes up to this size are scanned whole, from registers (and the
// stack, past 32 colours); larger ones use a NearestGrid. On photos with
// their own 64-colour palettes the whole scan is as fast or faster: a
// photo's values wander over many cells, each to be built.
constexpr std::size_t FULL_SCAN_LIMIT = 64;

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
    __m128 weight1;  // tap (1, 0)
    __m128 weight2;  // tap (2, 0)
};

// A row in progress: its next pixel, that pixel's cell in the row's error
// buffer, and the row's own error carried to the next two pixels.
struct Cursor {
    std::uint8_t* px;
    float* cur;
    __m128 ahead1;
    __m128 ahead2;
};

// --------------------------------------------------------------- searches

// Every colour of a palette of up to 8 * BLOCKS, in registers, in palette
// order (padding lanes hold NaN). The first lane holding the least distance
// is the sequential answer, unless that distance is not below +inf, when
// the sequential scan never moved off colour 0.
template <std::size_t BLOCKS>
struct FullScan {
    __m256 w0[BLOCKS];
    __m256 w1[BLOCKS];
    __m256 w2[BLOCKS];

    DITHERING_AVX2 void refresh() {}

    DITHERING_AVX2_INLINE std::size_t find(__m128 v) const {
        const __m256 c0 = _mm256_broadcastss_ps(v);
        const __m256 c1 = lane1_of(v);
        const __m256 c2 = lane2_of(v);
        __m256i d[BLOCKS];
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            const __m256 t1 = _mm256_sub_ps(c1, w1[b]);
            const __m256 t0 = _mm256_sub_ps(c0, w0[b]);
            const __m256 t2 = _mm256_sub_ps(c2, w2[b]);
            const __m256 s = _mm256_add_ps(_mm256_mul_ps(t1, t1), _mm256_mul_ps(t0, t0));
            d[b] = _mm256_castps_si256(_mm256_add_ps(s, _mm256_mul_ps(t2, t2)));
        }
        __m256i m = d[0];
        for (std::size_t b = 1; b < BLOCKS; ++b) m = _mm256_min_epu32(m, d[b]);
        m = least_everywhere(m);
        std::uint64_t at = 0;  // eight lanes a block, up to eight blocks
        for (std::size_t b = 0; b < BLOCKS; ++b) {
            at |= static_cast<std::uint64_t>(lanes_equal(d[b], m)) << (8 * b);
        }
        const auto least = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(m));
        const auto first = static_cast<std::size_t>(__builtin_ctzll(at));
        return least < INF_BITS ? first : 0;
    }
};

template <std::size_t BLOCKS>
DITHERING_AVX2 FullScan<BLOCKS> full_scan_of(const Palette& palette) {
    alignas(32) float lanes[3][8 * BLOCKS];
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t j = 0; j < 8 * BLOCKS; ++j) {
            lanes[k][j] = j < palette.size() ? palette.working[3 * j + k] : nan;
        }
    }
    FullScan<BLOCKS> scan;
    for (std::size_t b = 0; b < BLOCKS; ++b) {
        scan.w0[b] = _mm256_load_ps(lanes[0] + 8 * b);
        scan.w1[b] = _mm256_load_ps(lanes[1] + 8 * b);
        scan.w2[b] = _mm256_load_ps(lanes[2] + 8 * b);
    }
    return scan;
}

// Any palette: Palette::nearest, called per pixel.
struct CallScan {
    const Palette* palette;
    DITHERING_AVX2 void refresh() {}
    DITHERING_AVX2_INLINE std::size_t find(__m128 v) const {
        return nearest_out_of_line(*palette, v);
    }
};

// ------------------------------------------------------------ row kernels

// One pixel of a row scanned in direction S, exactly as palette_scan in
// register_scan.cpp: value, nearest colour, output bytes, error, and the error
// carried to the next two pixels.
template <int S, class Search>
DITHERING_AVX2_INLINE void step(Search& search, const Context& ctx, Cursor& c) {
    const __m128 base = _mm_setr_ps(ctx.lut[c.px[0]], ctx.lut[c.px[1]], ctx.lut[c.px[2]], 0.0f);
    const __m128 v = _mm_add_ps(base, c.ahead1);
    const std::size_t j = search.find(v);
    const std::uint8_t* color = ctx.colors + 3 * j;
    c.px[0] = color[0];
    c.px[1] = color[1];
    c.px[2] = color[2];
    const __m128 e = _mm_sub_ps(v, _mm_load_ps(ctx.working4 + 4 * j));
    _mm_store_ps(c.cur + ctx.record, e);
    c.ahead1 = _mm_add_ps(c.ahead2, _mm_mul_ps(ctx.weight1, e));
    c.ahead2 = _mm_add_ps(_mm_load_ps(c.cur + 8 * S), _mm_mul_ps(ctx.weight2, e));
    c.px += S * ctx.channels;
    c.cur += 4 * S;
}

template <int S, class Search>
DITHERING_AVX2 __attribute__((noinline)) void run_row(Search& shared, const Context& shared_ctx,
                                                      Cursor& cursor, std::size_t count) {
    Search search = shared;
    search.refresh();
    const Context ctx = shared_ctx;
    Cursor c = cursor;
    for (std::size_t i = 0; i < count; ++i) step<S>(search, ctx, c);
    cursor = c;
}

// G rows left to right, one step each per round, for `count` rounds. The
// cursors live in named locals so that they stay in registers.
template <std::size_t G, class Search>
DITHERING_AVX2 __attribute__((noinline)) void run_rows(Search& shared, const Context& shared_ctx,
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
        step<1>(search, ctx, c0);
        step<1>(search, ctx, c1);
        if constexpr (G > 2) step<1>(search, ctx, c2);
        if constexpr (G > 3) step<1>(search, ctx, c3);
    }
    cursors[0] = c0;
    cursors[1] = c1;
    if constexpr (G > 2) cursors[2] = c2;
    if constexpr (G > 3) cursors[3] = c3;
}

// Adds the recorded errors of one row, columns [begin, end), to a row below
// it (see levels_spread_below in register_scan.cpp): cell C takes, in order,
// the errors of the pixels at C - 2S, C - S, C, C + S, C + 2S. Two cells per
// step, then one.
template <int S>
DITHERING_AVX2 void spread_below(float* row, const float* errors, const float (&weight)[5],
                                 std::size_t begin, std::size_t end) {
    const __m256 w0 = _mm256_set1_ps(weight[0]);
    const __m256 w1 = _mm256_set1_ps(weight[1]);
    const __m256 w2 = _mm256_set1_ps(weight[2]);
    const __m256 w3 = _mm256_set1_ps(weight[3]);
    const __m256 w4 = _mm256_set1_ps(weight[4]);
    std::size_t c = begin + 2;
    for (; c + 2 <= end + 2; c += 2) {
        const float* e = errors + 4 * c;
        __m256 t = _mm256_loadu_ps(row + 4 * c);
        t = _mm256_add_ps(t, _mm256_mul_ps(w0, _mm256_loadu_ps(e - 8 * S)));
        t = _mm256_add_ps(t, _mm256_mul_ps(w1, _mm256_loadu_ps(e - 4 * S)));
        t = _mm256_add_ps(t, _mm256_mul_ps(w2, _mm256_loadu_ps(e)));
        t = _mm256_add_ps(t, _mm256_mul_ps(w3, _mm256_loadu_ps(e + 4 * S)));
        t = _mm256_add_ps(t, _mm256_mul_ps(w4, _mm256_loadu_ps(e + 8 * S)));
        _mm256_storeu_ps(row + 4 * c, t);
    }
    if (c < end + 2) {
        const float* e = errors + 4 * c;
        __m128 t = _mm_load_ps(row + 4 * c);
        t = _mm_add_ps(t, _mm_mul_ps(_mm256_castps256_ps128(w0), _mm_load_ps(e - 8 * S)));
        t = _mm_add_ps(t, _mm_mul_ps(_mm256_castps256_ps128(w1), _mm_load_ps(e - 4 * S)));
        t = _mm_add_ps(t, _mm_mul_ps(_mm256_castps256_ps128(w2), _mm_load_ps(e)));
        t = _mm_add_ps(t, _mm_mul_ps(_mm256_castps256_ps128(w3), _mm_load_ps(e + 4 * S)));
        t = _mm_add_ps(t, _mm_mul_ps(_mm256_castps256_ps128(w4), _mm_load_ps(e + 8 * S)));
        _mm_store_ps(row + 4 * c, t);
    }
}

template <int S>
DITHERING_AVX2 void spread_rows(float* const* ring, std::size_t r, std::ptrdiff_t record,
                                const DirectionWeights& w, std::size_t begin, std::size_t end) {
    const float* errors = ring[r] + record;
    for (std::size_t below = 0; below < 2; ++below) {
        if (w.row_used[below]) {
            spread_below<S>(ring[r + 1 + below], errors, w.below[below], begin, end);
        }
    }
}

// ------------------------------------------------------------------ pass

// The error rows of the group's rows and the two rows below them, each
// followed in memory by an error record of the same size, where a row being
// scanned keeps its pixels' errors for the rows below. A record travels
// with its row as the rows rotate; its margins are never written and stay
// 0, and whatever an earlier row left in it is overwritten before it is
// read, as a row writes a column's error before spreading it.
struct Buffers {
    float* memory = nullptr;
    float* ring[PALETTE_MAX_ROWS + 2] = {};
    float* working4 = nullptr;
    std::size_t stride = 0;  // floats per row, its record as many again
    ~Buffers() { std::free(memory); }
};

bool allocate(Buffers& b, std::size_t width, std::size_t rows, std::size_t colors) {
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() / sizeof(float) / 64;
    if (width > limit || colors > limit) return false;
    b.stride = 4 * (width + MARGIN_CELLS);
    const std::size_t total = 2 * (rows + 2) * b.stride + 4 * colors;
    b.memory = static_cast<float*>(std::calloc(total, sizeof(float)));
    if (b.memory == nullptr) return false;
    for (std::size_t i = 0; i < rows + 2; ++i) b.ring[i] = b.memory + 2 * i * b.stride;
    b.working4 = b.memory + 2 * (rows + 2) * b.stride;
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
    std::size_t rows;  // in flight
    Buffers* buffers;
};

DITHERING_AVX2 Context context_for(const Pass& p, const DirectionWeights& w) {
    return {p.lut,
            p.palette->colors.data(),
            p.buffers->working4,
            static_cast<std::ptrdiff_t>(p.channels),
            static_cast<std::ptrdiff_t>(p.buffers->stride),
            _mm_set1_ps(w.ahead1),
            _mm_set1_ps(w.ahead2)};
}

template <int S>
DITHERING_AVX2 Cursor start_row(const Pass& p, std::size_t y, std::size_t slot) {
    const std::size_t column = S > 0 ? 0 : p.width - 1;
    const std::size_t cell = column + 2;
    float* cur = p.buffers->ring[slot] + 4 * cell;
    return {p.pixels + (y * p.width + column) * p.channels, cur, _mm_load_ps(cur),
            _mm_load_ps(cur + 4 * S)};
}

template <class Search>
DITHERING_AVX2 void run_group(const Pass& p, Search& search, std::size_t y, std::size_t g) {
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
                case 2: run_rows<2>(search, ctx, cursors, CHUNK); break;
                case 3: run_rows<3>(search, ctx, cursors, CHUNK); break;
                default: run_rows<4>(search, ctx, cursors, CHUNK); break;
            }
        } else {
            for (std::size_t r = 0; r < g; ++r) {
                const std::size_t lead = r * LAG;
                const std::size_t lo = t0 > lead ? std::min(t0 - lead, p.width) : 0;
                const std::size_t hi = t1 > lead ? std::min(t1 - lead, p.width) : 0;
                if (lo >= hi) continue;
                if (lo == 0) cursors[r] = start_row<1>(p, y + r, r);
                run_row<1>(search, ctx, cursors[r], hi - lo);
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

template <class Search>
DITHERING_AVX2 void run_pass(const Pass& p, Search& search) {
    Buffers& b = *p.buffers;
    for (std::size_t y = 0; y < p.height;) {
        const std::size_t g = p.serpentine ? 1 : std::min(p.rows, p.height - y);
        if (g == 1) {
            const bool back = p.serpentine && (y & 1) != 0;
            const DirectionWeights& w = back ? *p.reverse : *p.forward;
            const Context ctx = context_for(p, w);
            if (back) {
                Cursor c = start_row<-1>(p, y, 0);
                run_row<-1>(search, ctx, c, p.width);
                spread_rows<-1>(b.ring, 0, ctx.record, w, 0, p.width);
            } else {
                Cursor c = start_row<1>(p, y, 0);
                run_row<1>(search, ctx, c, p.width);
                spread_rows<1>(b.ring, 0, ctx.record, w, 0, p.width);
            }
        } else {
            run_group(p, search, y, g);
        }
        // The group's rows are finished: clear them and move them to the
        // end, behind the two rows below the group.
        for (std::size_t r = 0; r < g; ++r) std::memset(b.ring[r], 0, b.stride * sizeof(float));
        std::rotate(b.ring, b.ring + g, b.ring + p.rows + 2);
        y += g;
    }
}

}  // namespace

DITHERING_AVX2 PassStatus palette_pass_avx2(std::uint8_t* pixels, std::size_t height,
                                            std::size_t width, std::size_t channels,
                                            const ColorSpace& space, const Palette& palette,
                                            const DirectionWeights& forward,
                                            const DirectionWeights& reverse, bool serpentine,
                                            PaletteSearch search,
                                            std::size_t rows_in_flight) noexcept {
    const std::size_t m = palette.size();
    if (height == 0 || width == 0 || m == 0) return PassStatus::ok;
    std::size_t rows = rows_in_flight == 0 ? DEFAULT_ROWS : rows_in_flight;
    rows = std::min(rows, PALETTE_MAX_ROWS);
    if (serpentine) rows = 1;
    Buffers buffers;
    if (!allocate(buffers, width, rows, m)) return PassStatus::out_of_memory;
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t k = 0; k < 3; ++k) {
            buffers.working4[4 * j + k] = palette.working[3 * j + k];
        }
    }
    const Pass pass{pixels,   height,   width,      channels, space.lut.data(), &palette,
                    &forward, &reverse, serpentine, rows,     &buffers};
    if (search == PaletteSearch::automatic) {
        search = m <= FULL_SCAN_LIMIT ? PaletteSearch::full_scan : PaletteSearch::grid;
    }
    if (search == PaletteSearch::grid) {
        std::optional<NearestGrid> grid = NearestGrid::create(palette);
        if (grid) {
            GridSearch s = grid_search_of(*grid);
            run_pass(pass, s);
        } else {
            // The grid only saves time: without memory for it, every pixel
            // scans the whole palette.
            CallScan s{&palette};
            run_pass(pass, s);
        }
    } else if (m <= 8) {
        FullScan<1> s = full_scan_of<1>(palette);
        run_pass(pass, s);
    } else if (m <= 16) {
        FullScan<2> s = full_scan_of<2>(palette);
        run_pass(pass, s);
    } else if (m <= 24) {
        FullScan<3> s = full_scan_of<3>(palette);
        run_pass(pass, s);
    } else if (m <= 32) {
        FullScan<4> s = full_scan_of<4>(palette);
        run_pass(pass, s);
    } else if (m <= 48) {
        FullScan<6> s = full_scan_of<6>(palette);
        run_pass(pass, s);
    } else if (m <= 64) {
        FullScan<8> s = full_scan_of<8>(palette);
        run_pass(pass, s);
    } else {
        CallScan s{&palette};
        run_pass(pass, s);
    }
    return PassStatus::ok;
}

DITHERING_AVX2 std::size_t nearest_in_registers_avx2(const Palette& palette, float c0, float c1,
                                                     float c2) noexcept {
    const __m128 v = _mm_setr_ps(c0, c1, c2, 0.0f);
    const std::size_t m = palette.size();
    if (m <= 8) return full_scan_of<1>(palette).find(v);
    if (m <= 16) return full_scan_of<2>(palette).find(v);
    if (m <= 24) return full_scan_of<3>(palette).find(v);
    if (m <= 32) return full_scan_of<4>(palette).find(v);
    if (m <= 48) return full_scan_of<6>(palette).find(v);
    return full_scan_of<8>(palette).find(v);
}

}  // namespace dithering

#undef DITHERING_AVX2
#undef DITHERING_AVX2_INLINE

#endif  // DITHERING_ARCH_X86
