// Random dither's draws and quantizers over pairs of 128-bit vectors
// (vec128.hpp): SSE2 on x86, NEON on aarch64, the portable form anywhere
// else.
#include "core/simd/vec8_halves.hpp"
#include "core/threshold/random_draws.hpp"

namespace dithering {

// Measured on 1024 x 1024 images, 1 channel of 2 and 8 levels, 3 of 2, 4
// of 64. x86 (SSE2 forced on an AVX2 machine): the vector form takes 1.2
// to 5 times less time than the scalar loop, whose 64-bit multiplies are
// native. aarch64 under qemu: the one-pass form 1.8 times less, the draws
// and the quantizer the same time as the scalar loop, so the scalar loop
// stays there. The portable form has no vector instructions to win with.
bool random_vec128_beats_portable(bool one_pass) noexcept {
#if defined(DITHERING_VEC128_SSE2)
    (void)one_pass;
    return true;
#elif defined(DITHERING_VEC128_NEON)
    return one_pass;
#else
    (void)one_pass;
    return false;
#endif
}

void draw_offsets_vec128(std::uint64_t state, std::size_t count, float scale, float* out) noexcept {
    draw_offsets(state, count, scale, out);
}

void random_few_levels_vec128(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                           std::uint64_t state, const RandomFewLevels& params) noexcept {
    random_few_levels(src, dst, count, state, params, false);
}

void quantize_offsets_vec128(std::uint8_t* p, const float* offsets, std::size_t count,
                          const VectorQuantizer& quantizer) noexcept {
    quantize_offsets(p, offsets, count, quantizer);
}

}  // namespace dithering
