// Random dither's draws and quantizers over AVX2 registers, streaming
// stores where the caller asks for them.
//
// The loops are compiled for AVX2 (the region simd/compiler.hpp opens, after
// every header with functions of its own; it says why), so that the
// vector operations inline into them.
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

DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "core/simd/lanes8.hpp"
#include "core/threshold/random_draws.hpp"
DITHERING_TARGET_AVX2_END

namespace dithering {

void draw_offsets_avx2(std::uint64_t state, std::size_t count, float scale, float* out) noexcept {
    draw_offsets<simd::Lanes8>(state, count, scale, out);
}

void random_few_levels_avx2(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                            std::uint64_t state, const RandomFewLevels& params,
                            bool stream) noexcept {
    random_few_levels<simd::Lanes8>(src, dst, count, state, params, stream);
}

void quantize_offsets_avx2(std::uint8_t* p, const float* offsets, std::size_t count,
                           const VectorQuantizer& quantizer) noexcept {
    quantize_offsets<simd::Lanes8>(p, offsets, count, quantizer);
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
