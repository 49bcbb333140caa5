// ThresholdMatrix: the tile of thresholds that ordered dither repeats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dithering {

// Row-major `rows` x `cols` thresholds, each in [0, 1). A threshold t shifts
// a pixel's value by (t - 0.5) quantization steps before rounding: near 0
// towards the lower output, near 1 towards the upper one.
struct ThresholdMatrix {
    std::vector<float> thresholds;
    std::size_t rows = 0;
    std::size_t cols = 0;

    // The n x n Bayer matrix (n a power of two): (index + 0.5) / n^2.
    static ThresholdMatrix bayer(std::size_t n);

    // Bayer-style indices: (index + 0.5) / max(rows * cols, largest + 1), so
    // repeated or gapped indices still stay below 1. Fails (nothing, with
    // `error` set) on a negative index or one of 2^24 or more.
    static std::optional<ThresholdMatrix> from_indices(std::size_t rows, std::size_t cols,
                                                       std::span<const std::int64_t> values,
                                                       std::string& error);

    // Thresholds given directly, each in [0, 1] (NaN fails); stored in
    // single precision and capped at 0.9999999f so that 1 stays below 1.
    static std::optional<ThresholdMatrix> from_thresholds(std::size_t rows, std::size_t cols,
                                                          std::span<const double> values,
                                                          std::string& error);

    // The tile repeats in both directions: x along a row, y down the image.
    float threshold_at(std::size_t x, std::size_t y) const {
        return thresholds[(y % rows) * cols + (x % cols)];
    }
};

}  // namespace dithering
