// Random dither's draws and quantizers over pairs of 128-bit vectors
// (vec128.hpp): SSE2 on x86, NEON on aarch64, the portable form anywhere
// else.
#include "core/simd/vec8_halves.hpp"
#include "core/simd/lanes8.hpp"
#include "core/threshold/random_draws.hpp"

namespace dithering {

void draw_offsets_vec128(std::uint64_t state, std::size_t count, float scale, float* out) noexcept {
    draw_offsets<simd::Lanes8>(state, count, scale, out);
}

void random_few_levels_vec128(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                           std::uint64_t state, const RandomFewLevels& params) noexcept {
    random_few_levels<simd::Lanes8>(src, dst, count, state, params, false);
}

void quantize_offsets_vec128(std::uint8_t* p, const float* offsets, std::size_t count,
                          const VectorQuantizer& quantizer) noexcept {
    quantize_offsets<simd::Lanes8>(p, offsets, count, quantizer);
}

}  // namespace dithering
