// Splitting interleaved pixels into planes and merging them back with
// AVX2 byte shuffles: the x86 form's whole blocks, which channel_planes.cpp
// runs before its 128-bit and plain loops take the rest.
//
// AVX2 shuffles and unpacks never cross the 128-bit halves of a register,
// so these loops take 32 pixels as two groups of 16 and give each group a
// half:
//
//   interleaved   | group 0: pixels 0..15, 16C bytes | group 1: pixels 16..31 |
//   vector v      low half = bytes 16v..16v+15 of group 0,
//                 high half = bytes 16v..16v+15 of group 1
//   plane vector  low half = pixels 0..15, high half = pixels 16..31
//
// Each half then goes through the same 16-pixel byte shuffles (the tables
// below), and since the two halves of a plane vector are consecutive
// pixels, planes move in whole 32-byte vectors while the interleaved side
// moves in 16-byte halves. What AVX2 leaves (fewer than 32 pixels) goes to
// the 128-bit loop.
#include "core/simd/arch.hpp"

#if DITHERING_ARCH_X86
#include "core/simd/intrinsics.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/diffusion/channel_planes.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

namespace dithering {
namespace {
using Mask = std::array<std::uint8_t, 16>;

// A shuffle index with its top bit set makes pshufb write a zero byte.
constexpr std::uint8_t ZERO_BYTE = 0x80;

// SPLIT3[k][v] moves the plane-k bytes of interleaved vector v (bytes
// 16v..16v+15 of 16 pixels) to their pixel's position and zeroes the rest;
// the three results for plane k have disjoint bytes, so OR joins them.
constexpr std::array<std::array<Mask, 3>, 3> split3_masks() {
    std::array<std::array<Mask, 3>, 3> masks{};
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t v = 0; v < 3; ++v) {
            for (std::size_t j = 0; j < 16; ++j) {
                const std::size_t at = 3 * j + k;
                const bool here = at >= 16 * v && at < 16 * v + 16;
                masks[k][v][j] = here ? static_cast<std::uint8_t>(at - 16 * v) : ZERO_BYTE;
            }
        }
    }
    return masks;
}

// MERGE3[v][k] places the bytes of plane k that land in interleaved
// vector v; again the three results are disjoint.
constexpr std::array<std::array<Mask, 3>, 3> merge3_masks() {
    std::array<std::array<Mask, 3>, 3> masks{};
    for (std::size_t v = 0; v < 3; ++v) {
        for (std::size_t k = 0; k < 3; ++k) {
            for (std::size_t b = 0; b < 16; ++b) {
                const std::size_t at = 16 * v + b;
                masks[v][k][b] = at % 3 == k ? static_cast<std::uint8_t>(at / 3) : ZERO_BYTE;
            }
        }
    }
    return masks;
}

constexpr auto SPLIT3 = split3_masks();
constexpr auto MERGE3 = merge3_masks();

// Within one vector of 8 two-byte pixels: first bytes, then second bytes.
constexpr Mask SPLIT2 = {0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15};
// Within one vector of 4 four-byte pixels: each channel's 4 bytes together,
// so that a 4 x 4 transpose of 32-bit elements finishes the split.
constexpr Mask SPLIT4 = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};

}  // namespace
}  // namespace dithering

// The loops are compiled for AVX2 (the region simd/compiler.hpp opens, after
// every header with functions of its own; it says why), so that the
// vector operations inline into them.
DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"

