// Error diffusion to levels with sixteen rows in vector lanes: two AVX2
// vectors of eight, or four 128-bit ones.
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
// With one channel and rows of 80 pixels or more, the bands follow one
// another on a helix (see HELIX_GAP): a lane that finishes its row goes on
// to its row of the next band, so lanes wait only at the image's top and
// bottom rather than at both ends of every band.
// The input bytes reach the lanes transposed, 32 steps at a time: each
// step's bytes of rows 0..7 and of rows 8..15 become one 8-byte group;
// the codes travel back the same way. An image with several channels is
// split into planes band by band, so every channel takes that same path.
//
// This file drives the bands; the step loops and the transposes are
// written once over an 8-lane vector type (wavefront_steps.hpp) and built
// for each instruction set, so that every processor runs the same
// operations in the same order.
#include "core/diffusion/levels_wavefront.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/diffusion/channel_planes.hpp"
#include "core/diffusion/wavefront_layout.hpp"
#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

namespace dithering {

namespace {

// Sixteen dependency chains side by side beat the single-row scan's one
// even in 128-bit vectors (SSE2 on x86, two to seven times in core_bench),
// so every x86 and aarch64 processor takes the wavefront. The portable
// form alone, lane by lane, is not known to.
bool vec128_wavefront_pays(const WavefrontCall&) noexcept {
    return VEC128_KIND != Vec128Kind::portable;
}

// The band in one AVX-512 register pays only with all twelve weights
// (Jarvis-Judice-Ninke, Stucki), whose rows-above sums make most of a
// step's work: half the instructions then win. With fewer the step's
// chain from one error to the next sets the pace, and the 512-bit loads
// of the sums, across cache lines, cost more than they save. core_bench,
// 4096x4096, 2 levels, best of 42 runs, AVX2 -> AVX-512 Mpx/s on an AMD
// EPYC: Jarvis-Judice-Ninke 1336 -> 1604, Stucki 1351 -> 1599; Burkes
// 1450 -> 1402, Sierra 1391 -> 1324, two-row Sierra 1461 -> 1413,
// Atkinson 2066 -> 1872, Floyd-Steinberg 2208 -> 1858, false
// Floyd-Steinberg 2283 -> 1914, Sierra Lite 2222 -> 1881.
bool avx512_wavefront_pays(const WavefrontCall& call) noexcept {
    return call.taps == wavefront::ALL_TAPS;
}

}  // namespace

const IsaForms<WavefrontSteps, WavefrontCall>& levels_wavefront_forms() noexcept {
    static constexpr IsaForms<WavefrontSteps, WavefrontCall> forms = {
        {nullptr},
        {&wavefront::step_loops_vec128, &vec128_wavefront_pays},
        {DITHERING_AVX2_FORM(&wavefront::step_loops_avx2)},
        {DITHERING_AVX512_FORM(&wavefront::step_loops_avx512), &avx512_wavefront_pays},
    };
    return forms;
}

namespace {

using namespace wavefront;

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

// 64-byte alignment from the standard allocator (std::aligned_alloc is not
// in every C library).
constexpr std::align_val_t BLOCK_ALIGNMENT{64};
struct FreeAligned {
    void operator()(void* p) const noexcept { ::operator delete(p, BLOCK_ALIGNMENT); }
};

// A helix: each lane moves on to its row in the next band as soon as it
// has finished its row in this one, two steps later, so that the lanes of
// one band ramp up only at the image's top and down only at its bottom,
// not at every band. Lane r then works on column t - r * LAG - k * period
// of row 16k + r, period = width + HELIX_GAP, and a band's lane 0 reads
// the band before's lanes 14 and 15 (as its rows -2 and -1) a period
// behind them. They must have made those errors by then: a cell's sums
// reach LAG columns further than the lag between lanes, so the period
// must exceed 16 * LAG. The two gap steps give errors of exactly 0, as
// columns -2, -1 and width, width + 1 of every row do in the other form.
constexpr std::size_t HELIX_GAP = 2;
constexpr std::size_t HELIX_MIN_WIDTH = BAND * static_cast<std::size_t>(LAG);

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

