// The grid search's and the channel planes' vector operations on the
// 8-lane type as two 128-bit halves and on this build's 4-lane type (SSE2,
// NEON or the portable form), held to plain loops.
#include "core/simd/vec8_halves.hpp"

// SSE2 has no per-lane shift: only the AVX2 form gives one to its 4-lane
// type (test_vector_ops_avx2.cpp checks it there).
#if defined(DITHERING_VEC128_SSE2)
#define VECTOR_OPS_SHIFT_EACH 0
#else
#define VECTOR_OPS_SHIFT_EACH 1
#endif
#define VECTOR_OPS_BYTE_ZIPS 1
#include "simd/vector_ops_checks.hpp"

CORE_TEST(vector_ops_in_128_bit_halves) { vector_ops::check_vector_ops(); }
