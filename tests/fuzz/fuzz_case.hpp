// What the fuzz harnesses share: reading the fuzzer's bytes as a small
// case (shape, options, pixels, palette), and reporting a disagreement
// between two forms in a form a person can read before the process aborts.
//
// Every harness runs one case through the plain (reference) form and
// through every other form this processor runs, and compares the results
// byte for byte; the first difference aborts, which libFuzzer records as a
// crash with the input that caused it. DITHERING_CORE_ISA (portable,
// vec128, avx2) caps the instruction sets the production routes pick
// from, to fuzz those routes as on a processor without the wider ones.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "isa_limit.hpp"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Only the variable: libFuzzer's own options are left to libFuzzer.
    int argc = 1;
    char* argv[] = {nullptr, nullptr};
    if (!core_tests::apply_isa_limit(argc, argv)) std::exit(2);
    return 0;
}

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// The fuzzer's bytes, read front to back. Reading past the end gives
// zeros, so that every input, however short, is a valid case and the
// fuzzer never wastes executions on inputs the harness would refuse.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    bool flag() { return (byte() & 1) != 0; }
    // 0..n-1 (n >= 1); two bytes, so that ranges above 256 are reachable.
    std::size_t below(std::size_t n) {
        const std::size_t v = std::size_t{byte()} | std::size_t{byte()} << 8;
        return v % n;
    }
    std::size_t in_range(std::size_t lo, std::size_t hi) { return lo + below(hi - lo + 1); }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t{byte()} << (8 * i);
        return v;
    }
    std::uint64_t u64() { return std::uint64_t{u32()} | std::uint64_t{u32()} << 32; }
    float raw_float() {
        const std::uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    bool empty() const { return pos_ >= size_; }
    std::size_t left() const { return pos_ < size_ ? size_ - pos_ : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A small generator for filling images and palettes from a few bytes of
// input: the fuzzer then steers a whole image with one seed instead of
// thousands of bytes.
class Mixer {
public:
    explicit Mixer(std::uint64_t seed) : state_(seed ^ 0x9e3779b97f4a7c15ULL) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 56); }

private:
    std::uint64_t state_;
};

// How an image's bytes are made. Error diffusion behaves very differently
// on noise (errors cancel), on flat areas (errors pile up along a row and
// down the band), on ramps (every level crossed) and on the two extremes.
inline const char* const PIXEL_STYLES[] = {"input bytes", "seeded noise", "flat",  "ramp",
                                           "two values",  "extremes",     "dark", "bright"};

inline Bytes make_pixels(Reader& in, std::size_t count, std::string& style_name) {
    const std::size_t style = in.byte() % std::size(PIXEL_STYLES);
    style_name = PIXEL_STYLES[style];
    Bytes px(count);
    if (style == 0) {
        // The input's own bytes, repeated; a byte's worth of length first so
        // the fuzzer can shape a whole short row by hand.
        const std::size_t n = 1 + in.byte() % 64;
        Bytes own(n);
        for (auto& b : own) b = in.byte();
        for (std::size_t i = 0; i < count; ++i) px[i] = own[i % n];
        return px;
    }
    const std::uint8_t a = in.byte(), b = in.byte();
    Mixer mix(in.u64());
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t r = mix.byte();
        switch (style) {
            case 1: px[i] = r; break;
            case 2: px[i] = a; break;
            case 3: px[i] = static_cast<std::uint8_t>(a + i * (1u + b % 7)); break;
            case 4: px[i] = (r & 1) != 0 ? a : b; break;
            case 5: px[i] = (r & 1) != 0 ? 255 : 0; break;
            case 6: px[i] = static_cast<std::uint8_t>(r % (1u + a % 48)); break;
            default: px[i] = static_cast<std::uint8_t>(255 - r % (1u + a % 48)); break;
        }
    }
    return px;
}

// Palette shapes that stress the nearest-colour searches: ties (duplicates,
// coarse values, colours mirrored so two distances add the same squares in
// another order), crowds (clusters, near-duplicates: long candidate lists
// in one grid cell), the grid's own cell edges (multiples of 8 and 16), the
// cube's corners, and palettes far from most pixels (dark or bright only,
// or a narrow middle band) so that unbounded error runs far outside
// 0..255 and the searches leave their innermost cube.
inline const char* const PALETTE_SHAPES[] = {
    "random",   "clusters",    "near-duplicates", "duplicates",     "cube corners",
    "dark only", "bright only", "middle band",    "coarse (x85)",   "multiples of 8",
    "mirrored",  "one channel"};

