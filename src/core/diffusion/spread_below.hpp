// The step every form of the palette and levels passes spreads a row's
// errors to a row below it with, written once for the vector types of
// simd/.
//
// A file that instantiates it for the AVX2 vector type includes this inside
// its AVX2 region, as it does that type (simd/vec8_avx2.hpp), so that the
// operations inline into it.
#pragma once

#include <cstddef>

#include "core/simd/compiler.hpp"

namespace dithering {

// Error cells of CELL floats each (1 for one channel of levels; 4 for a
// palette's R, G, B and an idle lane), stored in column order. Returns `t`
// (the cells of the row below, as many as a V holds from cell C on) plus
// the weighted errors of the pixels at C - 2S, C - S, C, C + S and C + 2S,
// in that order, which is the order the scan in direction S met them (so
// the same sum, rounded step by step, as the plain form's): `errors`
// points at cell C's errors, load(p) reads a V from p.
template <int S, std::size_t CELL, typename V, typename Load>
DITHERING_ALWAYS_INLINE V spread_below(V t, const float* errors, V w0, V w1, V w2, V w3, V w4,
                                       Load load) {
    constexpr std::ptrdiff_t D = static_cast<std::ptrdiff_t>(CELL) * S;
    t = t + w0 * load(errors - 2 * D);
    t = t + w1 * load(errors - D);
    t = t + w2 * load(errors);
    t = t + w3 * load(errors + D);
    t = t + w4 * load(errors + 2 * D);
    return t;
}

}  // namespace dithering
