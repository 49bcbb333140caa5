// The 128-bit vectors of vec128.hpp as plain arrays, for any processor.
// Included only through vec128.hpp, which picks one back end per build and
// defines DITHERING_VEC128_INLINE around it.
#pragma once

#include <cstdint>
#include <cstring>

#ifndef DITHERING_VEC128_INLINE
#error "include core/simd/vec128.hpp, which picks the back end"
#endif

namespace dithering::simd {

// The portable form: the same rules, one lane at a time.
struct F32x4 {
    float v[4];
};
struct Mask32x4 {
    bool v[4];
};
struct F64x2 {
    double v[2];
};
struct Mask64x2 {
    bool v[2];
};

#define DITHERING_VEC_LANES(T, n, expr) \
    T r;                                \
    for (int i = 0; i < (n); ++i) r.v[i] = (expr); \
    return r

DITHERING_VEC128_INLINE F32x4 splat(float x) { return {{x, x, x, x}}; }
DITHERING_VEC128_INLINE F32x4 lanes(float a, float b, float c, float d) { return {{a, b, c, d}}; }
DITHERING_VEC128_INLINE F32x4 load4(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
DITHERING_VEC128_INLINE F32x4 load_first(const float* p) { return {{p[0], 0.0f, 0.0f, 0.0f}}; }
DITHERING_VEC128_INLINE void store4(float* p, F32x4 a) {
    for (int i = 0; i < 4; ++i) p[i] = a.v[i];
}
DITHERING_VEC128_INLINE void store_first(float* p, F32x4 a) { p[0] = a.v[0]; }
DITHERING_VEC128_INLINE F32x4 operator+(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] + b.v[i]); }
DITHERING_VEC128_INLINE F32x4 operator-(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] - b.v[i]); }
DITHERING_VEC128_INLINE F32x4 operator*(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] * b.v[i]); }
DITHERING_VEC128_INLINE F32x4 min(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] < b.v[i] ? a.v[i] : b.v[i]); }
DITHERING_VEC128_INLINE F32x4 max(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(F32x4, 4, a.v[i] > b.v[i] ? a.v[i] : b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 less(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] < b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 less_equal(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] <= b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 equal(F32x4 a, F32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] == b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 operator&(Mask32x4 a, Mask32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] && b.v[i]); }
DITHERING_VEC128_INLINE Mask32x4 operator|(Mask32x4 a, Mask32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] || b.v[i]); }
DITHERING_VEC128_INLINE F32x4 select(Mask32x4 m, F32x4 yes, F32x4 no) { DITHERING_VEC_LANES(F32x4, 4, m.v[i] ? yes.v[i] : no.v[i]); }
DITHERING_VEC128_INLINE unsigned bits(Mask32x4 m) {
    unsigned r = 0;
    for (unsigned i = 0; i < 4; ++i) r |= m.v[i] ? 1u << i : 0u;
    return r;
}
DITHERING_VEC128_INLINE float first(F32x4 a) { return a.v[0]; }
DITHERING_VEC128_INLINE float second(F32x4 a) { return a.v[1]; }
DITHERING_VEC128_INLINE float third(F32x4 a) { return a.v[2]; }
DITHERING_VEC128_INLINE float fourth(F32x4 a) { return a.v[3]; }
DITHERING_VEC128_INLINE F32x4 keep(Mask32x4 m, F32x4 a) { DITHERING_VEC_LANES(F32x4, 4, m.v[i] ? a.v[i] : 0.0f); }

struct I32x4 {
    std::int32_t v[4];
};