inline Bytes make_palette(Reader& in, std::size_t colors, std::string& shape_name) {
    const std::size_t shape = in.byte() % std::size(PALETTE_SHAPES);
    shape_name = PALETTE_SHAPES[shape];
    const std::uint8_t knob = in.byte();
    Mixer mix(in.u64());
    Bytes c(3 * colors);
    for (auto& v : c) v = mix.byte();
    const int spread = 1 + knob % 12;
    switch (shape) {
        case 1: {  // a few tight clusters
            const std::size_t centres = 1 + knob % 5;
            for (std::size_t j = 0; j < colors; ++j) {
                for (std::size_t k = 0; k < 3; ++k) {
                    const int centre = c[3 * (j % centres) + k];
                    const auto width = static_cast<std::uint64_t>(2 * spread + 1);
                    const int off = static_cast<int>(mix.next() % width) - spread;
                    c[3 * j + k] = static_cast<std::uint8_t>(std::clamp(centre + off, 0, 255));
                }
            }
            break;
        }
        case 2:  // each colour one step from an earlier one
            for (std::size_t j = 1; j < colors; ++j) {
                const std::size_t from = mix.next() % j;
                for (std::size_t k = 0; k < 3; ++k) {
                    const int off = static_cast<int>(mix.next() % 3) - 1;
                    c[3 * j + k] = static_cast<std::uint8_t>(std::clamp(c[3 * from + k] + off, 0, 255));
                }
            }
            break;
        case 3:  // exact repeats: the first of equal colours must win
            for (std::size_t j = 1; j < colors; ++j) {
                if (mix.next() % 3 != 0) std::memcpy(&c[3 * j], &c[3 * (mix.next() % j)], 3);
            }
            break;
        case 4:  // the eight corners first, in the fuzzer's rotation
            for (std::size_t j = 0; j < colors && j < 8; ++j) {
                const std::size_t corner = (j + knob) % 8;
                for (std::size_t k = 0; k < 3; ++k) {
                    c[3 * j + k] = (corner >> k & 1) != 0 ? 255 : 0;
                }
            }
            break;
        case 5:
            for (auto& v : c) v = static_cast<std::uint8_t>(v % (1 + knob % 40));
            break;
        case 6:
            for (auto& v : c) v = static_cast<std::uint8_t>(255 - v % (1 + knob % 40));
            break;
        case 7:
            for (auto& v : c) v = static_cast<std::uint8_t>(100 + v % 51);
            break;
        case 8:
            for (auto& v : c) v = static_cast<std::uint8_t>((v % 4) * 85);
            break;
        case 9:
            for (auto& v : c) v = static_cast<std::uint8_t>(std::min(255, (v % 33) * 8));
            break;
        case 10:  // (a, b, c) then (c, b, a)
            for (std::size_t j = 1; j < colors; j += 2) {
                c[3 * j] = c[3 * j - 1];
                c[3 * j + 1] = c[3 * j - 2];
                c[3 * j + 2] = c[3 * j - 3];
            }
            break;
        case 11:  // one channel varies, the others equal: a grey ramp's ties
            for (std::size_t j = 0; j < colors; ++j) {
                c[3 * j + 1] = c[3 * j + 2] = knob;
            }
            break;
        default: break;
    }
    return c;
}

// ------------------------------------------------------------- reporting

// A case's description, built as it is decoded, printed on a disagreement.
class Story {
public:
    void add(const char* format, ...) {
        char buffer[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        if (!text_.empty()) text_ += "\n  ";
        text_ += buffer;
    }
    void add_palette(const Bytes& colors) {
        std::string line = "palette (" + std::to_string(colors.size() / 3) + "):";
        for (std::size_t j = 0; j < colors.size() / 3; ++j) {
            if (j == 64) {
                line += " ...";
                break;
            }
            char hex[16];
            std::snprintf(hex, sizeof hex, " #%02x%02x%02x", colors[3 * j], colors[3 * j + 1],
                          colors[3 * j + 2]);
            line += hex;
        }
        add("%s", line.c_str());
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

[[noreturn]] inline void disagree(const Story& story, const char* form, const std::string& detail) {
    std::fprintf(stderr, "\n==== forms disagree: %s ====\n  %s\n  %s\n\n", form,
                 story.text().c_str(), detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// Aborts unless `got` equals `want`, naming the first differing byte by its
// row, column and channel in an image of `width` x `channels`.
inline void expect_same_image(const Story& story, const char* form, const Bytes& want,
                              const Bytes& got, std::size_t width, std::size_t channels) {
    if (got == want) return;
    std::size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
    char detail[256];
    if (i >= want.size() || i >= got.size()) {
        std::snprintf(detail, sizeof detail, "sizes differ: %zu plain, %zu %s", want.size(),
                      got.size(), form);
    } else {
        const std::size_t pixel = i / channels;
        std::snprintf(detail, sizeof detail,
                      "first differing byte %zu: row %zu, column %zu, channel %zu: plain %u, "
                      "%s %u",
                      i, pixel / width, pixel % width, i % channels, unsigned{want[i]}, form,
                      unsigned{got[i]});
    }
    disagree(story, form, detail);
}

// A diffusion strength: mostly the usual ones, sometimes any byte's worth
// of 0..1, and now and then more than 1 (weights adding up to more than 1,
// which the fast forms refuse and the entry points must leave to the plain
// one).
inline float decode_diffusion_strength(Reader& in) {
    const std::uint8_t mode = in.byte(), value = in.byte();
    switch (mode % 6) {
        case 0: return 1.0f;
        case 1: return 0.0f;
        case 2: return static_cast<float>(value) / 255.0f;
        case 3: return 1.0f + static_cast<float>(value) / 64.0f;
        case 4: return 0.5f;
        default: return 0.75f;
    }
}

}  // namespace fuzz
