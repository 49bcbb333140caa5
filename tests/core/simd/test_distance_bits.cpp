// The vector operations that rank distances by their bit patterns (the
// 128-bit ones of this build's back end and the 8-lane type built on
// them), held to plain unsigned comparisons of the patterns. The patterns
// are those where an unsigned order and a float or signed one part: -0
// (the sign bit alone) and other negatives, NaNs of either sign, both
// infinities, ties.
#include <bit>
#include <cstdint>
#include <cstring>
#include <random>

#include "check.hpp"
#include "core/simd/vec128.hpp"
#include "core/simd/vec8_halves.hpp"

using namespace dithering;

namespace {

constexpr std::uint32_t PATTERNS[] = {
    0x00000000u,  // +0
    0x80000000u,  // -0
    0x80000001u,  // the smallest negative subnormal
    0x00000001u,  // the smallest positive subnormal
    0x3f800000u,  // 1
    0xbf800000u,  // -1
    0x7f7fffffu,  // the largest finite
    0x7f800000u,  // +inf
    0xff800000u,  // -inf
    0x7fc00000u,  // quiet NaN
    0xffc00000u,  // quiet NaN, sign set
    0x7f800001u,  // signalling NaN
    0x7fffffffu,
    0xffffffffu,
};
constexpr std::size_t N_PATTERNS = sizeof PATTERNS / sizeof PATTERNS[0];

// Floats with exactly these bits, through memory (no float arithmetic
// touches them on the way).
simd::F32x4 floats_of(const std::uint32_t (&bits)[4]) {
    float f[4];
    std::memcpy(f, bits, sizeof f);
    return simd::load4(f);
}

void store_bits(std::uint32_t (&out)[4], simd::I32x4 a) {
    std::int32_t lanes[4];
    simd::store4(lanes, a);
    std::memcpy(out, lanes, sizeof out);
}

}  // namespace

// Every pair of patterns both ways round in the lanes, so that a minimum
// that keeps its first or its second operand on some pairs shows.
CORE_TEST(min_unsigned_equal_and_select_on_float_bits) {
    for (std::size_t i = 0; i < N_PATTERNS; ++i) {
        for (std::size_t j = 0; j < N_PATTERNS; ++j) {
            const std::uint32_t x = PATTERNS[i], y = PATTERNS[j];
            const std::uint32_t a_bits[4] = {x, y, x, y}, b_bits[4] = {y, x, y, x};
            const simd::I32x4 a = simd::as_bits(floats_of(a_bits));
            const simd::I32x4 b = simd::as_bits(floats_of(b_bits));
            std::uint32_t got[4];
            store_bits(got, simd::min_unsigned(a, b));
            for (std::uint32_t g : got) CHECK(g == (x < y ? x : y));
            CHECK(simd::bits(simd::equal(a, b)) == (x == y ? 15u : 0u));
            // Lanes 0 and 3 of a, lanes 1 and 2 of b.
            const simd::Mask32x4 pick = simd::less(simd::lanes(0, 1, 1, 0), simd::splat(0.5f));
            store_bits(got, simd::select(pick, a, b));
            CHECK(got[0] == x && got[1] == x && got[2] == y && got[3] == y);
        }
    }
}

// The 8-lane reduction of a scan: the least pattern in every lane, and
// the first lane holding it (ties placed anywhere, the least pattern
// in either half).
CORE_TEST(min_unsigned_everywhere_finds_the_first_least_lane) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::size_t> pick(0, N_PATTERNS - 1);
    for (int round = 0; round < 2000; ++round) {
        std::uint32_t lanes[8];
        // Few distinct patterns per round, so that ties are common.
        const std::size_t first_pattern = pick(rng), second_pattern = pick(rng);
        for (std::uint32_t& l : lanes) {
            l = PATTERNS[(rng() & 1) != 0 ? first_pattern : pick(rng) % 3 == 0 ? pick(rng)
                                                                                : second_pattern];
        }
        std::uint32_t least = lanes[0];
        std::size_t at = 0;
        for (std::size_t k = 1; k < 8; ++k) {
            if (lanes[k] < least) {
                least = lanes[k];
                at = k;
            }
        }
        float f[8];
        std::memcpy(f, lanes, sizeof f);
        const simd::I32x8 d = as_bits(simd::load8(f));
        const simd::I32x8 m = min_unsigned_everywhere(d);
        std::int32_t got[8];
        simd::store8(got, m);
        for (std::int32_t g : got) CHECK(static_cast<std::uint32_t>(g) == least);
        CHECK(static_cast<std::uint32_t>(first(m)) == least);
        CHECK(static_cast<std::size_t>(std::countr_zero(bits(equal(d, m)))) == at);
        // As the grid's candidate scan keeps them: the lane's position
        // where it ties the least, all bits set elsewhere.
        std::int32_t order[8] = {0, 1, 2, 3, 4, 5, 6, 7};
        const simd::I32x8 position =
            select(equal(d, m), simd::load8(order), simd::splat8_int(-1));
        CHECK(first(min_unsigned_everywhere(position)) == static_cast<std::int32_t>(at));
    }
}
