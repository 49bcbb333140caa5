// The pixel moves of the 8-lane type in AVX2 registers, held to plain
// byte loops, where the processor runs AVX2.
#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/vec128.hpp"

#if DITHERING_ARCH_X86
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"

DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#include "simd/pixel_moves_checks.hpp"
DITHERING_TARGET_AVX2_END

CORE_TEST(pixel_moves_in_avx2_registers) {
    if (!dithering::isa_available(dithering::Isa::avx2)) return;
    pixel_moves::check_pixel_moves();
}
#endif
