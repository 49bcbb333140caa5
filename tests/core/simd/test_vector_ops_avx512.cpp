// The 16-lane operations of the loop bodies written over the lane width
// (the random draws, the wavefront), held to plain loops on random lanes,
// NaN among them, where the processor runs AVX-512. The loops that use
// them are compared with the plain passes elsewhere; these say which
// operation is wrong when they differ.
#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/vec128.hpp"

#if DITHERING_ARCH_X86
#include "core/simd/intrinsics.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "check.hpp"

DITHERING_TARGET_AVX512_BEGIN
#include "core/simd/vec16_avx512.hpp"

namespace {

using namespace dithering::simd;

constexpr std::size_t N = 16;
constexpr float NOT_A_NUMBER = std::numeric_limits<float>::quiet_NaN();

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

I32x16 ints_of(const std::int32_t (&x)[N]) { return load_int(Lanes16{}, x); }

void store_ints(std::int32_t (&out)[N], I32x16 a) { store(out, a); }

// Floats of every kind the loops meet: ordinary values, halves (for the
// rounding), zeros of both signs and NaN.
void fill_floats(std::mt19937& rng, float (&x)[N]) {
    std::uniform_real_distribution<float> value(-300.0f, 600.0f);
    for (float& v : x) v = value(rng);
    x[1] = NOT_A_NUMBER;
    x[2] = -0.0f;
    x[3] = 0.5f;
    x[4] = 2.5f;
}

void check_float_lanes(std::mt19937& rng) {
    float a[N], b[N], got[N];
    fill_floats(rng, a);
    fill_floats(rng, b);
    b[5] = NOT_A_NUMBER;  // NaN as the second operand too
    b[6] = a[6];          // an equal pair for >=
    const F32x16 va = load(Lanes16{}, a), vb = load(Lanes16{}, b);
    store(got, max(va, vb));
    for (std::size_t i = 0; i < N; ++i) CHECK(same_bits(got[i], a[i] > b[i] ? a[i] : b[i]));
    store(got, min(va, vb));
    for (std::size_t i = 0; i < N; ++i) CHECK(same_bits(got[i], a[i] < b[i] ? a[i] : b[i]));
    const Mask32x16 ge = greater_equal(va, vb);
    std::int32_t flags[N];
    store_ints(flags, as_int(ge));
    for (std::size_t i = 0; i < N; ++i) CHECK(flags[i] == (a[i] >= b[i] ? -1 : 0));
    store(got, select(ge, va, vb));
    for (std::size_t i = 0; i < N; ++i) CHECK(same_bits(got[i], a[i] >= b[i] ? a[i] : b[i]));
    store(got, keep(ge, va));
    for (std::size_t i = 0; i < N; ++i) CHECK(same_bits(got[i], a[i] >= b[i] ? a[i] : 0.0f));
    // Truncation and conversion on finite values in range.
    std::int32_t whole[N];
    for (std::size_t i = 0; i < N; ++i) a[i] = std::isnan(a[i]) ? 7.75f : a[i];
    store_ints(whole, truncate(load(Lanes16{}, a)));
    for (std::size_t i = 0; i < N; ++i) CHECK(whole[i] == static_cast<std::int32_t>(a[i]));
    store(got, to_float(ints_of(whole)));
    for (std::size_t i = 0; i < N; ++i) CHECK(same_bits(got[i], static_cast<float>(whole[i])));
}

void check_int_lanes(std::mt19937& rng) {
    std::int32_t a[N], b[N], got[N];
    for (std::size_t i = 0; i < N; ++i) {
        a[i] = static_cast<std::int32_t>(rng());
        b[i] = i % 3 == 0 ? a[i] : static_cast<std::int32_t>(rng());
    }
    const I32x16 va = ints_of(a), vb = ints_of(b);
    const Mask32x16 gt = greater(va, vb);
    store_ints(got, as_int(gt & greater(vb, splat_int(Lanes16{}, 0))));
    for (std::size_t i = 0; i < N; ++i) CHECK(got[i] == (a[i] > b[i] && b[i] > 0 ? -1 : 0));
    // Lookups and gathers: a table of sixteen, indices 0..15; the
    // eight-entry table reads zeros past its end.
    float table[N];
    std::int32_t codes[N], index[N];
    for (std::size_t i = 0; i < N; ++i) {
        table[i] = static_cast<float>(rng() % 1000) * 0.25f;
        codes[i] = static_cast<std::int32_t>(rng() % 256);
        index[i] = static_cast<std::int32_t>(rng() % N);
    }
    float floats[N];
    store(floats, gather(table, ints_of(index)));
    for (std::size_t i = 0; i < N; ++i) {
        CHECK(same_bits(floats[i], table[static_cast<std::size_t>(index[i])]));
    }
    store_ints(got, gather(codes, ints_of(index)));
    for (std::size_t i = 0; i < N; ++i) CHECK(got[i] == codes[static_cast<std::size_t>(index[i])]);
    store_ints(got, lookup(ints_of(codes), ints_of(index)));
    for (std::size_t i = 0; i < N; ++i) CHECK(got[i] == codes[static_cast<std::size_t>(index[i])]);
    store_ints(got, lookup(load_table8(Lanes16{}, codes), ints_of(index)));
    for (std::size_t i = 0; i < N; ++i) {
        CHECK(got[i] == (index[i] < 8 ? codes[static_cast<std::size_t>(index[i])] : 0));
    }
}

void check_bytes(std::mt19937& rng) {
    // Four vectors of lanes narrowed to 64 bytes in lane order.
    std::int32_t lanes[4][N];
    for (auto& v : lanes) {
        for (std::int32_t& x : v) x = static_cast<std::int32_t>(rng() % 256);
    }
    std::uint8_t got[4 * N];
    store_bytes(got, narrow_to_bytes(ints_of(lanes[0]), ints_of(lanes[1]), ints_of(lanes[2]),
                                     ints_of(lanes[3])));
    for (std::size_t i = 0; i < 4 * N; ++i) CHECK(got[i] == lanes[i / N][i % N]);
    for (auto& v : lanes) {
        for (std::int32_t& x : v) x -= 128;
    }
    store_bytes(got, narrow_signed_to_bytes(ints_of(lanes[0]), ints_of(lanes[1]),
                                            ints_of(lanes[2]), ints_of(lanes[3])));
    for (std::size_t i = 0; i < 4 * N; ++i) {
        CHECK(got[i] == static_cast<std::uint8_t>(lanes[i / N][i % N]));
    }
    // Byte lookups in each 16-byte block, and wrapping subtraction.
    std::uint8_t table[16], index[4 * N];
    for (auto& x : table) x = static_cast<std::uint8_t>(rng());
    for (auto& x : index) x = static_cast<std::uint8_t>(rng() % 16);
    U8x64 looked = lookup16(load16_each_block(Lanes16{}, table), U8x64{_mm512_loadu_si512(index)});
    store_bytes(got, splat_bytes(Lanes16{}, 3) - looked);
    for (std::size_t i = 0; i < 4 * N; ++i) {
        CHECK(got[i] == static_cast<std::uint8_t>(3 - table[index[i]]));
    }
    // Bytes widened to lanes, and a band's two groups of eight in and out.
    std::uint8_t bytes[N];
    for (auto& x : bytes) x = static_cast<std::uint8_t>(rng());
    std::int32_t wide[N];
    store_ints(wide, widen_bytes(Lanes16{}, bytes));
    for (std::size_t i = 0; i < N; ++i) CHECK(wide[i] == bytes[i]);
    std::uint8_t first[24] = {}, second[24] = {};
    std::memcpy(first + 8, bytes, 8);
    std::memcpy(second + 8, bytes + 8, 8);
    std::uint8_t* const groups[2] = {first, second};
    I32x16 band[1];
    load_band_bytes(Lanes16{}, groups, 8, band);
    store_ints(wide, band[0]);
    for (std::size_t i = 0; i < N; ++i) CHECK(wide[i] == bytes[i]);
    std::int32_t codes[N];
    for (std::int32_t& x : codes) x = static_cast<std::int32_t>(rng() % 256);
    store_band_bytes(Lanes16{}, groups, 8, {ints_of(codes)});
    for (std::size_t i = 0; i < 8; ++i) {
        CHECK(first[8 + i] == codes[i] && second[8 + i] == codes[8 + i]);
        CHECK(first[i] == 0 && first[16 + i] == 0 && second[i] == 0 && second[16 + i] == 0);
    }
}

template <int L>
void check_store_lane(const float (&x)[N]) {
    float slot[3] = {1.0f, 2.0f, 3.0f};
    store_lane<L>(slot + 1, load(Lanes16{}, x));
    CHECK(same_bits(slot[1], x[L]) && slot[0] == 1.0f && slot[2] == 3.0f);
}

void check_u64_lanes(std::mt19937& rng) {
    std::uint64_t a[8], b[8], even[8], odd[8];
    for (std::size_t i = 0; i < 8; ++i) {
        a[i] = (static_cast<std::uint64_t>(rng()) << 32) ^ rng();
        b[i] = (static_cast<std::uint64_t>(rng()) << 32) ^ rng();
    }
    a[0] = ~std::uint64_t{0};
    b[0] = ~std::uint64_t{0};
    const U64x8 va = load_u64(Lanes16{}, a), vb = load_u64(Lanes16{}, b);
    std::uint64_t got[8];
    const auto out = [&](U64x8 v) { _mm512_storeu_si512(got, v.v); };
    out(multiply(va, vb));
    for (std::size_t i = 0; i < 8; ++i) CHECK(got[i] == a[i] * b[i]);
    out(multiply_high(va, vb));
    for (std::size_t i = 0; i < 8; ++i) {
        // Bits 32..63 of the 64-bit product, as the draws read them.
        CHECK(got[i] >> 32 == (a[i] * b[i]) >> 32);
    }
    out(shift_right<30>(va) ^ (va + splat_u64(Lanes16{}, 5)));
    for (std::size_t i = 0; i < 8; ++i) CHECK(got[i] == ((a[i] >> 30) ^ (a[i] + 5)));
    for (std::size_t i = 0; i < 8; ++i) {
        even[i] = a[i];
        odd[i] = b[i];
    }
    std::int32_t words[N];
    store_ints(words, high_words(load_u64(Lanes16{}, even), load_u64(Lanes16{}, odd)));
    for (std::size_t i = 0; i < 8; ++i) {
        CHECK(static_cast<std::uint32_t>(words[2 * i]) == even[i] >> 32);
        CHECK(static_cast<std::uint32_t>(words[2 * i + 1]) == odd[i] >> 32);
    }
}

void check_vector_ops_16() {
    std::mt19937 rng(16);
    for (int round = 0; round < 200; ++round) {
        check_float_lanes(rng);
        check_int_lanes(rng);
        check_bytes(rng);
        check_u64_lanes(rng);
    }
    float x[N];
    fill_floats(rng, x);
    check_store_lane<0>(x);
    check_store_lane<1>(x);
    check_store_lane<6>(x);
    check_store_lane<11>(x);
    check_store_lane<14>(x);
    check_store_lane<15>(x);
}

}  // namespace
DITHERING_TARGET_AVX512_END

CORE_TEST(vector_ops_in_avx512_registers) {
    if (!dithering::isa_available(dithering::Isa::avx512)) return;
    check_vector_ops_16();
}
#endif
