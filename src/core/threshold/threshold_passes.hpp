// What the ordered, random and palette passes share: their input and
// output, the quantizers of a call's levels and the blocks of pixels that
// go through the vector quantizer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/image/image_view.hpp"
#include "core/threshold/threshold_dither.hpp"
#include "core/threshold/threshold_loops.hpp"
#include "core/threshold/threshold_matrix.hpp"

namespace dithering {

// The loops that work in place start from a copy of the input.
inline void copy_in(ImageView img, const PassIo& io) {
    if (io.source && img.size() != 0) std::memcpy(img.pixels, io.source, img.size());
}

// The bytes a loop that can read the input directly reads.
inline const std::uint8_t* input_of(ImageView img, const PassIo& io) {
    return io.source ? io.source : img.pixels;
}

// The output byte of a levels pixel channel in the plain loops.
inline std::uint8_t level_byte(const ColorSpace& space, const Levels& levels, float offset,
                               std::uint8_t byte) {
    return levels.codes[levels.quantize(space.lut[byte] + offset)];
}

inline LevelQuantizer quantizer_for(const ColorSpace& space, const Levels& levels) {
    return {space.lut.data(), levels.codes.data(), levels.inv_step, levels.top};
}

inline VectorQuantizer vector_quantizer_for(const ColorSpace& space, const Levels& levels) {
    VectorQuantizer vq{quantizer_for(space, levels), levels.count, true, true};
    for (std::size_t b = 0; b < 256; ++b) {
        if (space.lut[b] != static_cast<float>(b)) vq.lut_is_byte = false;
    }
    for (std::uint32_t i = 0; i < levels.count; ++i) {
        if (levels.codes[i] != i) vq.codes_are_levels = false;
    }
    return vq;
}

inline bool tile_is_valid(const ThresholdMatrix& matrix) {
    return matrix.rows != 0 && matrix.cols != 0 &&
           matrix.thresholds.size() >= matrix.rows * matrix.cols;
}

// Pixels go through the vector quantizer in blocks of this many bytes, with
// one offset per byte.
inline constexpr std::size_t VECTOR_BLOCK = 1024;

// Room for one block: the offsets spread to every byte, and the bytes of
// the skipped channel.
struct BlockScratch {
    float offsets[VECTOR_BLOCK] = {};
    std::uint8_t saved[VECTOR_BLOCK] = {};
};

// quantize_offsets_avx2 or quantize_offsets_vec128.
using QuantizeOffsets = void (*)(std::uint8_t* p, const float* offsets, std::size_t count,
                                 const VectorQuantizer& quantizer) noexcept;

// Quantizes `pixels` whole pixels at p with one offset per pixel. The
// channels of a pixel share its offset; the skipped channel is saved first
// and put back afterwards. pixels * channels <= VECTOR_BLOCK.
inline void quantize_pixels(QuantizeOffsets quantize_offsets, std::uint8_t* p,
                     const float* pixel_offsets, std::size_t pixels, std::size_t channels,
                     std::size_t skip, const VectorQuantizer& vq, BlockScratch& scratch) {
    if (channels == 1) {
        if (skip != 0) quantize_offsets(p, pixel_offsets, pixels, vq);
        return;
    }
    float* offsets = scratch.offsets;
    std::uint8_t* saved = scratch.saved;
    for (std::size_t k = 0; k < pixels; ++k) {
        for (std::size_t c = 0; c < channels; ++c) offsets[k * channels + c] = pixel_offsets[k];
    }
    if (skip < channels) {
        for (std::size_t k = 0; k < pixels; ++k) saved[k] = p[k * channels + skip];
    }
    quantize_offsets(p, offsets, pixels * channels, vq);
    if (skip < channels) {
        for (std::size_t k = 0; k < pixels; ++k) p[k * channels + skip] = saved[k];
    }
}

}  // namespace dithering
