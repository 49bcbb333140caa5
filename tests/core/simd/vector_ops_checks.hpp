// The vector operations of the grid search and of the channel planes,
// held to plain loops on random lanes: the 4-lane integer ones, the moves
// between the 8-lane type and the 4-lane one, and the byte interleaves.
// Included after one form of the 8-lane type (as the library's loops are),
// so each form gets its own copy; the includer says which operations its
// form has (VECTOR_OPS_SHIFT_EACH, VECTOR_OPS_BYTE_ZIPS).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>

#include "check.hpp"

namespace vector_ops {
namespace {

using namespace dithering::simd;

I32x4 ints_of(const std::uint32_t (&lanes)[4]) {
    std::int32_t x[4];
    std::memcpy(x, lanes, sizeof x);
    return load4(x);
}

void store_lanes(std::uint32_t (&out)[4], I32x4 a) {
    std::int32_t x[4];
    store4(x, a);
    std::memcpy(out, x, sizeof out);
}

template <int N>
void check_shift_right(const std::uint32_t (&x)[4]) {
    std::uint32_t got[4];
    store_lanes(got, shift_right_logical<N>(ints_of(x)));
    for (int i = 0; i < 4; ++i) CHECK(got[i] == x[i] >> N);
}

void check_int_lanes(std::mt19937& rng) {
    std::uint32_t a[4], b[4], got[4];
    for (auto& x : a) x = static_cast<std::uint32_t>(rng());
    for (auto& x : b) x = static_cast<std::uint32_t>(rng());
    // Lanes with the top bit set show a shift that brings in ones.
    a[0] |= 0x80000000u;
    store_lanes(got, lanes_int(static_cast<std::int32_t>(a[0]), static_cast<std::int32_t>(a[1]),
                               static_cast<std::int32_t>(a[2]), static_cast<std::int32_t>(a[3])));
    for (int i = 0; i < 4; ++i) CHECK(got[i] == a[i]);
    check_shift_right<1>(a);
    check_shift_right<2>(a);
    check_shift_right<4>(a);
    check_shift_right<6>(a);
    check_shift_right<31>(a);
    store_lanes(got, ints_of(a) | ints_of(b));
    for (int i = 0; i < 4; ++i) CHECK(got[i] == (a[i] | b[i]));
    CHECK(or_lanes(ints_of(a)) == (a[0] | a[1] | a[2] | a[3]));
    // One bit per lane, so that a lane missing from the or shows.
    const std::uint32_t one_bit[4] = {1u << (rng() % 32), 1u << (rng() % 32), 1u << (rng() % 32),
                                      1u << (rng() % 32)};
    CHECK(or_lanes(ints_of(one_bit)) == (one_bit[0] | one_bit[1] | one_bit[2] | one_bit[3]));
#if VECTOR_OPS_SHIFT_EACH
    // Counts 0..32, the ends among them.
    std::uint32_t counts[4] = {0, 32, static_cast<std::uint32_t>(rng() % 33),
                               static_cast<std::uint32_t>(rng() % 33)};
    if (rng() % 2 == 0) counts[0] = 31;
    store_lanes(got, shift_left_each(ints_of(a), ints_of(counts)));
    for (int i = 0; i < 4; ++i) CHECK(got[i] == (counts[i] >= 32 ? 0u : a[i] << counts[i]));
#endif
}

void check_halves_and_points(std::mt19937& rng) {
    std::uniform_real_distribution<float> value(-300.0f, 600.0f);
    float rows[3][8];
    for (auto& row : rows) {
        for (float& x : row) x = value(rng);
    }
    float got[4];
    store4(got, low_half(load8(rows[0])));
    for (int i = 0; i < 4; ++i) CHECK(std::memcmp(&got[i], &rows[0][i], sizeof(float)) == 0);
    F32x4 points[8];
    points_of_rows(load8(rows[0]), load8(rows[1]), load8(rows[2]), points);
    for (int i = 0; i < 8; ++i) {
        store4(got, points[i]);
        const float want[4] = {rows[0][i], rows[1][i], rows[2][i], 0.0f};
        CHECK(std::memcmp(got, want, sizeof got) == 0);
    }
}

#if VECTOR_OPS_BYTE_ZIPS
// Within each 16-byte half, the low (high) half's elements of `width`
// bytes of a and b, alternating.
void zip_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t width, bool high,
               std::uint8_t* out) {
    const std::size_t elements = 16 / width;
    for (std::size_t half = 0; half < 32; half += 16) {
        for (std::size_t j = 0; j < elements / 2; ++j) {
            const std::size_t from = half + width * (j + (high ? elements / 2 : 0));
            std::memcpy(out + half + width * 2 * j, a + from, width);
            std::memcpy(out + half + width * (2 * j + 1), b + from, width);
        }
    }
}

void check_byte_zips(std::mt19937& rng) {
    std::uint8_t a[32], b[32], mask[32], want[32], got[32];
    for (auto& x : a) x = static_cast<std::uint8_t>(rng());
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    for (auto& x : mask) x = (rng() & 1) != 0 ? 0xff : 0;
    const U8x32 va = load32(a), vb = load32(b);
    const U8x32 zipped[8] = {zip_low(va, vb),   zip_high(va, vb),   zip_low16(va, vb),
                             zip_high16(va, vb), zip_low32(va, vb), zip_high32(va, vb),
                             zip_low64(va, vb), zip_high64(va, vb)};
    for (std::size_t k = 0; k < 8; ++k) {
        zip_bytes(a, b, std::size_t{1} << (k / 2), k % 2 == 1, want);
        store32(got, zipped[k]);
        CHECK(std::memcmp(got, want, sizeof got) == 0);
    }
    store32(got, select_bytes(load32(mask), va, vb));
    for (std::size_t i = 0; i < 32; ++i) CHECK(got[i] == (mask[i] != 0 ? a[i] : b[i]));
}
#endif

void check_vector_ops() {
    std::mt19937 rng(31);
    for (int round = 0; round < 200; ++round) {
        check_int_lanes(rng);
        check_halves_and_points(rng);
#if VECTOR_OPS_BYTE_ZIPS
        check_byte_zips(rng);
#endif
    }
}

}  // namespace
}  // namespace vector_ops
