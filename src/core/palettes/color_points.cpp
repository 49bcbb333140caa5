// The survey: histogram, distinct colours and the points made of them.
#include "core/palettes/color_points.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

namespace dithering {
namespace {

std::uint32_t key_of(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}

void set_point(ColorPoints& points, std::size_t i, const Moments& m, const std::uint8_t* rep) {
    const double w = static_cast<double>(m.weight);
    points.values[3 * i + 0] = static_cast<float>(static_cast<double>(m.r) / w);
    points.values[3 * i + 1] = static_cast<float>(static_cast<double>(m.g) / w);
    points.values[3 * i + 2] = static_cast<float>(static_cast<double>(m.b) / w);
    points.moments[i] = m;
    for (std::size_t k = 0; k < 3; ++k) points.representatives[3 * i + k] = rep[k];
}

void resize_points(ColorPoints& points, std::size_t n) {
    points.values.resize(3 * n);
    points.moments.resize(n);
    points.representatives.resize(3 * n);
}

}  // namespace

std::optional<ColorSurvey> survey_colors(const ColorSample& given) noexcept {
    try {
        ColorSample sample = given;
        if (sample.weights) {
            bool any = false;
            for (std::size_t i = 0; i < sample.count && !any; ++i) any = sample.weights[i] != 0;
            if (!any) sample.weights = nullptr;
        }

        ColorSurvey survey;
        // One bit per 24-bit colour (2 MiB), and the first pixel of each
        // cell as its representative.
        constexpr std::size_t words = (std::size_t{1} << 24) / 64;
        std::vector<std::uint64_t> seen(words, 0);
        constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
        std::vector<std::size_t> first_in_cell(survey.cube.size(), none);
        for (std::size_t i = 0; i < sample.count; ++i) {
            const std::uint32_t w = sample.weight(i);
            if (w == 0) continue;
            const std::uint8_t* p = sample.pixel(i);
            const std::size_t cell = MomentCube::cell_of(p);
            survey.cube.cell(cell).add(p, w);
            if (first_in_cell[cell] == none) first_in_cell[cell] = i;
            const std::uint32_t key = key_of(p);
            seen[key >> 6] |= std::uint64_t{1} << (key & 63);
        }

        // Ranks of the distinct colours: the count of set bits before each
        // word, so a colour's point is found without a hash.
        std::vector<std::uint32_t> rank_before(words);
        std::size_t distinct = 0;
        for (std::size_t k = 0; k < words; ++k) {
            rank_before[k] = static_cast<std::uint32_t>(std::min(distinct, EXACT_POINT_LIMIT + 1));
            distinct += static_cast<std::size_t>(std::popcount(seen[k]));
        }
        survey.distinct = std::min(distinct, EXACT_POINT_LIMIT + 1);

        ColorPoints& points = survey.points;
        if (distinct <= EXACT_POINT_LIMIT) {
            points.exact = true;
            resize_points(points, distinct);
            for (std::size_t i = 0; i < sample.count; ++i) {
                const std::uint32_t w = sample.weight(i);
                if (w == 0) continue;
                const std::uint8_t* p = sample.pixel(i);
                const std::uint32_t key = key_of(p);
                const std::uint64_t below = seen[key >> 6] & ((std::uint64_t{1} << (key & 63)) - 1);
                const std::size_t at =
                    rank_before[key >> 6] + static_cast<std::size_t>(std::popcount(below));
                points.moments[at].add(p, w);
            }
            for (std::size_t at = 0; at < distinct; ++at) {
                const Moments m = points.moments[at];
                std::uint8_t rgb[3];
                m.mean(rgb);  // every pixel of the point has this colour
                set_point(points, at, m, rgb);
            }
        } else {
            std::size_t filled = 0;
            for (std::size_t c = 0; c < survey.cube.size(); ++c) filled += survey.cube.cell(c).weight > 0;
            resize_points(points, filled);
            std::size_t at = 0;
            for (std::size_t c = 0; c < survey.cube.size(); ++c) {
                const Moments& m = survey.cube.cell(c);
                if (m.weight == 0) continue;
                set_point(points, at++, m, sample.pixel(first_in_cell[c]));
            }
        }
        return survey;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace dithering