// The integer lanes wrap as the vector instructions do, computed unsigned
// (signed overflow is undefined in C++).
DITHERING_VEC128_INLINE std::int32_t wrap(std::uint32_t x) {
    std::int32_t r;
    std::memcpy(&r, &x, sizeof r);
    return r;
}
DITHERING_VEC128_INLINE I32x4 splat_int(std::int32_t x) { return {{x, x, x, x}}; }
DITHERING_VEC128_INLINE I32x4 load4(const std::int32_t* p) { return {{p[0], p[1], p[2], p[3]}}; }
DITHERING_VEC128_INLINE void store4(std::int32_t* p, I32x4 a) {
    for (int i = 0; i < 4; ++i) p[i] = a.v[i];
}
DITHERING_VEC128_INLINE I32x4 operator+(I32x4 a, I32x4 b) {
    DITHERING_VEC_LANES(I32x4, 4, wrap(static_cast<std::uint32_t>(a.v[i]) + static_cast<std::uint32_t>(b.v[i])));
}
DITHERING_VEC128_INLINE I32x4 operator-(I32x4 a, I32x4 b) {
    DITHERING_VEC_LANES(I32x4, 4, wrap(static_cast<std::uint32_t>(a.v[i]) - static_cast<std::uint32_t>(b.v[i])));
}
DITHERING_VEC128_INLINE Mask32x4 greater(I32x4 a, I32x4 b) { DITHERING_VEC_LANES(Mask32x4, 4, a.v[i] > b.v[i]); }
DITHERING_VEC128_INLINE I32x4 as_int(Mask32x4 m) { DITHERING_VEC_LANES(I32x4, 4, m.v[i] ? -1 : 0); }
DITHERING_VEC128_INLINE F32x4 to_float(I32x4 a) { DITHERING_VEC_LANES(F32x4, 4, static_cast<float>(a.v[i])); }
DITHERING_VEC128_INLINE I32x4 truncate(F32x4 a) { DITHERING_VEC_LANES(I32x4, 4, static_cast<std::int32_t>(a.v[i])); }
DITHERING_VEC128_INLINE void widen_bytes(const std::uint8_t* p, I32x4& low, I32x4& high) {
    for (int i = 0; i < 4; ++i) {
        low.v[i] = p[i];
        high.v[i] = p[i + 4];
    }
}
DITHERING_VEC128_INLINE I32x4 lookup8(I32x4 low, I32x4 high, I32x4 index) {
    DITHERING_VEC_LANES(I32x4, 4, index.v[i] < 4 ? low.v[index.v[i]] : high.v[index.v[i] - 4]);
}
DITHERING_VEC128_INLINE F32x4 swap_halves(F32x4 a) { return {{a.v[2], a.v[3], a.v[0], a.v[1]}}; }
DITHERING_VEC128_INLINE F32x4 swap_neighbours(F32x4 a) { return {{a.v[1], a.v[0], a.v[3], a.v[2]}}; }

DITHERING_VEC128_INLINE F64x2 splat2(double x) { return {{x, x}}; }
DITHERING_VEC128_INLINE F64x2 load2(const double* p) { return {{p[0], p[1]}}; }
DITHERING_VEC128_INLINE void store2(double* p, F64x2 a) { p[0] = a.v[0]; p[1] = a.v[1]; }
DITHERING_VEC128_INLINE F64x2 operator+(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(F64x2, 2, a.v[i] + b.v[i]); }
DITHERING_VEC128_INLINE F64x2 operator-(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(F64x2, 2, a.v[i] - b.v[i]); }
DITHERING_VEC128_INLINE F64x2 operator*(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(F64x2, 2, a.v[i] * b.v[i]); }
DITHERING_VEC128_INLINE F64x2 max(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(F64x2, 2, a.v[i] > b.v[i] ? a.v[i] : b.v[i]); }
DITHERING_VEC128_INLINE Mask64x2 greater(F64x2 a, F64x2 b) { DITHERING_VEC_LANES(Mask64x2, 2, a.v[i] > b.v[i]); }
DITHERING_VEC128_INLINE unsigned bits(Mask64x2 m) { return (m.v[0] ? 1u : 0u) | (m.v[1] ? 2u : 0u); }

struct U8x16 {
    std::uint8_t v[16];
};

