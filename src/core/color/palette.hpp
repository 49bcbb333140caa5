// A fixed list of RGB colours as a quantization target, and the search for
// the colour nearest to a working RGB triple.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/color/color_space.hpp"
#include "core/color/nearest_scan.hpp"

namespace dithering {

// m colours (2..4096), in the caller's order, duplicates kept. The public
// fields are read-only once built: the scan layout below is derived from
// `working` at construction.
class Palette {
public:
    std::vector<std::uint8_t> colors;  // m x 3 bytes (R, G, B): what gets written
    std::vector<float> working;        // m x 3 floats: lut of each byte of `colors`
    // Per channel, the mean gap between the distinct working values the
    // palette has in that channel; 0 when it has only one. It scales the
    // threshold offsets of ordered and random dither per channel.
    std::array<float, 3> spread{};

    // Takes `colors` (3 bytes per colour, size a multiple of 3, 2..4096
    // colours) by move and derives `working`, `spread` and the scan layout
    // through `space`. Returns nullopt only when memory runs out.
    static std::optional<Palette> create(std::vector<std::uint8_t>&& colors,
                                         const ColorSpace& space) noexcept;

    std::size_t size() const noexcept { return working.size() / 3; }

    // Index of the colour nearest to (c0, c1, c2): with (w0, w1, w2) the
    // working colour, d = ((c1 - w1)^2 + (c0 - w0)^2) + (c2 - w2)^2, each
    // step rounded on its own; the lowest index among the minimal
    // distances wins, a NaN distance never wins, and when no distance is
    // below +infinity the answer is 0. Scans every colour, picking the
    // fastest scan this processor runs; every scan returns the same index
    // as the plain sequential one (see nearest_scan.hpp).
    std::size_t nearest(float c0, float c1, float c2) const noexcept {
        return scan_(lanes_view(), c0, c1, c2);
    }

    // The same search on the scan for `isa` (nearest_scans()), for tests
    // and benchmarks. The caller checks nearest_scans().runs(isa) first.
    std::size_t nearest_on(Isa isa, float c0, float c1, float c2) const noexcept;

private:
    Palette() = default;
    ScanLanes lanes_view() const noexcept {
        return {lanes_.data(), lanes_.data() + padded_, lanes_.data() + 2 * padded_, padded_};
    }

    // Structure-of-arrays copy of `working`: three channel blocks of
    // padded_ floats each, padded with NaN so that padding lanes never win.
    std::vector<float> lanes_;
    std::size_t padded_ = 0;
    NearestScan scan_ = nullptr;
};

}  // namespace dithering
