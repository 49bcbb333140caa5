// Random dither to levels: the seeded draws, its loops and the choice among them.
#include "core/threshold/threshold_dither.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "core/threshold/threshold_loops.hpp"
#include "core/threshold/threshold_passes.hpp"

namespace dithering {
namespace {

constexpr std::uint64_t SEED_MIX = 0xd1b54a32d192ed03ULL;

void random_levels_plain(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                         std::uint64_t state) {
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels;
    const std::size_t pixels = img.height * img.width;
    for (std::size_t n = 0; n < pixels; ++n, p += channels) {
        state += SPLITMIX_GAMMA;
        const float offset = random_unit_offset(state) * amp;
        for (std::size_t c = 0; c < channels; ++c) {
            if (c != skip) p[c] = level_byte(space, levels, offset, p[c]);
        }
    }
}

void random_levels_portable(ImageView img, const LevelQuantizer& quantize, float amp,
                            std::uint64_t state) {
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels;
    const std::size_t pixels = img.height * img.width;
    std::size_t n = 0;
    if (channels == 1 && skip != 0) {
        // Four independent draws per round keep the multipliers busy.
        for (; n + 4 <= pixels; n += 4) {
            const std::uint64_t s = state + n * SPLITMIX_GAMMA;
            const float o0 = splitmix_unit_offset(s + 1 * SPLITMIX_GAMMA) * amp;
            const float o1 = splitmix_unit_offset(s + 2 * SPLITMIX_GAMMA) * amp;
            const float o2 = splitmix_unit_offset(s + 3 * SPLITMIX_GAMMA) * amp;
            const float o3 = splitmix_unit_offset(s + 4 * SPLITMIX_GAMMA) * amp;
            p[n] = quantize(p[n], o0);
            p[n + 1] = quantize(p[n + 1], o1);
            p[n + 2] = quantize(p[n + 2], o2);
            p[n + 3] = quantize(p[n + 3], o3);
        }
    }
    for (; n < pixels; ++n) {
        const float offset = splitmix_unit_offset(state + (n + 1) * SPLITMIX_GAMMA) * amp;
        std::uint8_t* px = p + n * channels;
        for (std::size_t c = 0; c < channels; ++c) {
            if (c != skip) px[c] = quantize(px[c], offset);
        }
    }
}

// The smallest float whose level is at least `level` (1 <= level <= top).
// With a positive inv_step the level never decreases as the value grows (a
// product with a positive constant, a clamp and a rounding all keep
// order), so the level of any value is the number of these bounds it
// reaches; NaN, level 0, reaches none. -inf has level 0 and +inf level top.
float first_value_reaching(const LevelQuantizer& quantize, std::uint32_t level) {
    return first_float_reaching([&quantize](float v) { return quantize.level_of(v); }, level);
}

// The one-pass form for one channel and at most four levels, when it
// applies: it needs the order argument above, and the amplitude scaled by
// 2^-32 without loss.
std::optional<RandomFewLevels> few_levels_for(const ColorSpace& space, const Levels& levels,
                                              const VectorQuantizer& vq, float amp) {
    const LevelQuantizer& quantize = vq.scalar;
    if (levels.count < 2 || levels.count > 4) return std::nullopt;
    if (!(quantize.inv_step > 0.0f) || !std::isfinite(quantize.inv_step)) return std::nullopt;
    if (quantize.top != static_cast<float>(levels.count - 1)) return std::nullopt;
    RandomFewLevels few{};
    few.lut = vq.lut_is_byte ? nullptr : space.lut.data();
    few.amp = amp;
    few.amp_2_32 = amp * 0x1p-32f;
    // Written so that a NaN amp fails too.
    if (!(few.amp_2_32 * 0x1p32f == amp)) return std::nullopt;
    few.terms = levels.count - 1;
    for (std::uint32_t j = 0; j < few.terms; ++j) {
        few.bounds[j] = first_value_reaching(quantize, j + 1);
    }
    for (std::uint32_t i = 0; i < levels.count; ++i) few.codes[i] = levels.codes[i];
    return few;
}

// The random vector loops of one form: AVX-512, AVX2, or 128-bit halves.
struct RandomVectorLoops {
    void (*draw_offsets)(std::uint64_t state, std::size_t count, float scale,
                         float* out) noexcept;
    void (*few_levels)(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                       std::uint64_t state, const RandomFewLevels& params, bool stream) noexcept;
    QuantizeOffsets quantize_offsets;
};

constexpr RandomVectorLoops RANDOM_LOOPS_VEC128 = {
    draw_offsets_vec128,
    [](const std::uint8_t* src, std::uint8_t* dst, std::size_t count, std::uint64_t state,
       const RandomFewLevels& params, bool) noexcept {
        random_few_levels_vec128(src, dst, count, state, params);
    },
    quantize_offsets_vec128};

// Whether the vector form takes the one-pass form below for this image.
bool random_one_pass_applies(const ImageView img, const ColorSpace& space, const Levels& levels,
                             float strength) {
    if (img.channels != 1 || img.alpha.value_or(1) == 0) return false;
    const float amp = strength * levels.step;
    return few_levels_for(space, levels, vector_quantizer_for(space, levels), amp).has_value();
}

// The vector form: one channel of at most four levels in one pass, drawing
// and quantizing together; anything else a block of draws at a time, then
// the quantizer.
bool random_levels_vector(const RandomVectorLoops& loops, ImageView img, const ColorSpace& space,
                          const Levels& levels, float amp, std::uint64_t state, const PassIo& io) {
    const std::size_t channels = img.channels;
    if (channels > VECTOR_BLOCK) return false;
    const std::size_t skip = img.alpha.value_or(channels);
    const std::size_t pixels = img.height * img.width;
    const VectorQuantizer vq = vector_quantizer_for(space, levels);
    if (channels == 1 && skip != 0) {
        if (const auto few = few_levels_for(space, levels, vq, amp)) {
            loops.few_levels(input_of(img, io), img.pixels, pixels, state, *few, io.stream);
            if (io.stream) finish_streaming();
            return true;
        }
    }
    copy_in(img, io);
    const std::size_t block = VECTOR_BLOCK / channels;
    float offsets[VECTOR_BLOCK] = {};
    BlockScratch scratch;
    std::uint8_t* p = img.pixels;
    for (std::size_t n = 0; n < pixels; n += block) {
        const std::size_t count = std::min(block, pixels - n);
        loops.draw_offsets(state + n * SPLITMIX_GAMMA, count, amp, offsets);
        quantize_pixels(loops.quantize_offsets, p + n * channels, offsets, count, channels, skip,
                        vq, scratch);
    }
    return true;
}

#if DITHERING_ARCH_X86
constexpr RandomVectorLoops RANDOM_LOOPS_AVX2 = {draw_offsets_avx2, random_few_levels_avx2,
                                                 quantize_offsets_avx2};

bool random_levels_avx2(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                        std::uint64_t state, const PassIo& io) {
    return random_levels_vector(RANDOM_LOOPS_AVX2, img, space, levels, amp, state, io);
}

constexpr RandomVectorLoops RANDOM_LOOPS_AVX512 = {draw_offsets_avx512, random_few_levels_avx512,
                                                   quantize_offsets_avx512};

bool random_levels_avx512(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                          std::uint64_t state, const PassIo& io) {
    return random_levels_vector(RANDOM_LOOPS_AVX512, img, space, levels, amp, state, io);
}
#endif

}  // namespace

std::uint64_t random_state_from_seed(std::uint64_t seed) noexcept { return seed ^ SEED_MIX; }

float random_unit_offset(std::uint64_t z) noexcept { return splitmix_unit_offset(z); }

namespace {

// Each loop as random_levels_on runs it.
using RandomLevelsLoop = bool (*)(ImageView img, const ColorSpace& space, const Levels& levels,
                                  float amp, std::uint64_t state, const PassIo& io);

bool plain_loop(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                std::uint64_t state, const PassIo& io) {
    copy_in(img, io);
    random_levels_plain(img, space, levels, amp, state);
    return true;
}

bool portable_loop(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                   std::uint64_t state, const PassIo& io) {
    copy_in(img, io);
    random_levels_portable(img, quantizer_for(space, levels), amp, state);
    return true;
}

bool vec128_loop(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                 std::uint64_t state, const PassIo& io) {
    // The 128-bit halves never stream.
    return random_levels_vector(RANDOM_LOOPS_VEC128, img, space, levels, amp, state,
                                {io.source, false});
}

// What the 128-bit form's rule looks at: one call's arguments.
struct RandomLevelsCall {
    ImageView img;
    const ColorSpace& space;
    const Levels& levels;
    float strength;
};

bool vec128_random_pays(const RandomLevelsCall& call) noexcept {
    return random_vec128_pays(
        random_one_pass_applies(call.img, call.space, call.levels, call.strength));
}

// Indexed by ThresholdAlgorithm.
constexpr IsaForms<RandomLevelsLoop, RandomLevelsCall> RANDOM_LEVELS_LOOPS[] = {
    {{&plain_loop}, {nullptr}, {nullptr}},
    {{&portable_loop}, {&vec128_loop, &vec128_random_pays},
     {DITHERING_AVX2_FORM(&random_levels_avx2)},
     {DITHERING_AVX512_FORM(&random_levels_avx512)}},
};

}  // namespace

bool random_levels_on(ThresholdAlgorithm algorithm, Isa isa, ImageView img, const ColorSpace& space,
                      const Levels& levels, float strength, std::uint64_t state,
                      PassIo io) noexcept {
    const RandomLevelsLoop loop = RANDOM_LEVELS_LOOPS[static_cast<std::size_t>(algorithm)].on(isa);
    if (loop == nullptr) return false;
    return loop(img, space, levels, strength * levels.step, state, io);
}

void random_levels(ImageView img, const ColorSpace& space, const Levels& levels, float strength,
                   std::uint64_t state, const std::uint8_t* source) noexcept {
    const PassIo io{source, img.size() >= STREAM_MIN_BYTES};
    // The vector forms decline what they do not take (or memory they cannot
    // have); the portable loop takes anything.
    const float amp = strength * levels.step;
    RANDOM_LEVELS_LOOPS[static_cast<std::size_t>(ThresholdAlgorithm::fast)].run_widest(
        {img, space, levels, strength},
        [&](Isa, RandomLevelsLoop loop) { return loop(img, space, levels, amp, state, io); });
}

}  // namespace dithering
