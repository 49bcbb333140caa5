// Moments of boxes of cells: inclusion and exclusion over cumulative sums.
#include "core/palettes/moment_cube.hpp"

namespace dithering {

double Moments::spread_term() const noexcept {
    const double dr = static_cast<double>(r);
    const double dg = static_cast<double>(g);
    const double db = static_cast<double>(b);
    return (dr * dr + dg * dg + db * db) / static_cast<double>(weight);
}

double Moments::squared_error() const noexcept {
    if (weight == 0) return 0.0;
    return static_cast<double>(squares) - spread_term();
}

void Moments::mean(std::uint8_t* rgb) const noexcept {
    const std::int64_t sums[3] = {r, g, b};
    for (int k = 0; k < 3; ++k) {
        // floor((2 s + w) / 2w): the mean rounded half up, in integers.
        rgb[k] = static_cast<std::uint8_t>((2 * sums[k] + weight) / (2 * weight));
    }
}

void MomentCube::accumulate() noexcept {
    // A running sum along each axis in turn leaves in every cell the sum
    // of all cells at or below it on all three axes.
    for (unsigned r = 1; r < EDGE; ++r)
        for (unsigned g = 1; g < EDGE; ++g)
            for (unsigned b = 2; b < EDGE; ++b) cells_[index(r, g, b)] += cells_[index(r, g, b - 1)];
    for (unsigned r = 1; r < EDGE; ++r)
        for (unsigned g = 2; g < EDGE; ++g)
            for (unsigned b = 1; b < EDGE; ++b) cells_[index(r, g, b)] += cells_[index(r, g - 1, b)];
    for (unsigned r = 2; r < EDGE; ++r)
        for (unsigned g = 1; g < EDGE; ++g)
            for (unsigned b = 1; b < EDGE; ++b) cells_[index(r, g, b)] += cells_[index(r - 1, g, b)];
}

Moments MomentCube::sum(const CellBox& box) const noexcept {
    const unsigned* lo = box.lo;
    const unsigned* hi = box.hi;
    Moments s = cells_[index(hi[0], hi[1], hi[2])];
    s -= cells_[index(hi[0], hi[1], lo[2])];
    s -= cells_[index(hi[0], lo[1], hi[2])];
    s += cells_[index(hi[0], lo[1], lo[2])];
    s -= cells_[index(lo[0], hi[1], hi[2])];
    s += cells_[index(lo[0], hi[1], lo[2])];
    s += cells_[index(lo[0], lo[1], hi[2])];
    s -= cells_[index(lo[0], lo[1], lo[2])];
    return s;
}

}  // namespace dithering
