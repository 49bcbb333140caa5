// Vector loops of ordered and random dither: sixteen bytes at a time on
// every processor (simd/vec128.hpp), and on x86 AVX2 loops compiled per
// function and chosen at run time. The compare rows are in compare_rows.hpp,
// the random draws and quantizers in random_draws.hpp, the nearest-colour
// scan in nearest_points.hpp.
#include "core/threshold/threshold_loops.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/vec128.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>

#include "core/color/grid_search_avx2.hpp"
#endif

namespace dithering {

void finish_streaming() noexcept {
#if DITHERING_ARCH_X86
    _mm_sfence();
#endif
}

#if DITHERING_ARCH_X86

namespace {

// Bytes of eight 3- or 4-byte pixels at p, one channel per vector of eight
// 32-bit lanes. Three channels read exactly 24 bytes (two overlapping
// 16-byte loads), four read 32.
struct PixelChannels {
    __m256i c[3];
};

DITHERING_TARGET("avx2") DITHERING_ALWAYS_INLINE PixelChannels
load_rgb8(const std::uint8_t* p) {
    // Channel k of pixel i is byte 3i + k: pixels 0..4 from the first load,
    // 5..7 from the second (which starts 8 bytes on). Channels 0 and 1 end
    // up in the low and high halves of `rg`, channel 2 in the low half of `b`.
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m128i rg = _mm_or_si128(
        _mm_shuffle_epi8(lo, _mm_setr_epi8(0, 3, 6, 9, 12, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1)),
        _mm_shuffle_epi8(hi, _mm_setr_epi8(-1, -1, -1, -1, -1, 7, 10, 13, -1, -1, -1, -1, -1, 8, 11,
                                           14)));
    const __m128i b = _mm_or_si128(
        _mm_shuffle_epi8(lo, _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                           -1)),
        _mm_shuffle_epi8(hi, _mm_setr_epi8(-1, -1, -1, -1, -1, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1,
                                           -1)));
    return {{_mm256_cvtepu8_epi32(rg), _mm256_cvtepu8_epi32(_mm_srli_si128(rg, 8)),
             _mm256_cvtepu8_epi32(b)}};
}

DITHERING_TARGET("avx2") DITHERING_ALWAYS_INLINE PixelChannels
load_rgba8(const std::uint8_t* p) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    // Per 128-bit half: channel 0 of its four pixels in dword 0, 1 in 1, 2
    // in 2; then the halves' dwords interleaved, so each channel's eight
    // bytes are contiguous.
    const __m256i grouped = _mm256_shuffle_epi8(
        x, _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, -1, -1, -1, -1, 0, 4, 8, 12, 1,
                            5, 9, 13, 2, 6, 10, 14, -1, -1, -1, -1));
    const __m256i ordered =
        _mm256_permutevar8x32_epi32(grouped, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    const __m128i rg = _mm256_castsi256_si128(ordered);
    return {{_mm256_cvtepu8_epi32(rg), _mm256_cvtepu8_epi32(_mm_srli_si128(rg, 8)),
             _mm256_cvtepu8_epi32(_mm256_extracti128_si256(ordered, 1))}};
}

// The packed colours of eight indices: a permute of one or two vectors of
// words for up to sixteen colours, a gather beyond.
DITHERING_TARGET("avx2") DITHERING_ALWAYS_INLINE __m256i
packed_colors(const PointSearch& palette, __m256i index) {
    if (palette.colors <= 16) {
        const __m256i low = _mm256_permutevar8x32_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(palette.packed)), index);
        const __m256i high = _mm256_permutevar8x32_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(palette.packed + 8)), index);
        // Index bit 3 (moved to the sign bit) picks the second vector.
        return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(low),
                                                    _mm256_castsi256_ps(high),
                                                    _mm256_castsi256_ps(_mm256_slli_epi32(index, 28))));
    }
    return _mm256_i32gather_epi32(reinterpret_cast<const int*>(palette.packed), index, 4);
}

