// An exact nearest-colour search for larger palettes: a grid of cells over
// working values, each cell listing the only colours that can be nearest to
// a value inside it, built the first time a value lands there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/color/palette.hpp"

namespace dithering {

// Palettes up to this many colours are searched by scanning every colour,
// larger ones through a NearestGrid: every pass that searches a palette
// (error diffusion's, ordered and random dither's, the palette maker's)
// cuts here. Below it a scan is as fast as a grid's few candidates a cell
// and needs no building; on photos with their own 64-colour palettes the
// whole scan is as fast or faster, a photo's values wandering over many
// cells, each to be built.
inline constexpr std::size_t FULL_SCAN_MAX_COLORS = 64;

// Four candidate colours, one channel per row, with their palette indices:
// one cache line. Lanes past the real candidates hold +inf working values:
// their distance to any finite value is +inf, so they never win against a
// real colour.
struct alignas(64) CandidateQuad {
    float w0[4];
    float w1[4];
    float w2[4];
    std::uint32_t index[4];
};

// Gives, for any (c0, c1, c2), exactly Palette::nearest's index: the lowest
// index among the colours at the minimal distance
// d = ((c1 - w1)^2 + (c0 - w0)^2) + (c2 - w2)^2 (each step rounded on its
// own), NaN never winning and 0 when nothing is below +inf.
//
// Error diffusion does not clamp its values (unless bounded), so with a
// palette that does not enclose a picture's colours (a photo's own palette
// never holds its extremes) the values wander far outside 0..255, often for
// most of the pixels. The grid therefore has LEVELS nested cubes around
// 128, each 8 times wider than the one inside it, of 32 x 32 x 32 cells
// each: cells of width 16 over [-128, 384), of 128 over [-1920, 2176), and
// so on. A value is looked up in the smallest cube that holds it; values
// outside the largest (and NaN) take Palette::nearest's full scan. Values
// in 0..255 (the bounded pass's) only ever reach the innermost cube; the
// outer cubes' cells are built on first use, so they then cost nothing but
// the untouched, zero-filled pages of their table. A cell whose list
// would hold more than SPLIT_QUADS quads (where the palette crowds) is
// split into 4 x 4 x 4 cells, so that lists stay short wherever the
// colours are; a child still holding many more (a palette of thousands
// of a photo's own dark pixels) is split once more.
//
// Lists, splits and the cells' entries are built on first use and kept for
// the life of the grid, so one grid serves one call; it is not safe to
// share between threads. Its memory beyond the tables is bounded by
// MEMORY_LIMIT: past it cells split no further and new cells share their
// parent's list, which is slower but just as exact. The grid never fails a
// search.
class NearestGrid {
public:
    static constexpr unsigned LEVELS = 4;

    // The grid for `palette`, which must outlive it. Nullopt when memory for
    // the cell tables cannot be had. A child cell splits again when its
    // list holds more than `split_again_quads` quads: error diffusion,
    // whose values wander over many cells, each to be built, wants few
    // such splits; ordered and random dither, whose values stay near the
    // picture's colours, gain from more. Lists and splits take at most
    // `memory_limit` bytes beyond the tables.
    static std::optional<NearestGrid> create(const Palette& palette,
                                             std::size_t split_again_quads = 16,
                                             std::size_t memory_limit = MEMORY_LIMIT) noexcept;

    NearestGrid(NearestGrid&&) noexcept = default;
    NearestGrid& operator=(NearestGrid&&) noexcept = default;
    NearestGrid(const NearestGrid&) = delete;
    NearestGrid& operator=(const NearestGrid&) = delete;

    std::size_t nearest(float c0, float c1, float c2) noexcept;

    // ------------------------------------------------ for the vector passes
    //
    // A value's coordinates in cube L, at a sixteenth of its cell width:
    // per channel x_k = c_k * scale(L) + offset(L) in single precision (the
    // product is exact, a power of two; the sum rounded), valid when
    // 0 <= x_k < AXIS for all three, and n_k = trunc(x_k). The scalings by
    // powers of two commute with the rounding, so the cell of width w in
    // cube L holding the value has coordinates n_k / (w / unit(L)).
    static constexpr float AXIS = 512.0f;
    static constexpr float scale(unsigned level) noexcept {
        return 1.0f / static_cast<float>(1u << (3 * level));
    }
    static constexpr float offset(unsigned level) noexcept {
        return 256.0f - 128.0f * scale(level);
    }
    // The value at coordinate 0 and the width of one coordinate step.
    static constexpr float low(unsigned level) noexcept {
        return 128.0f - 256.0f * static_cast<float>(1u << (3 * level));
    }
    static constexpr float unit(unsigned level) noexcept {
        return static_cast<float>(1u << (3 * level));
    }

    // The top table's index of the cell holding coordinates n in cube
    // `level`: the cubes one after the other, each in bricks of 4 x 4 x 4
    // cells, so that the cells of nearby values share cache lines; the
    // brick (n_k >> 6) in the high bits, the cell inside it
    // ((n_k >> 4) & 3) in the low six.
    static std::uint32_t top_cell(unsigned level, std::uint32_t n0, std::uint32_t n1,
                                  std::uint32_t n2) noexcept {
        return ((level << 9 | (n0 >> 6) << 6 | (n1 >> 6) << 3 | n2 >> 6) << 6) |
               ((n0 >> 4) & 3) << 4 | ((n1 >> 4) & 3) << 2 | ((n2 >> 4) & 3);
    }
    // The slot of coordinates n in the block of a split cell at `depth`
    // (1: cells a quarter of the top width, 4 coordinates; 2: a
    // sixteenth, 1 coordinate).
    static std::uint32_t child_slot(unsigned depth, std::uint32_t n0, std::uint32_t n1,
                                    std::uint32_t n2) noexcept {
        const unsigned s = 4 - 2 * depth;
        return ((n0 >> s) & 3) << 4 | ((n1 >> s) & 3) << 2 | ((n2 >> s) & 3);
    }