namespace dithering {
namespace {

using simd::U8x32;

// A 16-byte table in both halves.
DITHERING_ALWAYS_INLINE U8x32 mask32(const Mask& mask) { return simd::load16_twice(mask.data()); }

// The AVX2 loops, like the 128-bit ones, except that a merge gets planes
// with no null among them: a null plane has been replaced by another one,
// so that every load is unconditional, and with `Keep` the bytes of those
// channels are taken back from dst through the mask `keep` (16 * channels
// bytes, 0xff on the channels to keep).

std::size_t split2_avx2(const std::uint8_t* src, std::size_t i, std::size_t count,
                        std::uint8_t* const* planes) {
    const U8x32 gather = mask32(SPLIT2);
    std::uint8_t* p0 = planes[0];
    std::uint8_t* p1 = planes[1];
    for (; i + 32 <= count; i += 32) {
        const std::uint8_t* s = src + 2 * i;
        const U8x32 a = lookup16(simd::load_halves(s, s + 32), gather);
        const U8x32 b = lookup16(simd::load_halves(s + 16, s + 48), gather);
        if (p0 != nullptr) simd::store32(p0 + i, zip_low64(a, b));
        if (p1 != nullptr) simd::store32(p1 + i, zip_high64(a, b));
    }
    return i;
}

std::size_t split3_avx2(const std::uint8_t* src, std::size_t i, std::size_t count,
                        std::uint8_t* const* planes) {
    for (; i + 32 <= count; i += 32) {
        const std::uint8_t* s = src + 3 * i;
        const U8x32 v0 = simd::load_halves(s, s + 48);
        const U8x32 v1 = simd::load_halves(s + 16, s + 64);
        const U8x32 v2 = simd::load_halves(s + 32, s + 80);
        for (std::size_t k = 0; k < 3; ++k) {
            if (planes[k] == nullptr) continue;
            const U8x32 from0 = lookup16(v0, mask32(SPLIT3[k][0]));
            const U8x32 from1 = lookup16(v1, mask32(SPLIT3[k][1]));
            const U8x32 from2 = lookup16(v2, mask32(SPLIT3[k][2]));
            simd::store32(planes[k] + i, (from0 | from1) | from2);
        }
    }
    return i;
}

std::size_t split4_avx2(const std::uint8_t* src, std::size_t i, std::size_t count,
                        std::uint8_t* const* planes) {
    const U8x32 gather = mask32(SPLIT4);
    std::uint8_t* p0 = planes[0];
    std::uint8_t* p1 = planes[1];
    std::uint8_t* p2 = planes[2];
    std::uint8_t* p3 = planes[3];
    for (; i + 32 <= count; i += 32) {
        const std::uint8_t* s = src + 4 * i;
        const U8x32 a0 = lookup16(simd::load_halves(s, s + 64), gather);
        const U8x32 a1 = lookup16(simd::load_halves(s + 16, s + 80), gather);
        const U8x32 a2 = lookup16(simd::load_halves(s + 32, s + 96), gather);
        const U8x32 a3 = lookup16(simd::load_halves(s + 48, s + 112), gather);
        const U8x32 c01_low = zip_low32(a0, a1);
        const U8x32 c01_high = zip_low32(a2, a3);
        const U8x32 c23_low = zip_high32(a0, a1);
        const U8x32 c23_high = zip_high32(a2, a3);
        if (p0 != nullptr) simd::store32(p0 + i, zip_low64(c01_low, c01_high));
        if (p1 != nullptr) simd::store32(p1 + i, zip_high64(c01_low, c01_high));
        if (p2 != nullptr) simd::store32(p2 + i, zip_low64(c23_low, c23_high));
        if (p3 != nullptr) simd::store32(p3 + i, zip_high64(c23_low, c23_high));
    }
    return i;
}

template <bool Keep>
std::size_t merge2_avx2(const std::uint8_t* const* planes, std::size_t i, std::size_t count,
                        std::uint8_t* dst, const std::uint8_t* keep) {
    const U8x32 keep_mask = simd::load16_twice(keep);
    for (; i + 32 <= count; i += 32) {
        const U8x32 a = simd::load32(planes[0] + i);
        const U8x32 b = simd::load32(planes[1] + i);
        std::uint8_t* d = dst + 2 * i;
        U8x32 out0 = zip_low(a, b);
        U8x32 out1 = zip_high(a, b);
        if constexpr (Keep) {
            out0 = select_bytes(keep_mask, simd::load_halves(d, d + 32), out0);
            out1 = select_bytes(keep_mask, simd::load_halves(d + 16, d + 48), out1);
        }
        simd::store_halves(d, d + 32, out0);
        simd::store_halves(d + 16, d + 48, out1);
    }
    return i;
}

template <bool Keep>
std::size_t merge3_avx2(const std::uint8_t* const* planes, std::size_t i, std::size_t count,
                        std::uint8_t* dst, const std::uint8_t* keep) {
    for (; i + 32 <= count; i += 32) {
        const U8x32 c0 = simd::load32(planes[0] + i);
        const U8x32 c1 = simd::load32(planes[1] + i);
        const U8x32 c2 = simd::load32(planes[2] + i);
        std::uint8_t* d = dst + 3 * i;
        for (std::size_t v = 0; v < 3; ++v) {
            const U8x32 from0 = lookup16(c0, mask32(MERGE3[v][0]));
            const U8x32 from1 = lookup16(c1, mask32(MERGE3[v][1]));
            const U8x32 from2 = lookup16(c2, mask32(MERGE3[v][2]));
            U8x32 out = (from0 | from1) | from2;
            std::uint8_t* low = d + 16 * v;
            if constexpr (Keep) {
                const U8x32 keep_mask = simd::load16_twice(keep + 16 * v);
                out = select_bytes(keep_mask, simd::load_halves(low, low + 48), out);
            }
            simd::store_halves(low, low + 48, out);
        }
    }
    return i;
}

template <bool Keep>
std::size_t merge4_avx2(const std::uint8_t* const* planes, std::size_t i, std::size_t count,
                        std::uint8_t* dst, const std::uint8_t* keep) {
    const U8x32 keep_mask = simd::load16_twice(keep);
    for (; i + 32 <= count; i += 32) {
        const U8x32 c0 = simd::load32(planes[0] + i);
        const U8x32 c1 = simd::load32(planes[1] + i);
        const U8x32 c2 = simd::load32(planes[2] + i);
        const U8x32 c3 = simd::load32(planes[3] + i);
        const U8x32 c01_low = zip_low(c0, c1);
        const U8x32 c01_high = zip_high(c0, c1);
        const U8x32 c23_low = zip_low(c2, c3);
        const U8x32 c23_high = zip_high(c2, c3);
        U8x32 out[4] = {zip_low16(c01_low, c23_low), zip_high16(c01_low, c23_low),
                        zip_low16(c01_high, c23_high), zip_high16(c01_high, c23_high)};
        std::uint8_t* d = dst + 4 * i;
        for (std::size_t v = 0; v < 4; ++v) {
            std::uint8_t* low = d + 16 * v;
            if constexpr (Keep) {
                out[v] = select_bytes(keep_mask, simd::load_halves(low, low + 64), out[v]);
            }
            simd::store_halves(low, low + 64, out[v]);
        }
    }
    return i;
}

}  // namespace
}  // namespace dithering

