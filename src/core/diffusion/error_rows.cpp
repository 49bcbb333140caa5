// When the fast forms apply, and the weights of a scan direction.
#include "core/diffusion/error_rows.hpp"

#include <cmath>

namespace dithering {

bool fast_forms_apply(const KernelRows& rows) {
    // Every kernel has row-0 taps: an unused row 0 means strength 0, where
    // nothing is spread at all (see DirectionWeights::spread).
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

}  // namespace dithering
