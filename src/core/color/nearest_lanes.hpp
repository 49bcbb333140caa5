// What the vector nearest-colour scans share: the merge of two sets of lane
// results, written once over the 4- and 8-lane vector types, and the fold
// of four lanes into one.
//
// At internal linkage, like the 8-lane type: a file that merges 8-lane
// results includes this inside its AVX2 region, after simd/vec8_avx2.hpp,
// so that the operations inline into it, and its copy never stands in for
// another file's.
#pragma once

#include <cstddef>
#include <limits>

#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

namespace dithering {
namespace {

// Lane indices are carried as floats: exact up to 2^24, far beyond the
// 4096 colours a palette may hold, and it lets every selection and the
// final reduction use float operations.

// Merges two sets of lane results into the first, lane by lane: the
// smaller distance wins, and on equal distances the lower index. Lane
// distances are never NaN here, so the comparisons are plain.
template <typename V>
DITHERING_ALWAYS_INLINE void keep_first_min(V& best, V& index, V other_best, V other_index) {
    const auto take =
        less(other_best, best) | (equal(other_best, best) & less(other_index, index));
    best = select(take, other_best, best);
    index = select(take, other_index, index);
}

// Folds the lanes of (best, index) into lane 0 and returns its index, or 0
// when even the smallest distance is +inf.
DITHERING_ALWAYS_INLINE std::size_t fold_lanes(simd::F32x4 best, simd::F32x4 index) {
    keep_first_min(best, index, simd::swap_halves(best), simd::swap_halves(index));
    keep_first_min(best, index, simd::swap_neighbours(best), simd::swap_neighbours(index));
    if (!(simd::first(best) < std::numeric_limits<float>::infinity())) return 0;
    return static_cast<std::size_t>(simd::first(index));
}

}  // namespace
}  // namespace dithering
