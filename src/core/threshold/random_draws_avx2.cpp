// Random dither's draws and quantizers over AVX2 registers, streaming
// stores where the caller asks for them.
//
// The whole of the loops is compiled for AVX2 through the target pragma,
// so that the vector operations inline into them. Every header with
// functions of its own that are not ours to mark internal (the standard
// library's, and the inline quantizers of threshold_kernels.hpp) is
// included before the pragma, so that no function compiled for AVX2 can be
// picked, at link time, for a caller on a processor without it.
#include "core/simd/arch.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/threshold/threshold_kernels.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")
#include "core/simd/vec8_avx2.hpp"
#include "core/threshold/random_draws.hpp"
#pragma GCC pop_options

namespace dithering {

void draw_offsets_avx2(std::uint64_t state, std::size_t count, float scale, float* out) noexcept {
    draw_offsets(state, count, scale, out);
}

void random_few_levels_avx2(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                            std::uint64_t state, const RandomFewLevels& params,
                            bool stream) noexcept {
    random_few_levels(src, dst, count, state, params, stream);
}

void quantize_offsets_avx2(std::uint8_t* p, const float* offsets, std::size_t count,
                           const VectorQuantizer& quantizer) noexcept {
    quantize_offsets(p, offsets, count, quantizer);
}

}  // namespace dithering

#endif  // DITHERING_ARCH_X86
