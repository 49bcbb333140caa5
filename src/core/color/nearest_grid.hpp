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
// Values with every channel in [LOW, HIGH) are looked up in the grid;
// anything else (NaN, infinities, error that ran far off) takes the full
// scan of Palette::nearest. Cell lists are built on first use and kept for
// the life of the grid, so one grid serves one pass; it is not safe to
// share between threads. The grid never fails a search: should memory run
// out while a list is built, that cell falls back to the full scan.
class NearestGrid {
public:
    static constexpr float LOW = -128.0f;
    static constexpr float HIGH = 384.0f;

    // The grid for `palette`, which must outlive it. Nullopt when memory for
    // the cell tables cannot be had.
    static std::optional<NearestGrid> create(const Palette& palette) noexcept;

    NearestGrid(NearestGrid&&) noexcept = default;
    NearestGrid& operator=(NearestGrid&&) noexcept = default;
    NearestGrid(const NearestGrid&) = delete;
    NearestGrid& operator=(const NearestGrid&) = delete;

    std::size_t nearest(float c0, float c1, float c2) noexcept;

    // ------------------------------------------------ for the vector passes
    //
    // The finest level: a value's cell has coordinates
    // n_k = trunc(c_k * inv_width + offset) per channel, valid when
    // 0 <= c_k * inv_width + offset < cells (computed in single precision,
    // product rounded, then sum rounded), and index cell_of(shift, n).
    struct Geometry {
        float width;
        float inv_width;
        float offset;  // cells below 0
        float cells;   // per axis, 1 << shift
        unsigned shift;
    };

    // Tables hold cells in bricks of 4 x 4 x 4, so that the cells of nearby
    // values share cache lines: the brick coordinates n_k >> 2 in the high
    // bits, the coordinates inside it, n_k & 3, in the low six.
    static std::uint32_t cell_of(unsigned shift, std::uint32_t n0, std::uint32_t n1,
                                 std::uint32_t n2) noexcept {
        const unsigned b = shift - 2;
        return ((n0 >> 2) << (2 * b) | (n1 >> 2) << b | n2 >> 2) << 6 | (n0 & 3) << 4 |
               (n1 & 3) << 2 | (n2 & 3);
    }
    static void coords_of(unsigned shift, std::uint32_t cell, std::uint32_t (&n)[3]) noexcept {
        const unsigned b = shift - 2;
        const std::uint32_t brick = cell >> 6;
        const std::uint32_t mask = (1u << b) - 1;
        n[0] = (brick >> (2 * b)) << 2 | ((cell >> 4) & 3);
        n[1] = ((brick >> b) & mask) << 2 | ((cell >> 2) & 3);
        n[2] = (brick & mask) << 2 | (cell & 3);
    }

    const Geometry& finest() const noexcept { return levels_.back().geometry; }

    // A cell's entry: (first quad << COUNT_BITS) | quad count, with a count
    // of 0 meaning "use the full scan". Builds the list if needed.
    static constexpr unsigned COUNT_BITS = 11;  // lists up to 2047 quads: any palette
    static constexpr std::uint32_t COUNT_MASK = (1u << COUNT_BITS) - 1;
    std::uint32_t entry(std::uint32_t cell) noexcept {
        const std::uint32_t e = levels_.back().table[cell];
        return (e & COUNT_MASK) != 0 ? e : build(levels_.size() - 1, cell);
    }
    // The finest level's table, for a quick look before calling entry().
    const std::uint32_t* table() const noexcept { return levels_.back().table.get(); }
    // The quads of every list. They move when a list is added: fetch them
    // again after entry() builds. Quad 0 belongs to no list and holds only
    // +inf lanes.
    const CandidateQuad* quads() const noexcept { return pool_.data(); }

    const Palette& palette() const noexcept { return *palette_; }

private:
    struct FreeTable {
        void operator()(std::uint32_t* p) const noexcept;
    };
    struct Level {
        Geometry geometry;
        // 0: not built yet; otherwise an entry as described at entry().
        std::unique_ptr<std::uint32_t[], FreeTable> table;
    };

    struct alignas(16) Quad {
        float v[4];
    };

    NearestGrid() = default;
    std::uint32_t build(std::size_t level, std::uint32_t cell) noexcept;

    const Palette* palette_ = nullptr;
    std::vector<Level> levels_;          // coarsest first
    std::vector<CandidateQuad> pool_;    // the +inf quad, then every list
    std::uint32_t root_ = 0;             // entry of the root list
    std::vector<std::uint32_t> scratch_; // candidate lanes while a list is built
    std::vector<Quad> lows_;             // their lower bounds, quad by quad
};

}  // namespace dithering