DITHERING_VEC128_INLINE U8x16 load16(const std::uint8_t* p) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = p[i];
    return r;
}
DITHERING_VEC128_INLINE void store16(std::uint8_t* p, U8x16 a) {
    for (int i = 0; i < 16; ++i) p[i] = a.v[i];
}
DITHERING_VEC128_INLINE U8x16 operator+(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] + b.v[i])); }
DITHERING_VEC128_INLINE U8x16 operator&(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] & b.v[i])); }
DITHERING_VEC128_INLINE U8x16 operator|(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] | b.v[i])); }
DITHERING_VEC128_INLINE U8x16 and_not(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] & ~b.v[i])); }
DITHERING_VEC128_INLINE U8x16 min(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, a.v[i] < b.v[i] ? a.v[i] : b.v[i]); }
DITHERING_VEC128_INLINE U8x16 equal(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(a.v[i] == b.v[i] ? 0xff : 0)); }
DITHERING_VEC128_INLINE U8x16 zip_low(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, i % 2 == 0 ? a.v[i / 2] : b.v[i / 2]); }
DITHERING_VEC128_INLINE U8x16 zip_high(U8x16 a, U8x16 b) { DITHERING_VEC_LANES(U8x16, 16, i % 2 == 0 ? a.v[8 + i / 2] : b.v[8 + i / 2]); }
DITHERING_VEC128_INLINE U8x16 narrow_to_bytes(I32x4 a, I32x4 b, I32x4 c, I32x4 d) {
    const I32x4* quarters[4] = {&a, &b, &c, &d};
    DITHERING_VEC_LANES(U8x16, 16, static_cast<std::uint8_t>(quarters[i / 4]->v[i % 4]));
}
DITHERING_VEC128_INLINE void store_low8(std::uint8_t* p, U8x16 a) {
    for (int i = 0; i < 8; ++i) p[i] = a.v[i];
}
DITHERING_VEC128_INLINE void store_high8(std::uint8_t* p, U8x16 a) {
    for (int i = 0; i < 8; ++i) p[i] = a.v[8 + i];
}

#undef DITHERING_VEC_LANES

// ---- Byte operations of the threshold compare rows ----
// Kept apart from the operations above so that each group of loops adds
// its own operations in one place.

DITHERING_VEC128_INLINE U8x16 splat16(std::uint8_t x) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = x;
    return r;
}
DITHERING_VEC128_INLINE U8x16 operator-(U8x16 a, U8x16 b) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = static_cast<std::uint8_t>(a.v[i] - b.v[i]);
    return r;
}
DITHERING_VEC128_INLINE U8x16 operator^(U8x16 a, U8x16 b) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = static_cast<std::uint8_t>(a.v[i] ^ b.v[i]);
    return r;
}
DITHERING_VEC128_INLINE U8x16 greater_signed(U8x16 a, U8x16 b) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) {
        r.v[i] = static_cast<std::int8_t>(a.v[i]) > static_cast<std::int8_t>(b.v[i]) ? 0xff : 0;
    }
    return r;
}
DITHERING_VEC128_INLINE U8x16 lookup16(U8x16 table, U8x16 index) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = (index.v[i] & 0x80) != 0 ? 0 : table.v[index.v[i] & 15];
    return r;
}

// ---- 64-bit lanes of the random draws ----
// SplitMix64 in vector lanes: plain 64-bit arithmetic, whose products are
// modulo 2^64 as the vector forms build them.

struct U64x2 {
    std::uint64_t v[2];
};
DITHERING_VEC128_INLINE U64x2 splat_u64(std::uint64_t x) { return {{x, x}}; }
DITHERING_VEC128_INLINE U64x2 lanes_u64(std::uint64_t a, std::uint64_t b) { return {{a, b}}; }
DITHERING_VEC128_INLINE U64x2 operator+(U64x2 a, U64x2 b) {
    return {{a.v[0] + b.v[0], a.v[1] + b.v[1]}};
}
DITHERING_VEC128_INLINE U64x2 operator^(U64x2 a, U64x2 b) {
    return {{a.v[0] ^ b.v[0], a.v[1] ^ b.v[1]}};
}
template <int N>
DITHERING_VEC128_INLINE U64x2 shift_right(U64x2 a) {
    return {{a.v[0] >> N, a.v[1] >> N}};
}
DITHERING_VEC128_INLINE U64x2 multiply(U64x2 a, U64x2 b) {
    return {{a.v[0] * b.v[0], a.v[1] * b.v[1]}};
}
DITHERING_VEC128_INLINE I32x4 high_words(U64x2 even, U64x2 odd) {
    return {{wrap(static_cast<std::uint32_t>(even.v[0] >> 32)),
             wrap(static_cast<std::uint32_t>(odd.v[0] >> 32)),
             wrap(static_cast<std::uint32_t>(even.v[1] >> 32)),
             wrap(static_cast<std::uint32_t>(odd.v[1] >> 32))}};
}
DITHERING_VEC128_INLINE I32x4 operator^(I32x4 a, I32x4 b) {
    return {{a.v[0] ^ b.v[0], a.v[1] ^ b.v[1], a.v[2] ^ b.v[2], a.v[3] ^ b.v[3]}};
}
DITHERING_VEC128_INLINE I32x4 operator&(I32x4 a, I32x4 b) {
    return {{a.v[0] & b.v[0], a.v[1] & b.v[1], a.v[2] & b.v[2], a.v[3] & b.v[3]}};
}
DITHERING_VEC128_INLINE U8x16 narrow_signed_to_bytes(I32x4 a, I32x4 b, I32x4 c, I32x4 d) {
    return narrow_to_bytes(a, b, c, d);
}

