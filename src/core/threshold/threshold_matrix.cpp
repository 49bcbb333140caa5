// ThresholdMatrix: the tile of thresholds that ordered dither repeats.
#include "core/threshold/threshold_matrix.hpp"

#include <algorithm>

namespace dithering {

ThresholdMatrix ThresholdMatrix::bayer(std::size_t n) {
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < n) ++bits;
    ThresholdMatrix matrix;
    matrix.rows = matrix.cols = n;
    matrix.thresholds.resize(n * n);
    const auto cells = static_cast<float>(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            // Interleave the bits of i ^ j and i, lowest level first: the
            // closed form of the recursive [[4M, 4M+2], [4M+3, 4M+1]] tiling.
            const std::size_t e = i ^ j;
            std::size_t index = 0;
            for (std::size_t t = 0; t < bits; ++t) {
                index = index * 4 + 2 * ((e >> t) & 1) + ((i >> t) & 1);
            }
            matrix.thresholds[i * n + j] = (static_cast<float>(index) + 0.5f) / cells;
        }
    }
    return matrix;
}

std::optional<ThresholdMatrix> ThresholdMatrix::from_indices(std::size_t rows, std::size_t cols,
                                                             std::span<const std::int64_t> values,
                                                             std::string& error) {
    const auto [smallest, largest] = std::minmax_element(values.begin(), values.end());
    if (*smallest < 0) {
        error = "integer matrix values must be >= 0, got " + std::to_string(*smallest) +
                " (note: unsigned 64-bit values above 2^63 overflow to negative)";
        return std::nullopt;
    }
    if (*largest >= (std::int64_t{1} << 24)) {
        error = "integer matrix values must be below 2^24, got " + std::to_string(*largest);
        return std::nullopt;
    }
    const auto cells = static_cast<std::int64_t>(rows * cols);
    const auto denominator = static_cast<float>(std::max(cells, *largest + 1));
    ThresholdMatrix matrix;
    matrix.rows = rows;
    matrix.cols = cols;
    matrix.thresholds.reserve(values.size());
    for (std::int64_t value : values) {
        matrix.thresholds.push_back((static_cast<float>(value) + 0.5f) / denominator);
    }
    return matrix;
}

std::optional<ThresholdMatrix> ThresholdMatrix::from_thresholds(std::size_t rows, std::size_t cols,
                                                                std::span<const double> values,
                                                                std::string& error) {
    // The largest stored threshold: 0.99999988, deliberately not the float
    // just below 1, so that a threshold of 1 keeps a margin below it.
    constexpr float cap = 0.9999999f;
    ThresholdMatrix matrix;
    matrix.rows = rows;
    matrix.cols = cols;
    matrix.thresholds.reserve(values.size());
    for (double value : values) {
        if (!(value >= 0.0 && value <= 1.0)) {
            error = "float matrix thresholds must be in [0, 1]";
            return std::nullopt;
        }
        matrix.thresholds.push_back(std::min(static_cast<float>(value), cap));
    }
    return matrix;
}

}  // namespace dithering
