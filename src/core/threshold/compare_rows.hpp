// The byte-compare rows of ordered dither (CompareRow in
// threshold_loops.hpp), written once over the 8-lane vector type's 32-byte
// vectors: each source file that includes this has first included one form
// of that type (simd/vec8_avx2.hpp or simd/vec8_halves.hpp) and gets its own
// copy of the loops, at internal linkage, for that form.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/threshold/threshold_loops.hpp"
#include "core/simd/compiler.hpp"

namespace dithering {
namespace {

using namespace simd;

// The lanes of one vector position of a plan row, in registers: `base`
// (codes, or levels in the level form), the bounds, the steps (plain form
// only) and the keep mask (zero when nothing is kept).
template <std::size_t TERMS>
struct CompareLanes {
    U8x32 base;
    U8x32 bounds[TERMS];
    U8x32 steps[TERMS];
    U8x32 keep;
};

template <std::size_t TERMS, bool LEVELS>
DITHERING_ALWAYS_INLINE CompareLanes<TERMS> load_lanes(const std::uint8_t* l,
                                                                     std::size_t stride,
                                                                     bool keep) {
    CompareLanes<TERMS> lanes;
    lanes.base = load32(l);
    for (std::size_t j = 0; j < TERMS; ++j) {
        if constexpr (LEVELS) {
            lanes.bounds[j] = load32(l + (1 + j) * stride);
        } else {
            lanes.bounds[j] = load32(l + (1 + 2 * j) * stride);
            lanes.steps[j] = load32(l + (2 + 2 * j) * stride);
        }
    }
    const std::size_t mask_block = LEVELS ? 1 + TERMS : 1 + 2 * TERMS;
    lanes.keep = keep ? load32(l + mask_block * stride) : splat32(0);
    return lanes;
}

// The level form: minus one (all ones) per bound that b exceeds, compared
// as signed bytes with b's top bit flipped to match the flipped bounds.
DITHERING_ALWAYS_INLINE U8x32 count_level(U8x32 acc, U8x32 flipped, U8x32 bound) {
    return acc - greater_signed(flipped, bound);
}

// The plain form: b <= bound exactly where min(b, bound) == b; the step
// counts above.
DITHERING_ALWAYS_INLINE U8x32 add_step(U8x32 acc, U8x32 b, U8x32 bound,
                                                     U8x32 step) {
    const U8x32 below = equal(min(b, bound), b);
    return acc + and_not(step, below);
}

template <std::size_t TERMS, bool LEVELS>
DITHERING_ALWAYS_INLINE U8x32 compare32(U8x32 b, const CompareLanes<TERMS>& lanes,
                                                      U8x32 codes) {
    U8x32 acc = lanes.base;
    if constexpr (LEVELS) {
        const U8x32 flipped = b ^ splat32(0x80);
        for (std::size_t j = 0; j < TERMS; ++j) acc = count_level(acc, flipped, lanes.bounds[j]);
        acc = lookup16(codes, acc);
    } else {
        for (std::size_t j = 0; j < TERMS; ++j) {
            acc = add_step(acc, b, lanes.bounds[j], lanes.steps[j]);
        }
    }
    // Kept lanes come out 0 so far and have a mask of ones; the others a
    // mask of zeros.
    return acc | (b & lanes.keep);
}

// Any number of terms, the lanes read from memory for every vector.
// Inlined: a call per vector costs more than the loop saves (the halves
// form is large enough that GCC would otherwise call it).
DITHERING_ALWAYS_INLINE U8x32 compare32_any(U8x32 b, const std::uint8_t* l,
                                                         const CompareRow& row, U8x32 codes) {
    const std::size_t stride = row.stride, terms = row.terms;
    U8x32 acc = load32(l);
    std::size_t mask_block = 1 + terms;
    if (row.codes) {
        const U8x32 flipped = b ^ splat32(0x80);
        for (std::size_t j = 0; j < terms; ++j) {
            acc = count_level(acc, flipped, load32(l + (1 + j) * stride));
        }
        acc = lookup16(codes, acc);
    } else {
        mask_block = 1 + 2 * terms;
        for (std::size_t j = 0; j < terms; ++j) {
            acc = add_step(acc, b, load32(l + (1 + 2 * j) * stride),
                           load32(l + (2 + 2 * j) * stride));
        }
    }
    if (row.keep) acc = acc | (b & load32(l + mask_block * stride));
    return acc;
}

DITHERING_ALWAYS_INLINE void put32(std::uint8_t* dst, U8x32 v, bool stream) {
    if (stream) {
        stream32(dst, v);
    } else {
        store32(dst, v);
    }
}

inline U8x32 codes_of(const CompareRow& row) {
    return row.codes ? load16_twice(row.codes) : splat32(0);
}

// Fewer than 32 bytes through a full vector in a local copy; the plan
// lanes beyond them exist (each block runs 32 bytes past its period).
inline void compare_part(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                         const std::uint8_t* l, const CompareRow& row) {
    alignas(32) std::uint8_t part[32] = {};
    std::memcpy(part, src, count);
    store32(part, compare32_any(load32(part), l, row, codes_of(row)));
    std::memcpy(dst, part, count);
}

// `vectors` whole vectors from plan lane `lane` on. With a period of one
// vector every vector meets the same lanes, which then stay in registers.
// TERMS of 0 stands for any number of terms.
template <std::size_t TERMS, bool LEVELS>
void compare_vectors(const std::uint8_t* src, std::uint8_t* dst, std::size_t vectors,
                     std::size_t lane, const CompareRow& row, bool stream) {
    // Copied out of `row`: the stores below may alias anything.
    const CompareRow local = row;
    const U8x32 codes = codes_of(local);
    if constexpr (TERMS != 0) {
        if (local.period == COMPARE_PERIOD_UNIT) {
            const CompareLanes<TERMS> fixed =
                load_lanes<TERMS, LEVELS>(local.lanes + lane, local.stride, local.keep);
            for (std::size_t v = 0; v < vectors; ++v) {
                put32(dst + 32 * v,
                      compare32<TERMS, LEVELS>(load32(src + 32 * v), fixed, codes), stream);
            }
            return;
        }
    }
    for (std::size_t v = 0; v < vectors; ++v) {
        const U8x32 b = load32(src + 32 * v);
        U8x32 out;
        if constexpr (TERMS != 0) {
            out = compare32<TERMS, LEVELS>(
                b, load_lanes<TERMS, LEVELS>(local.lanes + lane, local.stride, local.keep), codes);
        } else {
            out = compare32_any(b, local.lanes + lane, local, codes);
        }
        put32(dst + 32 * v, out, stream);
        lane += 32;
        if (lane >= local.period) lane -= local.period;
    }
}

template <bool LEVELS>
void compare_vectors_of(const std::uint8_t* src, std::uint8_t* dst, std::size_t vectors,
                        std::size_t lane, const CompareRow& row, bool stream) {
    switch (row.terms) {
        case 1: compare_vectors<1, LEVELS>(src, dst, vectors, lane, row, stream); break;
        case 2: compare_vectors<2, LEVELS>(src, dst, vectors, lane, row, stream); break;
        case 3: compare_vectors<3, LEVELS>(src, dst, vectors, lane, row, stream); break;
        default: compare_vectors<0, LEVELS>(src, dst, vectors, lane, row, stream); break;
    }
}

// One image row; `stream` only where the form has streaming stores.
void compare_row(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                 const CompareRow& row, bool stream) {
    std::size_t i = 0;
    if (stream) {
        // Streaming stores need aligned vectors: the bytes before the first
        // aligned one go through a local copy, and the vectors then start
        // mid-period (the lanes run 32 bytes past the period for this).
        const std::size_t head =
            std::min(count, (32 - reinterpret_cast<std::uintptr_t>(dst) % 32) % 32);
        if (head != 0) compare_part(src, dst, head, row.lanes, row);
        i = head;
    }
    const std::size_t vectors = (count - i) / 32;
    const std::size_t lane = i;  // below 32, so within the period
    if (row.codes) {
        compare_vectors_of<true>(src + i, dst + i, vectors, lane, row, stream);
    } else {
        compare_vectors_of<false>(src + i, dst + i, vectors, lane, row, stream);
    }
    const std::size_t done = i + 32 * vectors;
    if (done < count) {
        const std::size_t tail_lane = (lane + 32 * vectors) % row.period;
        compare_part(src + done, dst + done, count - done, row.lanes + tail_lane, row);
    }
}

}  // namespace
}  // namespace dithering
