// The grid search's and the channel planes' vector operations on the
// 8-lane type in AVX2 registers, held to plain loops, where the processor
// runs AVX2.
#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/vec128.hpp"

#if DITHERING_ARCH_X86
#include "core/simd/intrinsics.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>

#include "check.hpp"

DITHERING_TARGET_AVX2_BEGIN
#include "core/simd/vec8_avx2.hpp"
#define VECTOR_OPS_SHIFT_EACH 1
#define VECTOR_OPS_BYTE_ZIPS 1
#include "simd/vector_ops_checks.hpp"
DITHERING_TARGET_AVX2_END

CORE_TEST(vector_ops_in_avx2_registers) {
    if (!dithering::isa_available(dithering::Isa::avx2)) return;
    vector_ops::check_vector_ops();
}
#endif
