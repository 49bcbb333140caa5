// The pixel moves of the 8-lane type as two 128-bit halves (SSE2, NEON or
// the portable form), held to plain byte loops.
#include "core/simd/vec8_halves.hpp"
#include "simd/pixel_moves_checks.hpp"

CORE_TEST(pixel_moves_in_128_bit_halves) { pixel_moves::check_pixel_moves(); }
