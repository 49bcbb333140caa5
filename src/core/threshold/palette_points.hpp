// Ordered and random dither's pixel loop to a palette, written once over
// the 8-lane vector type: a block of pixels' bytes in, their shifted
// working values, the nearest colours, the colours' bytes out. Each source
// that includes this has first included one form of that type
// (simd/vec8_avx2.hpp or simd/vec8_halves.hpp) and gets its own copy, at
// internal linkage, for that form; the nearest-colour searches are its
// arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/simd/compiler.hpp"
#include "core/threshold/threshold_loops.hpp"

namespace dithering {
namespace {

using namespace simd;

// `count` <= PALETTE_POINTS_MAX pixels of `channels` bytes at p, pixel k
// shifted by u[k], each to the colour nearest to c_j = amp_j * u[k] +
// lut[b_j] (the product rounded, then the sum), written over channels
// 0..2. Palettes with a grid are searched there by find_in_grid(grid, c0,
// c1, c2, count, index), whose rows run on to a whole number of eights;
// the others by scan_points(working, colors, c0, c1, c2, padded, index),
// the scan of every colour over a whole number of eights. With three or
// four channels the bytes move in and out eight pixels at a time.
template <class FindInGrid, class ScanPoints>
void palette_points(std::uint8_t* p, std::size_t count, std::size_t channels, const float* u,
                    const PointSearch& palette, FindInGrid find_in_grid, ScanPoints scan_points) {
    alignas(32) float c[3][PALETTE_POINTS_MAX];
    alignas(32) std::uint32_t index[PALETTE_POINTS_MAX];
    const bool whole_vectors = channels == 3 || channels == 4;
    std::size_t k = 0;
    if (whole_vectors) {
        const F32x8 amp[3] = {splat8(palette.amp[0]), splat8(palette.amp[1]),
                              splat8(palette.amp[2])};
        for (; k + 8 <= count; k += 8) {
            const std::uint8_t* px = p + k * channels;
            const PixelChannels8 bytes = channels == 3 ? load_rgb8(px) : load_rgba8(px);
            const F32x8 shift = load8(u + k);
            for (std::size_t j = 0; j < 3; ++j) {
                const F32x8 base =
                    palette.lut_is_byte ? to_float(bytes.c[j]) : gather(palette.lut, bytes.c[j]);
                store8(c[j] + k, amp[j] * shift + base);
            }
        }
    }
    for (; k < count; ++k) {
        const std::uint8_t* px = p + k * channels;
        for (std::size_t j = 0; j < 3; ++j) c[j][k] = palette.amp[j] * u[k] + palette.lut[px[j]];
    }
    // The searches run whole vectors: the lanes past the last pixel get a
    // finite point, and their answers are not used.
    const std::size_t padded = (count + 7) / 8 * 8;
    for (; k < padded; ++k) c[0][k] = c[1][k] = c[2][k] = 0.0f;
    if (palette.grid != nullptr) {
        find_in_grid(*palette.grid, c[0], c[1], c[2], count, index);
    } else {
        // GCC cannot see that the loops above wrote every lane the search
        // reads.
DITHERING_IGNORE_MAYBE_UNINITIALIZED_BEGIN
        scan_points(palette.working, palette.colors, c[0], c[1], c[2], padded, index);
DITHERING_IGNORE_MAYBE_UNINITIALIZED_END
    }

    // Signed and unsigned words may alias each other.
    const auto* packed = reinterpret_cast<const std::int32_t*>(palette.packed);
    k = 0;
    if (whole_vectors) {
        for (; k + 8 <= count; k += 8) {
            store_table_pixels8(p + k * channels, channels, packed, palette.colors, index + k);
        }
    }
    for (; k < count; ++k) std::memcpy(p + k * channels, &palette.packed[index[k]], 3);
}

}  // namespace
}  // namespace dithering