DITHERING_TARGET_AVX2_END

namespace dithering {
namespace {

template <bool Keep>
std::size_t merge_avx2(const std::uint8_t* const* planes, std::size_t i, std::size_t count,
                       std::size_t channels, std::uint8_t* dst, const std::uint8_t* keep) {
    switch (channels) {
        case 2: return merge2_avx2<Keep>(planes, i, count, dst, keep);
        case 3: return merge3_avx2<Keep>(planes, i, count, dst, keep);
        case 4: return merge4_avx2<Keep>(planes, i, count, dst, keep);
        default: return i;
    }
}

}  // namespace

std::size_t split_avx2(const std::uint8_t* src, std::size_t i, std::size_t count,
                       std::size_t channels, std::uint8_t* const* planes) noexcept {
    switch (channels) {
        case 2: return split2_avx2(src, i, count, planes);
        case 3: return split3_avx2(src, i, count, planes);
        case 4: return split4_avx2(src, i, count, planes);
        default: return i;
    }
}

// Null planes are replaced and the mask of the bytes to keep built here.
std::size_t merge_avx2_blocks(const std::uint8_t* const* planes, std::size_t count,
                              std::size_t channels, std::uint8_t* dst) noexcept {
    const std::uint8_t* any = nullptr;
    for (std::size_t c = 0; c < channels; ++c) {
        if (planes[c] != nullptr) any = planes[c];
    }
    // A null plane reads another plane instead, whose bytes the keep
    // mask then discards in favour of those already in dst.
    const std::uint8_t* from[4] = {};
    bool keep_any = false;
    for (std::size_t c = 0; c < channels; ++c) {
        from[c] = planes[c] != nullptr ? planes[c] : any;
        keep_any = keep_any || planes[c] == nullptr;
    }
    // One 0xff or 0 per interleaved byte of a 16-pixel group.
    alignas(16) std::uint8_t keep[64] = {};
    for (std::size_t b = 0; b < 16 * channels; ++b) {
        keep[b] = planes[b % channels] == nullptr ? 0xff : 0;
    }
    return keep_any ? merge_avx2<true>(from, 0, count, channels, dst, keep)
                    : merge_avx2<false>(from, 0, count, channels, dst, keep);
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
