// A 3-D colour histogram that keeps, per cell, the moments a box of cells
// needs for its mean and its squared error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dithering {

// Weighted sums over some pixels: the weight, the weighted sum of each
// channel and of the squared length of the colour. Integers, so that any
// order of adding gives the same sums on every machine; they hold any
// picture of up to 10^11 pixels of weight 255.
struct Moments {
    std::int64_t weight = 0;
    std::int64_t r = 0, g = 0, b = 0;
    std::int64_t squares = 0;

    Moments& operator+=(const Moments& o) noexcept {
        weight += o.weight, r += o.r, g += o.g, b += o.b, squares += o.squares;
        return *this;
    }
    Moments& operator-=(const Moments& o) noexcept {
        weight -= o.weight, r -= o.r, g -= o.g, b -= o.b, squares -= o.squares;
        return *this;
    }
    friend Moments operator+(Moments left, const Moments& right) noexcept { return left += right; }
    friend Moments operator-(Moments left, const Moments& right) noexcept { return left -= right; }

    void add(const std::uint8_t* rgb, std::uint32_t w) noexcept {
        const std::int64_t r0 = rgb[0], g0 = rgb[1], b0 = rgb[2];
        weight += w, r += w * r0, g += w * g0, b += w * b0;
        squares += w * (r0 * r0 + g0 * g0 + b0 * b0);
    }

    // The summed squared distance of the pixels to their weighted mean.
    double squared_error() const noexcept;
    // sum^2 / weight over the channels: the part of -squared_error that
    // depends on how the pixels are grouped.
    double spread_term() const noexcept;
    // The weighted mean, each channel rounded half up to a byte.
    void mean(std::uint8_t* rgb) const noexcept;
};

// A box of cells: (lo, hi] along each channel, in cell coordinates 0..SIDE.
struct CellBox {
    unsigned lo[3] = {0, 0, 0};
    unsigned hi[3] = {0, 0, 0};
    std::size_t cells() const noexcept {
        return std::size_t{hi[0] - lo[0]} * (hi[1] - lo[1]) * (hi[2] - lo[2]);
    }
};

// BITS bits of each channel select a cell. Built as a plain histogram
// (add), then turned once into cumulative sums (accumulate), after which
// sum() gives any box's moments from eight cells.
class MomentCube {
public:
    static constexpr unsigned BITS = 6;
    static constexpr unsigned SIDE = 1u << BITS;
    static constexpr unsigned EDGE = SIDE + 1;  // a zero plane below each axis

    // Throws std::bad_alloc when the cells cannot be had.
    MomentCube() : cells_(std::size_t{EDGE} * EDGE * EDGE) {}

    static std::size_t cell_of(const std::uint8_t* rgb) noexcept {
        constexpr unsigned shift = 8 - BITS;
        return index(static_cast<unsigned>(rgb[0] >> shift) + 1,
                     static_cast<unsigned>(rgb[1] >> shift) + 1,
                     static_cast<unsigned>(rgb[2] >> shift) + 1);
    }
    static std::size_t index(unsigned r, unsigned g, unsigned b) noexcept {
        return (std::size_t{r} * EDGE + g) * EDGE + b;
    }

    Moments& cell(std::size_t i) noexcept { return cells_[i]; }
    const Moments& cell(std::size_t i) const noexcept { return cells_[i]; }
    std::size_t size() const noexcept { return cells_.size(); }

    void accumulate() noexcept;
    // After accumulate(): the moments of every pixel in `box`.
    Moments sum(const CellBox& box) const noexcept;

private:
    std::vector<Moments> cells_;
};

}  // namespace dithering