    // On a helix the carried rows hold two periods (see helix_pass), and
    // column 0 is at their start.
    bool allocate(std::size_t width, std::size_t channels, std::size_t diffused,
                  bool helix) noexcept {
        constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() / 64;
        if (width > limit / BAND || diffused > limit / (BAND * width) / 8) return false;
        steps = (width + 15 * static_cast<std::size_t>(LAG) + 31) / 32 * 32;
        const std::size_t carry_floats =
            helix ? 2 * (width + HELIX_GAP) + 4 * static_cast<std::size_t>(LAG) + 8
                  : width + static_cast<std::size_t>(CARRY_LEFT + CARRY_RIGHT) + 8;
        const std::ptrdiff_t carry_left = helix ? 0 : CARRY_LEFT;
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
        void* block = ::operator new((bytes + 63) / 64 * 64, BLOCK_ALIGNMENT, std::nothrow);
        if (block == nullptr) return false;
        memory.reset(block);
        history = static_cast<float*>(block);
        float* next = history + (HISTORY + CHUNK + AHEAD) * PITCH;
        // Only the carried rows start as zeros (the errors above the first
        // band, and the margins, which no step writes). The history's first
        // HISTORY steps are cleared by the pass itself; every other float of
        // it, and every byte of the lane groups and planes, is written
        // before it is read, so zeroing them would only cost time: tens of
        // kilobytes a call, as much as the pixel loops of a small image.
        std::memset(next, 0, sizeof(float) * 4 * carry_floats * diffused);
        for (auto& rows : carry) {
            for (float*& row : rows) {
                row = next + carry_left;  // column 0
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

// Where a band's rows are in a plane of one channel (the image itself, or
// the planes a band of several channels is split into). The lane groups
// are kept as two arrays, rows 0..7 and rows 8..15 of the band, eight
// bytes per step; each is filled and emptied 32 steps at a time. On a
// helix, a lane whose column in this band is still negative works on its
// row of the band before, `period` columns on.
struct BandRows {
    std::uint8_t* pixels;
    std::size_t width, y0, count;
    std::size_t previous_count = 0;  // rows of the band before (a helix only)
    std::ptrdiff_t period = 0;

    // Row r of the band at step s is at column s - r * LAG.
    static std::ptrdiff_t column(std::size_t s, std::size_t r) {
        return static_cast<std::ptrdiff_t>(s) - static_cast<std::ptrdiff_t>(r) * LAG;
    }
    // Whether rows 8h..8h+7 are all in the image over the 32 steps from s,
    // so that the block moves directly: rows a constant pitch of
    // width - LAG bytes apart.
    bool direct(std::size_t h, std::size_t s) const {
        return count >= 8 * h + 8 && column(s, 8 * h + 7) >= 0 &&
               column(s, 8 * h) + 32 <= static_cast<std::ptrdiff_t>(width);
    }
    std::uint8_t* block_start(std::size_t h, std::size_t s) const {
        return pixels + (y0 + 8 * h) * width + static_cast<std::size_t>(column(s, 8 * h));
    }
    std::ptrdiff_t block_pitch() const {
        return static_cast<std::ptrdiff_t>(width) - static_cast<std::ptrdiff_t>(LAG);
    }
    // A run of row r's pixels over the 32 steps from s: `count` bytes from
    // `at`, lane bytes from `offset` in the block.
    struct Piece {
        std::uint8_t* at;
        std::size_t offset, count;
    };
    // The runs of lane r over the 32 steps from s that are in the image:
    // its row in the band before (a helix only, columns below this band's
    // 0 taken a period on), then its row in this band.
    DITHERING_ALWAYS_INLINE std::size_t pieces(std::size_t s, std::size_t r,
                                               Piece (&out)[2]) const {
        std::size_t n = 0;
        const std::ptrdiff_t first = column(s, r);
        const auto w = static_cast<std::ptrdiff_t>(width);
        if (first < 0 && r < previous_count) {
            const std::ptrdiff_t low = first + period;
            const std::ptrdiff_t high = std::min<std::ptrdiff_t>(std::min<std::ptrdiff_t>(first + 32, 0) + period, w);
            if (low < high) {
                out[n++] = {pixels + (y0 - BAND + r) * width + static_cast<std::size_t>(low), 0,
                            static_cast<std::size_t>(high - low)};
            }
        }
        if (r < count) {
            const std::ptrdiff_t low = std::max<std::ptrdiff_t>(first, 0);
            const std::ptrdiff_t high = std::min<std::ptrdiff_t>(first + 32, w);
            if (low < high) {
                out[n++] = {pixels + (y0 + r) * width + static_cast<std::size_t>(low),
                            static_cast<std::size_t>(low - first),
                            static_cast<std::size_t>(high - low)};
            }
        }
        return n;
    }
};

// The band's bytes into lane groups, zero outside the image.
// From step `first` (a multiple of 32) on.
void load_band(const StepLoops& loops, std::uint8_t* const (&lanes)[2], std::size_t steps,
               const BandRows& band, std::size_t first = 0) {
    alignas(32) std::uint8_t block[8][32];
    for (std::size_t h = 0; h < 2; ++h) {
        for (std::size_t s = first; s < steps; s += 32) {
            std::uint8_t* groups = lanes[h] + 8 * s;
            if (band.direct(h, s)) {
                loops.rows_to_groups(band.block_start(h, s), band.block_pitch(), groups);
                continue;
            }
            std::memset(block, 0, sizeof block);
            for (std::size_t i = 0; i < 8; ++i) {
                BandRows::Piece pieces[2];
                const std::size_t n = band.pieces(s, 8 * h + i, pieces);
                for (std::size_t k = 0; k < n; ++k) {
                    std::memcpy(block[i] + pieces[k].offset, pieces[k].at, pieces[k].count);
                }
            }
            loops.rows_to_groups(block[0], 32, groups);
        }
    }
}

// The codes in the lane groups back to the image rows.
// From step `first` (a multiple of 32) on.
void store_band(const StepLoops& loops, const std::uint8_t* const (&lanes)[2], std::size_t steps,
                const BandRows& band, std::size_t first = 0) {
    alignas(32) std::uint8_t block[8][32];
    for (std::size_t h = 0; h < 2; ++h) {
        for (std::size_t s = first; s < steps; s += 32) {
            const std::uint8_t* groups = lanes[h] + 8 * s;
            if (band.direct(h, s)) {
                loops.groups_to_rows(groups, band.block_start(h, s), band.block_pitch());
                continue;
            }
            loops.groups_to_rows(groups, block[0], 32);
            for (std::size_t i = 0; i < 8; ++i) {
                BandRows::Piece pieces[2];
                const std::size_t n = band.pieces(s, 8 * h + i, pieces);
                for (std::size_t k = 0; k < n; ++k) {
                    std::memcpy(pieces[k].at, block[i] + pieces[k].offset, pieces[k].count);
                }
            }
        }
    }
}

// The first SEAM_STEPS steps of a period between two whole bands of a
// helix, where the lanes of the lower rows are still finishing their rows
// of the band before, moved through a small copy of the seam instead of
// the image: each lane's row there is the end of its row in the band
// before, the two gap columns, then the start of its row here, so that
// all sixteen rows sit a constant pitch apart and every block of 32 steps
// moves directly (in the image, three of a period's blocks would go byte
// run by byte run). Rows of at least SEAM_MIN_WIDTH pixels keep the copy's
// columns inside the row, and clear of the blocks at a period's end.
constexpr std::size_t SEAM_STEPS = 96;
constexpr std::size_t SEAM_BEFORE = 80;  // columns -80..-1: the band before's end, the gap
constexpr std::size_t SEAM_PITCH = SEAM_BEFORE + SEAM_STEPS;
constexpr std::size_t SEAM_MIN_WIDTH = 128;
static_assert(SEAM_BEFORE >= 15 * static_cast<std::size_t>(LAG) && SEAM_STEPS % 32 == 0 &&
              SEAM_MIN_WIDTH >= SEAM_STEPS + 32 && SEAM_BEFORE >= HELIX_GAP);

struct Seam {
    alignas(32) std::uint8_t rows[BAND][SEAM_PITCH];

    // Row r's bytes from `band` (whole, as is the band before): columns
    // SEAM_BEFORE - HELIX_GAP before the row's start from the band before's
    // row r, the gap's zeros, then the row's first SEAM_STEPS columns.
    void copy_in(const BandRows& band) {
        constexpr std::size_t before = SEAM_BEFORE - HELIX_GAP;
        for (std::size_t r = 0; r < BAND; ++r) {
            const std::uint8_t* row = band.pixels + (band.y0 + r) * band.width;
            std::memcpy(rows[r], row - BAND * band.width + band.width - before, before);
            std::memset(rows[r] + before, 0, HELIX_GAP);
            std::memcpy(rows[r] + SEAM_BEFORE, row, SEAM_STEPS);
        }
    }
    // The same columns back (the gap's aside), where copy_in took them.
    void copy_out(const BandRows& band) const {
        constexpr std::size_t before = SEAM_BEFORE - HELIX_GAP;
        for (std::size_t r = 0; r < BAND; ++r) {
            std::uint8_t* row = band.pixels + (band.y0 + r) * band.width;
            std::memcpy(row - BAND * band.width + band.width - before, rows[r], before);
            std::memcpy(row, rows[r] + SEAM_BEFORE, SEAM_STEPS);
        }
    }
    // Rows 8h..8h+7 at step s: row r at column s - r * LAG.
    std::uint8_t* block_start(std::size_t h, std::size_t s) {
        return rows[8 * h] + SEAM_BEFORE + s - 8 * h * static_cast<std::size_t>(LAG);
    }
    static constexpr std::ptrdiff_t block_pitch() {
        return static_cast<std::ptrdiff_t>(SEAM_PITCH) - LAG;
    }
};

void load_seam(const StepLoops& loops, std::uint8_t* const (&lanes)[2], Seam& seam,
               const BandRows& band) {
    seam.copy_in(band);
    for (std::size_t h = 0; h < 2; ++h) {
        for (std::size_t s = 0; s < SEAM_STEPS; s += 32) {
            loops.rows_to_groups(seam.block_start(h, s), Seam::block_pitch(), lanes[h] + 8 * s);
        }
    }
}

// Before the rest of the period is stored: the seam's copy holds the
// image's bytes past what these steps made, which the later blocks then
// overwrite with theirs.
void store_seam(const StepLoops& loops, const std::uint8_t* const (&lanes)[2], Seam& seam,
                const BandRows& band) {
    for (std::size_t h = 0; h < 2; ++h) {
        for (std::size_t s = 0; s < SEAM_STEPS; s += 32) {
            loops.groups_to_rows(lanes[h] + 8 * s, seam.block_start(h, s), Seam::block_pitch());
        }
    }
    seam.copy_out(band);
}

// The whole pass on a helix (see HELIX_GAP), one period at a time: in
// period k, lane r finishes its row of band k - 1 (steps before r * LAG)
// and goes on with its row of band k. Each period's bytes move in and out
// as a band's do, the lanes still in the band before taking their bytes
// from there. The carried rows of lanes 14 and 15 hold two periods: the
// one before, which lanes 0 and 1 read a period late as their rows -2 and
// -1, and this one, being written; they move down a period after each.
void helix_pass(const StepLoops& loops, const Runners& run, Pass& p, Workspace& ws,
                std::uint8_t* pixels, std::size_t height, std::size_t width) {
    const std::size_t period = width + HELIX_GAP;
    const auto period_steps = static_cast<std::ptrdiff_t>(period);
    const std::size_t bands = (height + BAND - 1) / BAND;
    float* const lane14 = ws.carry[0][0];
    float* const lane15 = ws.carry[0][1];
    const std::size_t carried = 2 * period + 4 * static_cast<std::size_t>(LAG) + 8;
    float* const carry_rows[4] = {lane14, lane15, lane14 + period, lane15 + period};
    std::memset(ws.history, 0, sizeof(float) * HISTORY * PITCH);
    float state[32] = {};
    const std::ptrdiff_t inner_begin = 15 * LAG;
    const auto inner_end = static_cast<std::ptrdiff_t>(width);
    Seam seam;
    auto rows_of = [&](std::size_t band) {
        return band < bands ? std::min(BAND, height - band * BAND) : std::size_t{0};
    };
    for (std::size_t k = 0; k <= bands; ++k) {
        const BandLanes lanes{rows_of(k), k > 0 ? rows_of(k - 1) : 0, period_steps};
        // The last period only finishes the rows of the last band: lane 15
        // ends its row 15 * LAG - HELIX_GAP steps into it.
        const std::ptrdiff_t end = k < bands ? period_steps : 15 * LAG;
        const BandRows band{pixels, width, k * BAND, lanes.current, lanes.previous,
                            period_steps};
        const auto steps = (static_cast<std::size_t>(end) + 31) / 32 * 32;
        const bool seam_copy = lanes.current == BAND && lanes.previous == BAND &&
                               width >= SEAM_MIN_WIDTH;
        if (seam_copy) load_seam(loops, ws.lanes, seam, band);
        load_band(loops, ws.lanes, steps, band, seam_copy ? SEAM_STEPS : 0);
        p.trace_row0 = k * BAND;
        if (lanes.current == BAND) {
            const StepRunner ends = lanes.previous == BAND ? run.seam : run.edge;
            ends(p, ws.history, ws.lanes, carry_rows, 0, inner_begin, state, lanes);
            run.inner(p, ws.history, ws.lanes, carry_rows, inner_begin, inner_end, state, lanes);
            ends(p, ws.history, ws.lanes, carry_rows, inner_end, end, state, lanes);
        } else {
            run.edge(p, ws.history, ws.lanes, carry_rows, 0, end, state, lanes);
        }
        if (seam_copy) store_seam(loops, ws.lanes, seam, band);
        store_band(loops, ws.lanes, steps, band, seam_copy ? SEAM_STEPS : 0);
        std::memmove(lane14, lane14 + period, sizeof(float) * (carried - period));
        std::memmove(lane15, lane15 + period, sizeof(float) * (carried - period));
    }
}

}  // namespace

PassStatus levels_pass_wavefront(Isa isa, ImageView image, std::span<const std::size_t> diffused,
                                 const ColorSpace& space, const Levels& levels,
                                 const KernelRows& rows, float* trace) noexcept {
    std::uint8_t* const pixels = image.pixels;
    const std::size_t height = image.height;
    const std::size_t width = image.width;
    const std::size_t channels = image.channels;
    if (height == 0 || width == 0 || diffused.empty()) return PassStatus::ok;
    if (width > WAVEFRONT_MAX_WIDTH) return PassStatus::out_of_memory;
    if (trace != nullptr && diffused.size() != 1) trace = nullptr;
    // A helix needs the band's rows in one plane (the image's own, with a
    // single channel) and rows long enough for its period.
    const bool helix = channels == 1 && width >= HELIX_MIN_WIDTH;
    Workspace ws;
    if (!ws.allocate(width, channels, diffused.size(), helix)) return PassStatus::out_of_memory;

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
    const StepLoops loops = levels_wavefront_forms()[isa]();
    const Runners run = loops.runners(taps_of(p.w), q, trace != nullptr);
    if (helix) {
        helix_pass(loops, run, p, ws, pixels, height, width);
        return PassStatus::ok;
    }

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
                                      ? BandRows{ws.planes[i], width, 0, band_rows}
                                      : BandRows{pixels, width, y0, band_rows};
            auto& carry = ws.carry[i];
            load_band(loops, ws.lanes, ws.steps, band);
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
            const BandLanes lanes{band_rows, 0, 0};
            run.edge(p, ws.history, ws.lanes, carry_rows, 0, inner_begin, state, lanes);
            run.inner(p, ws.history, ws.lanes, carry_rows, inner_begin, inner_end, state,
                      lanes);
            run.edge(p, ws.history, ws.lanes, carry_rows, inner_end, end, state, lanes);
            store_band(loops, ws.lanes, ws.steps, band);
            std::swap(carry[0], carry[2]);
            std::swap(carry[1], carry[3]);
        }
        if (channels > 1) merge_channels(split_to.data(), band_rows * width, channels, band_pixels);
    }
    return PassStatus::ok;
}

unsigned wavefront_taps(const KernelRows& rows) noexcept {
    return taps_of(pull_weights(rows));
}

}  // namespace dithering
