// Variance-minimising splits of a moment cube.
#include "core/palettes/variance_split.hpp"

namespace dithering {
namespace {

struct Cut {
    bool found = false;
    unsigned axis = 0;
    unsigned position = 0;
    double score = 0.0;
};

// The best cut of `box` along `axis`: the position p (lo < p < hi) that
// puts cells up to p in one half and the rest in the other, with the
// largest summed spread terms, which is the least summed squared error.
// Cuts that leave a half without weight are not cuts.
Cut best_cut_along(const MomentCube& cube, const CellBox& box, const Moments& whole,
                   unsigned axis) {
    Cut best;
    best.axis = axis;
    CellBox lower = box;
    for (unsigned p = box.lo[axis] + 1; p < box.hi[axis]; ++p) {
        lower.hi[axis] = p;
        const Moments low = cube.sum(lower);
        if (low.weight == 0) continue;
        const Moments high = whole - low;
        if (high.weight == 0) break;  // only less weight above from here on
        const double score = low.spread_term() + high.spread_term();
        if (!best.found || score > best.score) {
            best.found = true;
            best.position = p;
            best.score = score;
        }
    }
    return best;
}

}  // namespace

std::vector<std::uint8_t> variance_split(const MomentCube& cube, std::size_t n) {
    std::vector<CellBox> boxes;
    std::vector<Moments> sums;
    std::vector<double> errors;  // squared error of each box, 0 once it cannot be cut
    boxes.reserve(n), sums.reserve(n), errors.reserve(n);

    CellBox all;
    for (unsigned k = 0; k < 3; ++k) all.hi[k] = MomentCube::SIDE;
    boxes.push_back(all);
    sums.push_back(cube.sum(all));
    errors.push_back(sums[0].squared_error());

    while (boxes.size() < n) {
        // The box with the largest squared error that can still be cut.
        std::size_t next = 0;
        for (std::size_t i = 1; i < boxes.size(); ++i) {
            if (errors[i] > errors[next]) next = i;
        }
        if (!(errors[next] > 0.0)) break;

        Cut cut;
        for (unsigned axis = 0; axis < 3; ++axis) {
            const Cut along = best_cut_along(cube, boxes[next], sums[next], axis);
            if (along.found && (!cut.found || along.score > cut.score)) cut = along;
        }
        if (!cut.found) {
            // All of the box's weight sits in one cell: its error is within
            // the cell, beyond what the histogram can cut.
            errors[next] = 0.0;
            continue;
        }
        CellBox upper = boxes[next];
        boxes[next].hi[cut.axis] = cut.position;
        upper.lo[cut.axis] = cut.position;
        sums[next] = cube.sum(boxes[next]);
        boxes.push_back(upper);
        sums.push_back(cube.sum(upper));
        errors[next] = sums[next].squared_error();
        errors.push_back(sums.back().squared_error());
    }

    std::vector<std::uint8_t> colors(3 * boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) sums[i].mean(&colors[3 * i]);
    return colors;
}

}  // namespace dithering
