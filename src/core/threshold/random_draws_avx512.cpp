// Random dither's draws and quantizers sixteen lanes a step in AVX-512
// registers: random_draws.hpp over the 16-lane type, compiled in the
// AVX-512 region (simd/compiler.hpp says why a region). AVX-512DQ
// multiplies 64-bit lanes in one instruction, where AVX2 builds each
// product from three 32-bit ones.
#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"

#if DITHERING_ARCH_X86
#include "core/simd/intrinsics.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/threshold/threshold_loops.hpp"
#include "core/simd/vec128.hpp"

DITHERING_TARGET_AVX512_BEGIN
#include "core/simd/vec16_avx512.hpp"
#include "core/threshold/random_draws.hpp"
DITHERING_TARGET_AVX512_END

namespace dithering {

void draw_offsets_avx512(std::uint64_t state, std::size_t count, float scale,
                         float* out) noexcept {
    draw_offsets<simd::Lanes16>(state, count, scale, out);
}

void random_few_levels_avx512(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                              std::uint64_t state, const RandomFewLevels& params,
                              bool stream) noexcept {
    random_few_levels<simd::Lanes16>(src, dst, count, state, params, stream);
}

void quantize_offsets_avx512(std::uint8_t* p, const float* offsets, std::size_t count,
                             const VectorQuantizer& quantizer) noexcept {
    quantize_offsets<simd::Lanes16>(p, offsets, count, quantizer);
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