    // An entry, by its two low bits: a list of quads (count 1..2047 in
    // bits 2..12, the first quad above them); a split cell (its block of
    // children starts at (entry >> 2) * BLOCK in children()); or, with
    // kind 0, a cell not built yet (entry 0) or one that takes the full
    // scan. A cell with one or two candidates gets a quad of its own like
    // any other: the pixel loops then scan one or two quads for almost
    // every value, a choice the processor predicts, where a third kind of
    // entry made them guess between two ways of scanning on every pixel.
    enum Kind : std::uint32_t { NONE = 0, LIST = 1, SPLIT = 2 };
    static Kind kind(std::uint32_t e) noexcept { return static_cast<Kind>(e & 3); }
    static std::uint32_t list_count(std::uint32_t e) noexcept { return (e >> 2) & 2047; }
    static std::uint32_t list_first(std::uint32_t e) noexcept { return e >> 13; }
    static std::uint32_t block_of(std::uint32_t e) noexcept { return e >> 2; }
    static constexpr std::size_t SPLIT_QUADS = 2;
    static constexpr unsigned MAX_DEPTH = 2;
    // A block: the 64 children, then the split cell's own list.
    static constexpr std::size_t BLOCK = 65;
    static constexpr std::size_t MEMORY_LIMIT = std::size_t{6} << 20;

    // The entry of the finest cell holding coordinates n in cube `level`:
    // a list, or kind NONE for the full scan; builds what is
    // missing.
    std::uint32_t list_for(unsigned level, std::uint32_t n0, std::uint32_t n1,
                           std::uint32_t n2) noexcept {
        const std::uint32_t cell = top_cell(level, n0, n1, n2);
        std::uint32_t e = table_[cell];
        if (kind(e) == NONE) e = build_top(cell);
        for (unsigned depth = 1; kind(e) == SPLIT; ++depth) {
            const std::size_t slot = block_of(e) * BLOCK + child_slot(depth, n0, n1, n2);
            e = children_[slot];
            if (e == 0) e = build_child(slot, level, depth, n0, n1, n2);
        }
        return e;
    }
    const std::uint32_t* table() const noexcept { return table_.get(); }
    const std::uint32_t* children() const noexcept { return children_.data(); }
    // The quads of every list. Room for all of them is reserved up front,
    // so they never move. Quad 0 belongs to no list and holds only +inf
    // lanes.
    const CandidateQuad* quads() const noexcept { return pool_.data(); }

    const Palette& palette() const noexcept { return *palette_; }

private:
    struct FreeTable {
        void operator()(std::uint32_t* p) const noexcept;
    };
    using Table = std::unique_ptr<std::uint32_t[], FreeTable>;

    struct alignas(16) Quad {
        float v[4];
    };
    struct Box {
        float lo[3];
        float hi[3];
    };

    NearestGrid() = default;
    // The box of the cell `steps` coordinates wide at coordinates n (a
    // multiple of `steps`) in cube `level`.
    static Box box_of(unsigned level, std::uint32_t steps, std::uint32_t n0, std::uint32_t n1,
                      std::uint32_t n2) noexcept;
    std::uint32_t build_top(std::uint32_t cell) noexcept;
    std::uint32_t build_coarse(std::uint32_t cell) noexcept;
    std::uint32_t build_child(std::size_t slot, unsigned level, unsigned depth, std::uint32_t n0,
                              std::uint32_t n1, std::uint32_t n2) noexcept;
    // The list of the colours of `parent` that can be nearest somewhere in
    // `box`, or `parent` itself when it cannot be narrowed or no room is
    // left.
    std::uint32_t filter(std::uint32_t parent, const Box& box) noexcept;
    // Drops from the first `kept` candidates in scratch_ those that another
    // candidate beats everywhere in `box`; returns how many remain.
    std::size_t drop_dominated(const CandidateQuad* source, std::size_t kept,
                               const Box& box) noexcept;
    // `list` as the entry of a cell at `depth`: split when long, room
    // allowing.
    std::uint32_t maybe_split(std::uint32_t list, unsigned depth) noexcept;

    const Palette* palette_ = nullptr;
    std::size_t split_again_quads_ = 0;
    Table coarse_;                         // cells four top cells wide: parents of top cells
    Table table_;                          // the top cells of every cube
    std::vector<std::uint32_t> children_;  // blocks of split cells
    std::vector<CandidateQuad> pool_;      // the +inf quad, then every list
    std::uint32_t root_ = 0;               // entry of the root list
    std::vector<std::uint32_t> scratch_;   // candidate lanes while a list is built
    std::vector<Quad> lows_;               // their lower bounds, quad by quad
    std::vector<double> reach_;            // their farthest distances from the box
    std::vector<double> wide_;             // their working values, in double precision
};

}  // namespace dithering