// ---- 32-bit lanes as unsigned bit patterns ----
// The nearest-colour searches' reductions rank distances by their bit
// patterns (see vec8_avx2.hpp, min_unsigned); kept apart from the
// operations above so that each group of loops adds its own in one place.

DITHERING_VEC128_INLINE I32x4 as_bits(F32x4 a) {
    I32x4 r;
    std::memcpy(r.v, a.v, sizeof r.v);
    return r;
}
DITHERING_VEC128_INLINE I32x4 min_unsigned(I32x4 a, I32x4 b) {
    I32x4 r;
    for (int i = 0; i < 4; ++i) {
        const bool b_less = static_cast<std::uint32_t>(b.v[i]) < static_cast<std::uint32_t>(a.v[i]);
        r.v[i] = b_less ? b.v[i] : a.v[i];
    }
    return r;
}
DITHERING_VEC128_INLINE Mask32x4 equal(I32x4 a, I32x4 b) {
    Mask32x4 r;
    for (int i = 0; i < 4; ++i) r.v[i] = a.v[i] == b.v[i];
    return r;
}
DITHERING_VEC128_INLINE I32x4 select(Mask32x4 m, I32x4 yes, I32x4 no) {
    I32x4 r;
    for (int i = 0; i < 4; ++i) r.v[i] = m.v[i] ? yes.v[i] : no.v[i];
    return r;
}

// ---- Interleaved bytes <-> one vector per channel ----
// Byte i of channel c is byte C * i + c at p (C channels, 16 pixels).

DITHERING_VEC128_INLINE void load_deinterleaved2(const std::uint8_t* p, U8x16& a, U8x16& b) {
    for (int i = 0; i < 16; ++i) {
        a.v[i] = p[2 * i];
        b.v[i] = p[2 * i + 1];
    }
}
DITHERING_VEC128_INLINE void load_deinterleaved3(const std::uint8_t* p, U8x16& a, U8x16& b,
                                                 U8x16& c) {
    for (int i = 0; i < 16; ++i) {
        a.v[i] = p[3 * i];
        b.v[i] = p[3 * i + 1];
        c.v[i] = p[3 * i + 2];
    }
}
DITHERING_VEC128_INLINE void load_deinterleaved4(const std::uint8_t* p, U8x16& a, U8x16& b,
                                                 U8x16& c, U8x16& d) {
    for (int i = 0; i < 16; ++i) {
        a.v[i] = p[4 * i];
        b.v[i] = p[4 * i + 1];
        c.v[i] = p[4 * i + 2];
        d.v[i] = p[4 * i + 3];
    }
}
DITHERING_VEC128_INLINE void store_interleaved2(std::uint8_t* p, U8x16 a, U8x16 b) {
    for (int i = 0; i < 16; ++i) {
        p[2 * i] = a.v[i];
        p[2 * i + 1] = b.v[i];
    }
}
DITHERING_VEC128_INLINE void store_interleaved3(std::uint8_t* p, U8x16 a, U8x16 b, U8x16 c) {
    for (int i = 0; i < 16; ++i) {
        p[3 * i] = a.v[i];
        p[3 * i + 1] = b.v[i];
        p[3 * i + 2] = c.v[i];
    }
}
DITHERING_VEC128_INLINE void store_interleaved4(std::uint8_t* p, U8x16 a, U8x16 b, U8x16 c,
                                                U8x16 d) {
    for (int i = 0; i < 16; ++i) {
        p[4 * i] = a.v[i];
        p[4 * i + 1] = b.v[i];
        p[4 * i + 2] = c.v[i];
        p[4 * i + 3] = d.v[i];
    }
}

