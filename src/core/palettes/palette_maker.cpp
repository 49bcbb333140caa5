// The palette maker: survey, split, refine, then make every colour count.
#include "core/palettes/palette_maker.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <numeric>
#include <utility>

#include "core/color/color_space.hpp"
#include "core/color/nearest_grid.hpp"
#include "core/color/palette.hpp"
#include "core/palettes/color_points.hpp"
#include "core/palettes/variance_split.hpp"

namespace dithering {
namespace {

// Palette::nearest over the colours, through the grid where it pays.
class ColorSearch {
public:
    explicit ColorSearch(const std::vector<std::uint8_t>& colors)
        : palette_(std::make_unique<Palette>(take(colors))) {
        if (palette_->size() > FULL_SCAN_MAX_COLORS) {
            auto grid = NearestGrid::create(*palette_);
            if (!grid) throw std::bad_alloc();
            grid_.emplace(std::move(*grid));
        }
    }

    std::size_t nearest(const float* c) {
        return grid_ ? grid_->nearest(c[0], c[1], c[2]) : palette_->nearest(c[0], c[1], c[2]);
    }

    // The same distance the search ranks by.
    float distance(std::size_t j, const float* c) const noexcept {
        const float* w = &palette_->working[3 * j];
        const float d0 = c[0] - w[0], d1 = c[1] - w[1], d2 = c[2] - w[2];
        return (d1 * d1 + d0 * d0) + d2 * d2;
    }

private:
    static Palette take(const std::vector<std::uint8_t>& colors) {
        auto palette = Palette::create(std::vector<std::uint8_t>(colors), ColorSpace::create(false));
        if (!palette) throw std::bad_alloc();
        return std::move(*palette);
    }

    std::unique_ptr<Palette> palette_;
    std::optional<NearestGrid> grid_;
};

std::uint32_t key_of(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}

// Reorders `colors` by `weights`, heaviest first, ties by 0xRRGGBB.
void order_by_weight(std::vector<std::uint8_t>& colors, const std::vector<std::int64_t>& weights) {
    const std::size_t m = weights.size();
    std::vector<std::size_t> order(m);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // A total order (the index last), so any sort gives the same result.
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (weights[a] != weights[b]) return weights[a] > weights[b];
        const std::uint32_t key_a = key_of(&colors[3 * a]), key_b = key_of(&colors[3 * b]);
        return key_a != key_b ? key_a < key_b : a < b;
    });
    std::vector<std::uint8_t> sorted(3 * m);
    for (std::size_t i = 0; i < m; ++i) {
        std::copy_n(&colors[3 * order[i]], 3, &sorted[3 * i]);
    }
    colors = std::move(sorted);
}

// Lloyd's step: each colour to the mean of the points nearest to it (a
// colour no point is nearest to stays). Returns whether any colour moved,
// and leaves each colour's weight in `weights`.
bool lloyd_step(const ColorPoints& points, std::vector<std::uint8_t>& colors,
                std::vector<std::int64_t>& weights) {
    const std::size_t m = colors.size() / 3;
    ColorSearch search(colors);
    std::vector<Moments> groups(m);
    for (std::size_t i = 0; i < points.size(); ++i) {
        groups[search.nearest(&points.values[3 * i])] += points.moments[i];
    }
    bool moved = false;
    weights.assign(m, 0);
    for (std::size_t j = 0; j < m; ++j) {
        weights[j] = groups[j].weight;
        if (groups[j].weight == 0) continue;
        std::uint8_t mean[3];
        groups[j].mean(mean);
        moved |= !std::equal(mean, mean + 3, &colors[3 * j]);
        std::copy_n(mean, 3, &colors[3 * j]);
    }
    return moved;
}

// Makes every colour nearest to some representative pixel, and fills the
// palette up to `n` colours while there are pixels no colour equals. A
// colour set to a representative is nearest to it (at distance 0, the
// colours being distinct), so each round keeps every colour it set and
// the rounds end.
void make_every_color_count(const ColorPoints& points, std::vector<std::uint8_t>& colors,
                            std::size_t n) {
    const std::size_t count = points.size();
    std::vector<float> reps(3 * count);
    for (std::size_t i = 0; i < 3 * count; ++i) reps[i] = points.representatives[i];
    for (std::size_t round = 0; round <= n; ++round) {
        const std::size_t m = colors.size() / 3;
        std::vector<bool> used(m, false);
        // (weighted distance, point) of the pixels no colour equals.
        std::vector<std::pair<double, std::size_t>> strays;
        ColorSearch search(colors);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t j = search.nearest(&reps[3 * i]);
            used[j] = true;
            const float d = search.distance(j, &reps[3 * i]);
            if (d > 0.0f) {
                strays.emplace_back(
                    static_cast<double>(d) * static_cast<double>(points.moments[i].weight), i);
            }
        }
        std::vector<std::size_t> slots;
        for (std::size_t j = 0; j < m; ++j) {
            if (!used[j]) slots.push_back(j);
        }
        for (std::size_t j = m; j < n; ++j) slots.push_back(j);
        if (slots.empty() || strays.empty()) return;
        const std::size_t take = std::min(slots.size(), strays.size());
        std::partial_sort(strays.begin(), strays.begin() + static_cast<std::ptrdiff_t>(take),
                          strays.end(), [](const auto& a, const auto& b) {
                              return a.first != b.first ? a.first > b.first : a.second < b.second;
                          });
        colors.resize(3 * std::max(m, slots[take - 1] + 1));
        for (std::size_t t = 0; t < take; ++t) {
            std::copy_n(&points.representatives[3 * strays[t].second], 3, &colors[3 * slots[t]]);
        }
    }
}

}  // namespace

std::optional<std::vector<std::uint8_t>> make_palette(const ColorSample& sample, std::size_t n,
                                                      unsigned refine_steps) noexcept {
    try {
        auto survey = survey_colors(sample);
        if (!survey) return std::nullopt;
        ColorPoints& points = survey->points;
        if (points.size() == 0) return std::vector<std::uint8_t>{};

        std::vector<std::int64_t> weights(points.size());
        if (points.exact && points.size() <= n) {
            for (std::size_t i = 0; i < points.size(); ++i) weights[i] = points.moments[i].weight;
            std::vector<std::uint8_t> colors = points.representatives;
            order_by_weight(colors, weights);
            return colors;
        }

        survey->cube.accumulate();
        std::vector<std::uint8_t> colors = variance_split(survey->cube, n);
        if (colors.size() / 3 >= 2) {
            for (unsigned step = 0; step < refine_steps; ++step) {
                if (!lloyd_step(points, colors, weights)) break;
            }
            if (refine_steps > 0) order_by_weight(colors, weights);
        }
        make_every_color_count(points, colors, n);
        return colors;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace dithering
