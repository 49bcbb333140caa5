// The 8-lane type's pixel moves of the threshold palettes, held to plain
// byte loops: whole pixels in, channels 0..2 out as lanes, and colours
// from a table of words back over channels 0..2 with every other byte
// kept. Included after one form of the type (as the library's loops are),
// so each form gets its own copy.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"

namespace pixel_moves {
namespace {

using namespace dithering::simd;

// Eight pixels of `size` bytes inside a buffer with guard bytes on either
// side, so that a store past either end shows.
constexpr std::size_t GUARD = 32;

void check_loads(std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    for (const std::size_t size : {std::size_t{3}, std::size_t{4}}) {
        std::vector<std::uint8_t> px(8 * size);
        for (auto& b : px) b = static_cast<std::uint8_t>(byte(rng));
        const PixelChannels8 got = size == 3 ? load_rgb8(px.data()) : load_rgba8(px.data());
        for (std::size_t k = 0; k < 3; ++k) {
            std::int32_t lanes[8];
            store8(lanes, got.c[k]);
            for (std::size_t i = 0; i < 8; ++i) CHECK(lanes[i] == px[size * i + k]);
        }
    }
}

void check_table_stores(std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    // Up to sixteen words the table is looked up by permutes, beyond by a
    // gather: both, at their largest and smallest.
    for (const std::size_t words :
         {std::size_t{2}, std::size_t{16}, std::size_t{17}, std::size_t{300}}) {
        // At least sixteen words are readable, as the library's tables are.
        std::vector<std::uint32_t> table(std::max<std::size_t>(words, 16));
        for (auto& w : table) {
            const std::uint8_t rgb0[4] = {static_cast<std::uint8_t>(byte(rng)),
                                          static_cast<std::uint8_t>(byte(rng)),
                                          static_cast<std::uint8_t>(byte(rng)), 0};
            std::memcpy(&w, rgb0, 4);
        }
        std::uint32_t index[8];
        for (auto& i : index) i = static_cast<std::uint32_t>(rng() % words);
        for (const std::size_t size : {std::size_t{3}, std::size_t{4}}) {
            std::vector<std::uint8_t> buffer(GUARD + 8 * size + GUARD);
            for (auto& b : buffer) b = static_cast<std::uint8_t>(byte(rng));
            std::vector<std::uint8_t> want = buffer;
            for (std::size_t i = 0; i < 8; ++i) {
                std::memcpy(&want[GUARD + size * i], &table[index[i]], 3);
            }
            store_table_pixels8(buffer.data() + GUARD, size,
                                reinterpret_cast<const std::int32_t*>(table.data()), words, index);
            CHECK(buffer == want);
        }
    }
}

void check_pixel_moves() {
    std::mt19937 rng(29);
    for (int round = 0; round < 50; ++round) {
        check_loads(rng);
        check_table_stores(rng);
    }
}

}  // namespace
}  // namespace pixel_moves
