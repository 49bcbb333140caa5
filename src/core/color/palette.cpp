// Palette construction: working colours, per-channel spread, scan layout.
#include "core/color/palette.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

namespace dithering {

std::optional<Palette> Palette::create(std::vector<std::uint8_t>&& colors,
                                       const ColorSpace& space) noexcept {
    try {
        Palette palette;
        const std::size_t m = colors.size() / 3;
        palette.working.resize(3 * m);
        for (std::size_t i = 0; i < 3 * m; ++i) {
            palette.working[i] = space.lut[colors[i]];
        }

        // Mean gap between the distinct values of each channel: the offset
        // scale that plays the part of a level step for ordered dither.
        std::vector<float> scratch(m);
        for (std::size_t k = 0; k < 3; ++k) {
            for (std::size_t j = 0; j < m; ++j) scratch[j] = palette.working[3 * j + k];
            std::sort(scratch.begin(), scratch.end());
            const auto end = std::unique(scratch.begin(), scratch.end());
            const auto distinct = static_cast<std::size_t>(end - scratch.begin());
            if (distinct > 1) {
                const float range = scratch[distinct - 1] - scratch[0];
                palette.spread[k] = range / static_cast<float>(distinct - 1);
            }
        }

        // Channel blocks padded to whole vector steps with NaN, whose
        // distance is NaN and never wins, so the scans need no tail loop.
        const std::size_t padded = (m + NEAREST_PAD - 1) / NEAREST_PAD * NEAREST_PAD;
        palette.padded_ = padded;
        palette.lanes_.assign(3 * padded, std::numeric_limits<float>::quiet_NaN());
        for (std::size_t j = 0; j < m; ++j) {
            for (std::size_t k = 0; k < 3; ++k) {
                palette.lanes_[k * padded + j] = palette.working[3 * j + k];
            }
        }
        palette.scan_ = nearest_scans().pick();
        palette.colors = std::move(colors);
        return palette;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::size_t Palette::nearest_on(Isa isa, float c0, float c1, float c2) const noexcept {
    return nearest_scans()[isa](lanes_view(), c0, c1, c2);
}

}  // namespace dithering
