// What every form of the error-diffusion pass shares: its status, the rows
// the errors are carried in, and the weights of one scan direction where
// the fast forms apply them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/diffusion/kernels.hpp"

namespace dithering {

enum class PassStatus {
    ok,
    // The error rows could not be allocated (or their size overflows
    // size_t). The pixels may be partly written; the caller reports it.
    out_of_memory,
};

// Cells of an error row beyond the image: two left of column 0, six right
// of the last, so that a whole weight window fits at every column.
inline constexpr std::size_t MARGIN_CELLS = 8;

// Three rows of (width + 8) cells of `floats_per_cell` floats, zero-filled,
// freed on scope exit; the cell of column x is x + 2. Not ok() when the
// size overflows or memory runs out.
class ErrorRows {
public:
    ErrorRows(std::size_t width, std::size_t floats_per_cell, std::size_t extra_floats) noexcept {
        constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() / sizeof(float);
        if (width > limit / (3 * floats_per_cell) - MARGIN_CELLS) return;
        stride_ = (width + MARGIN_CELLS) * floats_per_cell;
        if (extra_floats > limit - 3 * stride_) return;
        memory_ = static_cast<float*>(std::calloc(3 * stride_ + extra_floats, sizeof(float)));
        if (memory_ == nullptr) return;
        rows_[0] = memory_;
        rows_[1] = memory_ + stride_;
        rows_[2] = memory_ + 2 * stride_;
    }
    ~ErrorRows() { std::free(memory_); }
    ErrorRows(const ErrorRows&) = delete;
    ErrorRows& operator=(const ErrorRows&) = delete;

    bool ok() const noexcept { return memory_ != nullptr; }
    float* cur() const noexcept { return rows_[0]; }
    float* next() const noexcept { return rows_[1]; }
    float* next2() const noexcept { return rows_[2]; }
    // Floats after the three rows, for the caller's own use.
    float* extra() const noexcept { return memory_ + 3 * stride_; }

    // Row end: the finished row is cleared and becomes the row two below.
    void rotate() noexcept {
        float* done = rows_[0];
        std::memset(done, 0, stride_ * sizeof(float));
        rows_[0] = rows_[1];
        rows_[1] = rows_[2];
        rows_[2] = done;
    }

private:
    float* memory_ = nullptr;
    float* rows_[3] = {nullptr, nullptr, nullptr};
    std::size_t stride_ = 0;
};

// Serpentine scans run the odd rows right to left.
inline bool reversed_row(bool serpentine, std::size_t y) {
    return serpentine && (y & 1) != 0;
}

// ----------------------------------------------------------------- fast forms
//
// The fast forms add only the weights a kernel can have: row 0 at dx = 1, 2
// and rows 1, 2 at dx = -2..2. The plain form also adds the other window
// cells, but their weight is 0 and cell + 0 * e leaves the cell's value
// unchanged for any finite e (at most the sign of a zero changes, and a
// zero cell added to lut[b] >= 0 gives the same v either way). The errors
// stay finite when every weight is finite and non-negative and the weights
// add up to at most 1, which is what kernel_rows makes for a strength in
// 0..1; fast_forms_apply says whether `rows` is such a set, and anything
// else takes the plain form.
//
// What must be kept is the order in which each cell receives its
// contributions, because float addition is not associative: a cell of row
// y gets the pixels of row y - 2, then those of row y - 1, then the earlier
// pixels of row y, each row in its scan order, every one as
// `cell = cell + w * e` with the product rounded first.
bool fast_forms_apply(const KernelRows& rows);

// The weights of one scan direction, by where they land.
struct DirectionWeights {
    float ahead1;  // tap (1, 0): the next pixel along the scan
    float ahead2;  // tap (2, 0)
    // below[r][q] is the weight a cell of row y + 1 + r takes from the
    // q-th pixel of this row to reach it, i.e. tap dx = 2 - q.
    float below[2][5];
    bool row_used[2];
    // False at strength 0: the plain form then adds nothing anywhere (not
    // even 0 * e, which matters should e be NaN), and neither do the scans.
    bool spread;
};

// The weights of rows scanned left to right (`reverse` false) or right to
// left.
DirectionWeights direction_weights(const KernelRows& rows, bool reverse);

}  // namespace dithering