// ---- 32-bit lanes of the grid search ----
// A value's cell in NearestGrid, found on its three coordinates at once;
// kept apart from the operations above so that each group of loops adds
// its own in one place.

DITHERING_VEC128_INLINE I32x4 lanes_int(std::int32_t a, std::int32_t b, std::int32_t c,
                                        std::int32_t d) {
    return {{a, b, c, d}};
}
// Each lane shifted right by N (1..31), zeros shifted in.
template <int N>
DITHERING_VEC128_INLINE I32x4 shift_right_logical(I32x4 a) {
    static_assert(N >= 1 && N < 32);
    I32x4 r;
    for (int i = 0; i < 4; ++i) r.v[i] = wrap(static_cast<std::uint32_t>(a.v[i]) >> N);
    return r;
}
DITHERING_VEC128_INLINE I32x4 operator|(I32x4 a, I32x4 b) {
    return {{a.v[0] | b.v[0], a.v[1] | b.v[1], a.v[2] | b.v[2], a.v[3] | b.v[3]}};
}
// The or of the four lanes.
DITHERING_VEC128_INLINE std::uint32_t or_lanes(I32x4 a) {
    return static_cast<std::uint32_t>(a.v[0] | a.v[1] | a.v[2] | a.v[3]);
}
// Each lane of a shifted left by the same lane of counts (0..32), zeros
// shifted in; a count of 32 shifts every bit out (a C++ shift by 32 would
// be undefined, hence the test).
DITHERING_VEC128_INLINE I32x4 shift_left_each(I32x4 a, I32x4 counts) {
    I32x4 r;
    for (int i = 0; i < 4; ++i) {
        const auto count = static_cast<std::uint32_t>(counts.v[i]);
        r.v[i] = count >= 32 ? 0 : wrap(static_cast<std::uint32_t>(a.v[i]) << count);
    }
    return r;
}

// ---- Byte interleaves of the channel planes ----

// The low (high) half's elements of `width` bytes of a and b, alternating.
DITHERING_VEC128_INLINE U8x16 zip_elements(U8x16 a, U8x16 b, int width, bool high) {
    U8x16 r;
    const int elements = 16 / width;
    for (int j = 0; j < elements / 2; ++j) {
        const int from = width * (j + (high ? elements / 2 : 0));
        for (int k = 0; k < width; ++k) {
            r.v[width * 2 * j + k] = a.v[from + k];
            r.v[width * (2 * j + 1) + k] = b.v[from + k];
        }
    }
    return r;
}
// zip_low and zip_high on elements of 2, 4 and 8 bytes.
DITHERING_VEC128_INLINE U8x16 zip_low16(U8x16 a, U8x16 b) { return zip_elements(a, b, 2, false); }
DITHERING_VEC128_INLINE U8x16 zip_high16(U8x16 a, U8x16 b) { return zip_elements(a, b, 2, true); }
DITHERING_VEC128_INLINE U8x16 zip_low32(U8x16 a, U8x16 b) { return zip_elements(a, b, 4, false); }
DITHERING_VEC128_INLINE U8x16 zip_high32(U8x16 a, U8x16 b) { return zip_elements(a, b, 4, true); }
DITHERING_VEC128_INLINE U8x16 zip_low64(U8x16 a, U8x16 b) { return zip_elements(a, b, 8, false); }
DITHERING_VEC128_INLINE U8x16 zip_high64(U8x16 a, U8x16 b) { return zip_elements(a, b, 8, true); }
// Byte by byte: `yes` where the mask byte is 0xff, `no` where it is 0.
DITHERING_VEC128_INLINE U8x16 select_bytes(U8x16 mask, U8x16 yes, U8x16 no) {
    U8x16 r;
    for (int i = 0; i < 16; ++i) r.v[i] = mask.v[i] != 0 ? yes.v[i] : no.v[i];
    return r;
}

}  // namespace dithering::simd