// The grid's answer for each of `count` (a multiple of 8) points, the
// points moved from channel rows into (c0, c1, c2, 0) vectors eight at a
// time by a transpose.
DITHERING_TARGET("avx2") DITHERING_ALWAYS_INLINE void grid_points(
    NearestGrid& grid, const float (&c)[3][PALETTE_POINTS_MAX], std::size_t count,
    std::uint32_t* index) {
    avx2::GridSearch search = avx2::grid_search_of(grid);
    for (std::size_t k = 0; k < count; k += 8) {
        const __m256 c0 = _mm256_load_ps(c[0] + k);
        const __m256 c1 = _mm256_load_ps(c[1] + k);
        const __m256 c2 = _mm256_load_ps(c[2] + k);
        const __m256 zero = _mm256_setzero_ps();
        // Per 128-bit half (points 0..3, 4..7): (c0, c1) and (c2, 0) pairs
        // of points 0, 1 (lo) and 2, 3 (hi), then one point per vector.
        const __m256 lo01 = _mm256_unpacklo_ps(c0, c1);
        const __m256 hi01 = _mm256_unpackhi_ps(c0, c1);
        const __m256 lo2 = _mm256_unpacklo_ps(c2, zero);
        const __m256 hi2 = _mm256_unpackhi_ps(c2, zero);
        const __m256 points[4] = {
            _mm256_shuffle_ps(lo01, lo2, _MM_SHUFFLE(1, 0, 1, 0)),
            _mm256_shuffle_ps(lo01, lo2, _MM_SHUFFLE(3, 2, 3, 2)),
            _mm256_shuffle_ps(hi01, hi2, _MM_SHUFFLE(1, 0, 1, 0)),
            _mm256_shuffle_ps(hi01, hi2, _MM_SHUFFLE(3, 2, 3, 2)),
        };
        for (std::size_t i = 0; i < 4; ++i) {
            index[k + i] = static_cast<std::uint32_t>(
                search.find(_mm256_castps256_ps128(points[i])));
        }
        for (std::size_t i = 0; i < 4; ++i) {
            index[k + 4 + i] = static_cast<std::uint32_t>(
                search.find(_mm256_extractf128_ps(points[i], 1)));
        }
    }
}

}  // namespace

DITHERING_TARGET("avx2") void palette_points_avx2(std::uint8_t* p, std::size_t count,
                                                         std::size_t channels, const float* u,
                                                         const PointSearch& palette) noexcept {
    alignas(32) float c[3][PALETTE_POINTS_MAX];
    alignas(32) std::uint32_t index[PALETTE_POINTS_MAX];
    const bool shuffled = channels == 3 || channels == 4;
    std::size_t k = 0;
    if (shuffled) {
        const __m256 amp[3] = {_mm256_set1_ps(palette.amp[0]), _mm256_set1_ps(palette.amp[1]),
                               _mm256_set1_ps(palette.amp[2])};
        for (; k + 8 <= count; k += 8) {
            const std::uint8_t* px = p + k * channels;
            const PixelChannels bytes = channels == 3 ? load_rgb8(px) : load_rgba8(px);
            const __m256 shift = _mm256_loadu_ps(u + k);
            for (std::size_t j = 0; j < 3; ++j) {
                const __m256 base = palette.lut_is_byte
                                        ? _mm256_cvtepi32_ps(bytes.c[j])
                                        : _mm256_i32gather_ps(palette.lut, bytes.c[j], 4);
                _mm256_store_ps(c[j] + k, _mm256_add_ps(_mm256_mul_ps(amp[j], shift), base));
            }
        }
    }
    for (; k < count; ++k) {
        const std::uint8_t* px = p + k * channels;
        for (std::size_t j = 0; j < 3; ++j) c[j][k] = palette.amp[j] * u[k] + palette.lut[px[j]];
    }
    // The search runs whole vectors: the lanes past the last pixel get a
    // finite point, and their answers are not used.
    const std::size_t padded = (count + 7) / 8 * 8;
    for (; k < padded; ++k) c[0][k] = c[1][k] = c[2][k] = 0.0f;
    if (palette.grid != nullptr) {
        grid_points(*palette.grid, c, padded, index);
    } else {
        // GCC cannot see that the loops above wrote every lane the search
        // reads.
DITHERING_IGNORE_MAYBE_UNINITIALIZED_BEGIN
        nearest_points_avx2(palette.working, palette.colors, c[0], c[1], c[2], padded, index);
DITHERING_IGNORE_MAYBE_UNINITIALIZED_END
    }

    k = 0;
    if (shuffled) {
        for (; k + 8 <= count; k += 8) {
            std::uint8_t* px = p + k * channels;
            const __m256i color = packed_colors(
                palette, _mm256_load_si256(reinterpret_cast<const __m256i*>(index + k)));
            if (channels == 4) {
                // The fourth byte of each pixel stays as it is.
                const __m256i kept = _mm256_and_si256(
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(px)),
                    _mm256_set1_epi32(static_cast<int>(0xff000000u)));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(px), _mm256_or_si256(kept, color));
                continue;
            }
            // Three bytes of each word, twelve per half, stored as 8 + 4.
            const __m256i packed = _mm256_shuffle_epi8(
                color, _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                        1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
            const __m128i halves[2] = {_mm256_castsi256_si128(packed),
                                       _mm256_extracti128_si256(packed, 1)};
            for (std::size_t h = 0; h < 2; ++h) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(px + 12 * h), halves[h]);
                const auto tail = static_cast<std::uint32_t>(_mm_extract_epi32(halves[h], 2));
                std::memcpy(px + 12 * h + 8, &tail, 4);
            }
        }
    }
    for (; k < count; ++k) {
        std::uint8_t* px = p + k * channels;
        std::memcpy(px, &palette.packed[index[k]], 3);
    }
}

#endif  // DITHERING_ARCH_X86

}  // namespace dithering
