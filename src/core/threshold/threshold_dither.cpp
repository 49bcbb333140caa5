// Ordered and random dither: a per-pixel offset, then plain quantization.
#include "core/threshold/threshold_dither.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <vector>

#include "core/color/nearest_grid.hpp"
#include "core/threshold/threshold_kernels.hpp"

namespace dithering {
namespace {

constexpr std::uint64_t SEED_MIX = 0xd1b54a32d192ed03ULL;

using Buffer = std::unique_ptr<std::uint8_t[]>;

Buffer try_allocate(std::size_t size) noexcept {
    return Buffer(new (std::nothrow) std::uint8_t[size]);
}

// The loops that work in place start from a copy of the input.
void copy_in(Img& img, const PassIo& io) {
    if (io.source && img.size() != 0) std::memcpy(img.pixels.get(), io.source, img.size());
}

// The bytes a loop that can read the input directly reads.
const std::uint8_t* input_of(Img& img, const PassIo& io) {
    return io.source ? io.source : img.pixels.get();
}

// The output byte of a levels pixel channel in the plain loops.
inline std::uint8_t level_byte(const ColorSpace& space, const Levels& levels, float offset,
                               std::uint8_t byte) {
    return levels.codes[levels.quantize(space.lut[byte] + offset)];
}

// With a grid (never in the plain loops), the nearest colour is looked up
// there: the same index as Palette::nearest.
inline void palette_pixel(std::uint8_t* p, const ColorSpace& space, const Palette& palette,
                          NearestGrid* grid, const float amp[3], float u) {
    const float c0 = amp[0] * u + space.lut[p[0]];
    const float c1 = amp[1] * u + space.lut[p[1]];
    const float c2 = amp[2] * u + space.lut[p[2]];
    const std::size_t j =
        grid != nullptr ? grid->nearest(c0, c1, c2) : palette.nearest(c0, c1, c2);
    const std::uint8_t* color = &palette.colors[3 * j];
    p[0] = color[0];
    p[1] = color[1];
    p[2] = color[2];
}

LevelQuantizer quantizer_for(const ColorSpace& space, const Levels& levels) {
    return {space.lut.data(), levels.codes.data(), levels.inv_step, levels.top};
}

VectorQuantizer vector_quantizer_for(const ColorSpace& space, const Levels& levels) {
    VectorQuantizer vq{quantizer_for(space, levels), levels.count, true, true};
    for (std::size_t b = 0; b < 256; ++b) {
        if (space.lut[b] != static_cast<float>(b)) vq.lut_is_byte = false;
    }
    for (std::uint32_t i = 0; i < levels.count; ++i) {
        if (levels.codes[i] != i) vq.codes_are_levels = false;
    }
    return vq;
}

bool tile_is_valid(const ThresholdMatrix& matrix) {
    return matrix.rows != 0 && matrix.cols != 0 &&
           matrix.thresholds.size() >= matrix.rows * matrix.cols;
}

// The part of the tile an image can reach: an image smaller than the tile
// uses only its top-left corner, so tables are built for those cells only.
// Row y of the image uses tile row y % rows either way.
struct TileUse {
    std::size_t rows;
    std::size_t cols;
    std::size_t cells() const { return rows * cols; }
};

TileUse tile_use(const Img& img, const ThresholdMatrix& matrix) {
    return {std::min(matrix.rows, img.height), std::min(matrix.cols, img.width)};
}

inline float cell_offset(const ThresholdMatrix& matrix, std::size_t row, std::size_t col,
                         float amp) {
    return (matrix.thresholds[row * matrix.cols + col] + -0.5f) * amp;
}

// Pixels go through the vector quantizer in blocks of this many bytes, with
// one offset per byte.
constexpr std::size_t VECTOR_BLOCK = 1024;

// Room for one block: the offsets spread to every byte, and the bytes of
// the skipped channel.
struct BlockScratch {
    float offsets[VECTOR_BLOCK] = {};
    std::uint8_t saved[VECTOR_BLOCK] = {};
};

// quantize_offsets_avx2 or quantize_offsets_128.
using QuantizeOffsets = void (*)(std::uint8_t* p, const float* offsets, std::size_t count,
                                 const VectorQuantizer& quantizer) noexcept;

// Quantizes `pixels` whole pixels at p with one offset per pixel. The
// channels of a pixel share its offset; the skipped channel is saved first
// and put back afterwards. pixels * channels <= VECTOR_BLOCK.
void quantize_pixels(QuantizeOffsets quantize_offsets, std::uint8_t* p,
                     const float* pixel_offsets, std::size_t pixels, std::size_t channels,
                     std::size_t skip, const VectorQuantizer& vq, BlockScratch& scratch) {
    if (channels == 1) {
        if (skip != 0) quantize_offsets(p, pixel_offsets, pixels, vq);
        return;
    }
    float* offsets = scratch.offsets;
    std::uint8_t* saved = scratch.saved;
    for (std::size_t k = 0; k < pixels; ++k) {
        for (std::size_t c = 0; c < channels; ++c) offsets[k * channels + c] = pixel_offsets[k];
    }
    if (skip < channels) {
        for (std::size_t k = 0; k < pixels; ++k) saved[k] = p[k * channels + skip];
    }
    quantize_offsets(p, offsets, pixels * channels, vq);
    if (skip < channels) {
        for (std::size_t k = 0; k < pixels; ++k) p[k * channels + skip] = saved[k];
    }
}

// ---- Ordered levels -------------------------------------------------------

void ordered_levels_plain(Img& img, const ColorSpace& space, const Levels& levels, float amp,
                          const ThresholdMatrix& matrix) {
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels.get();
    for (std::size_t y = 0; y < img.height; ++y) {
        for (std::size_t x = 0; x < img.width; ++x, p += channels) {
            const float offset = (matrix.threshold_at(x, y) + -0.5f) * amp;
            for (std::size_t c = 0; c < channels; ++c) {
                if (c != skip) p[c] = level_byte(space, levels, offset, p[c]);
            }
        }
    }
}

void ordered_levels_arithmetic(Img& img, const LevelQuantizer& quantize, float amp,
                               const ThresholdMatrix& matrix) {
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels.get();
    for (std::size_t y = 0; y < img.height; ++y) {
        const std::size_t tile_row = y % matrix.rows;
        std::size_t col = 0;
        for (std::size_t x = 0; x < img.width; ++x, p += channels) {
            const float offset = cell_offset(matrix, tile_row, col, amp);
            if (++col == matrix.cols) col = 0;
            for (std::size_t c = 0; c < channels; ++c) {
                if (c != skip) p[c] = quantize(p[c], offset);
            }
        }
    }
}

#if DITHERING_ARCH_X86
bool ordered_levels_arithmetic_avx2(Img& img, const VectorQuantizer& vq, float amp,
                                    const ThresholdMatrix& matrix) {
    const std::size_t channels = img.channels;
    if (!threshold_avx2_supported() || channels > VECTOR_BLOCK) return false;
    const std::size_t skip = img.alpha.value_or(channels);
    const std::size_t block = VECTOR_BLOCK / channels;
    float offsets[VECTOR_BLOCK] = {};
    BlockScratch scratch;
    std::uint8_t* p = img.pixels.get();
    for (std::size_t y = 0; y < img.height; ++y) {
        const std::size_t tile_row = y % matrix.rows;
        std::size_t col = 0;
        for (std::size_t x = 0; x < img.width; x += block) {
            const std::size_t pixels = std::min(block, img.width - x);
            for (std::size_t k = 0; k < pixels; ++k) {
                offsets[k] = cell_offset(matrix, tile_row, col, amp);
                if (++col == matrix.cols) col = 0;
            }
            quantize_pixels(quantize_offsets_avx2, p, offsets, pixels, channels, skip, vq,
                            scratch);
            p += pixels * channels;
        }
    }
    return true;
}
#else
// Without AVX2 the callers take the other loops.
constexpr auto ordered_levels_arithmetic_avx2 = [](auto&&...) { return false; };
#endif

// With few tile cells and many pixels, the output byte is best looked up:
// it depends only on the tile cell and the input byte, so a table of
// cells x 256 bytes, filled with the very same arithmetic, turns the pixel
// loop into one load per channel.
constexpr std::size_t MAX_TABLE_CELLS = 1 << 16;

bool ordered_levels_table(Img& img, const LevelQuantizer& quantize, float amp,
                          const ThresholdMatrix& matrix, const PassIo& io) {
    const TileUse use = tile_use(img, matrix);
    if (use.cells() > MAX_TABLE_CELLS) return false;
    const Buffer table = try_allocate(use.cells() * 256);
    if (!table) return false;
    for (std::size_t r = 0; r < use.rows; ++r) {
        for (std::size_t c = 0; c < use.cols; ++c) {
            const float offset = cell_offset(matrix, r, c, amp);
            std::uint8_t* cell = &table[(r * use.cols + c) * 256];
            for (std::size_t b = 0; b < 256; ++b) {
                cell[b] = quantize(static_cast<std::uint8_t>(b), offset);
            }
        }
    }
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    const std::size_t width = img.width;
    const std::uint8_t* in = input_of(img, io);
    std::uint8_t* p = img.pixels.get();
    for (std::size_t y = 0; y < img.height; ++y, in += width * channels, p += width * channels) {
        // Within a row the cells repeat every use.cols pixels.
        const std::uint8_t* row = &table[(y % use.rows) * use.cols * 256];
        if (channels == 1 && skip != 0) {
            std::size_t x = 0;
            for (; x + use.cols <= width; x += use.cols) {
                for (std::size_t c = 0; c < use.cols; ++c) p[x + c] = row[c * 256 + in[x + c]];
            }
            for (std::size_t c = 0; x < width; ++x, ++c) p[x] = row[c * 256 + in[x]];
            continue;
        }
        std::size_t col = 0;
        for (std::size_t x = 0; x < width; ++x) {
            const std::uint8_t* cell = &row[col * 256];
            if (++col == use.cols) col = 0;
            const std::uint8_t* from = in + x * channels;
            std::uint8_t* px = p + x * channels;
            for (std::size_t c = 0; c < channels; ++c) px[c] = c != skip ? cell[from[c]] : from[c];
        }
    }
    return true;
}

// The byte-compare form (see CompareRow). A cell that spans more levels
// than this is better served by the table.
constexpr std::size_t MAX_COMPARE_TERMS = 16;
constexpr std::size_t MAX_PLAN_BYTES = std::size_t{1} << 20;

struct ComparePlan {
    Buffer lanes;
    std::size_t period = 0;
    std::size_t stride = 0;  // period + COMPARE_PERIOD_UNIT (see CompareRow)
    std::size_t terms = 0;
    std::size_t rows = 0;
    std::size_t row_bytes = 0;
    bool keep = false;
    bool level_form = false;  // see CompareRow
    std::uint8_t codes[16] = {};
};

// The level of every byte is a non-decreasing function of the byte for a
// fixed offset when the working values do not decrease: adding a constant,
// multiplying by a positive constant, rounding and clamping all keep order,
// and a NaN (from inf - inf) can only arise at one end, where it gives
// level 0 like the values beyond it. Anything else takes another loop.
bool levels_are_monotone(const LevelQuantizer& quantize) {
    if (!(quantize.inv_step > 0.0f) || !std::isfinite(quantize.inv_step)) return false;
    if (!(quantize.top >= 0.0f)) return false;
    for (std::size_t b = 0; b < 256; ++b) {
        if (!std::isfinite(quantize.lut[b])) return false;
        if (b > 0 && !(quantize.lut[b - 1] <= quantize.lut[b])) return false;
    }
    return true;
}

// One quantization while building a table costs about as much as the
// vector loops spend on this many bytes of image.
constexpr std::size_t QUANTIZE_COST_BYTES = 4;

// The level form of the compare plan looks codes up in one 16-byte table.
constexpr std::uint32_t MAX_LEVEL_FORM_LEVELS = 16;

// Builds the compare plan, or nothing when the form does not apply or
// memory runs out. With `only_if_cheap`, also nothing when building it
// would cost more than running the image through the vector arithmetic.
// `level_count` is the number of levels for the level form, 0 for the
// plain form.
std::optional<ComparePlan> compare_plan(const Img& img, const LevelQuantizer& quantize, float amp,
                                        const ThresholdMatrix& matrix, bool only_if_cheap,
                                        std::uint32_t level_count) {
    if (!levels_are_monotone(quantize)) return std::nullopt;
    const TileUse use = tile_use(img, matrix);
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    if (use.cells() == 0 || channels == 0) return std::nullopt;
    // At least two quantizations per cell, before anything else is known.
    if (only_if_cheap && use.cells() * 2 * QUANTIZE_COST_BYTES > img.size()) return std::nullopt;
    std::size_t terms = 0;
    for (std::size_t r = 0; r < use.rows; ++r) {
        for (std::size_t c = 0; c < use.cols; ++c) {
            const float offset = cell_offset(matrix, r, c, amp);
            const std::size_t span = quantize.level(255, offset) - quantize.level(0, offset);
            terms = std::max(terms, span);
        }
    }
    if (terms > MAX_COMPARE_TERMS) return std::nullopt;
    // A whole number of tile repeats (in bytes) that is also a whole number
    // of vectors, so that each vector of a row meets the same plan lanes.
    const std::size_t repeat = use.cols * channels;
    if (repeat > MAX_PLAN_BYTES) return std::nullopt;
    ComparePlan plan;
    plan.period = std::lcm(repeat, COMPARE_PERIOD_UNIT);
    plan.stride = plan.period + COMPARE_PERIOD_UNIT;
    plan.terms = terms;
    plan.rows = use.rows;
    plan.keep = skip < channels;
    plan.level_form = level_count != 0 && level_count <= MAX_LEVEL_FORM_LEVELS;
    if (level_count != 0 && !plan.level_form) return std::nullopt;
    for (std::uint32_t i = 0; plan.level_form && i < level_count; ++i) {
        plan.codes[i] = quantize.codes[i];
    }
    const std::size_t term_blocks = plan.level_form ? terms : 2 * terms;
    const std::size_t blocks = 1 + term_blocks + (plan.keep ? 1 : 0);
    if (plan.stride > MAX_PLAN_BYTES / blocks / use.rows) return std::nullopt;
    plan.row_bytes = plan.stride * blocks;
    const std::size_t plan_bytes = plan.row_bytes * use.rows;
    if (only_if_cheap &&
        use.cells() * (2 + 8 * terms) * QUANTIZE_COST_BYTES + plan_bytes > img.size()) {
        return std::nullopt;
    }
    // Per cell: its lowest level, how many levels it spans, then the bound
    // below each higher level (the first byte reaching it, minus one).
    const std::size_t cell_bytes = 2 + terms;
    const Buffer cells = try_allocate(use.cells() * cell_bytes);
    plan.lanes = try_allocate(plan_bytes);
    if (!cells || !plan.lanes) return std::nullopt;
    for (std::size_t r = 0; r < use.rows; ++r) {
        for (std::size_t c = 0; c < use.cols; ++c) {
            const float offset = cell_offset(matrix, r, c, amp);
            const std::uint32_t low = quantize.level(0, offset);
            const std::uint32_t high = quantize.level(255, offset);
            std::uint8_t* cell = &cells[(r * use.cols + c) * cell_bytes];
            cell[0] = static_cast<std::uint8_t>(low);
            cell[1] = static_cast<std::uint8_t>(high - low);
            // The first byte reaching level k lies in 1..255 (byte 0 is
            // below it, byte 255 reaches it) and does not decrease with k.
            std::uint32_t first = 1;
            for (std::uint32_t k = low + 1; k <= high; ++k) {
                std::uint32_t last = 255;
                while (first < last) {
                    const std::uint32_t mid = (first + last) / 2;
                    if (quantize.level(static_cast<std::uint8_t>(mid), offset) >= k) {
                        last = mid;
                    } else {
                        first = mid + 1;
                    }
                }
                cell[2 + (k - low - 1)] = static_cast<std::uint8_t>(first - 1);
            }
        }
    }
    for (std::size_t r = 0; r < use.rows; ++r) {
        std::uint8_t* row = &plan.lanes[r * plan.row_bytes];
        // Past the period, each block repeats its first lanes.
        for (std::size_t lane = 0; lane < plan.stride; ++lane) {
            const std::size_t at = lane % plan.period;
            const std::size_t channel = at % channels;
            const std::size_t col = (at / channels) % use.cols;
            const std::uint8_t* cell = &cells[(r * use.cols + col) * cell_bytes];
            const bool kept = channel == skip;
            const std::uint32_t low = cell[0];
            const std::size_t span = kept ? 0 : cell[1];
            if (plan.level_form) {
                // Bounds with the top bit flipped; 0x7f is 255's, which no
                // byte exceeds. Level 0x80 looks up 0.
                row[lane] = kept ? std::uint8_t{0x80} : static_cast<std::uint8_t>(low);
                for (std::size_t j = 0; j < terms; ++j) {
                    const std::uint8_t flipped = static_cast<std::uint8_t>(cell[2 + j] ^ 0x80);
                    row[(1 + j) * plan.stride + lane] = j < span ? flipped : std::uint8_t{0x7f};
                }
                if (plan.keep) row[(1 + terms) * plan.stride + lane] = kept ? 0xff : 0;
                continue;
            }
            row[lane] = kept ? 0 : quantize.codes[low];
            for (std::size_t j = 0; j < terms; ++j) {
                std::uint8_t bound = 255;
                std::uint8_t step = 0;
                if (j < span) {
                    bound = cell[2 + j];
                    step = static_cast<std::uint8_t>(quantize.codes[low + j + 1] -
                                                     quantize.codes[low + j]);
                }
                row[(1 + 2 * j) * plan.stride + lane] = bound;
                row[(2 + 2 * j) * plan.stride + lane] = step;
            }
            if (plan.keep) row[(1 + 2 * terms) * plan.stride + lane] = kept ? 0xff : 0;
        }
    }
    return plan;
}

// The level form where it applies, for the AVX2 loop. The 128-bit loop
// runs it too, but no faster than the plain form: SSE2 and the portable
// form look bytes up through memory (four to six times slower), and on
// NEON, where the lookup is one tbl, it was no faster either (1.3 to 1.6
// times slower under qemu, about even in llvm-mca's Neoverse N1 model).
std::uint32_t level_form_count(const Levels& levels, bool avx2) {
    if (!avx2) return 0;
    return levels.count <= MAX_LEVEL_FORM_LEVELS ? levels.count : 0;
}

void run_compare_plan(Img& img, const ComparePlan& plan, bool avx2, const PassIo& io) {
    const std::size_t row_size = img.width * img.channels;
    const std::uint8_t* in = input_of(img, io);
    std::uint8_t* p = img.pixels.get();
    const bool stream = avx2 && io.stream;
    for (std::size_t y = 0; y < img.height; ++y, in += row_size, p += row_size) {
        const CompareRow row{&plan.lanes[(y % plan.rows) * plan.row_bytes], plan.period,
                             plan.stride, plan.terms, plan.keep,
                             plan.level_form ? plan.codes : nullptr};
#if DITHERING_ARCH_X86
        if (avx2) {
            compare_row_avx2(in, p, row_size, row, stream);
            continue;
        }
#endif
        compare_row_128(in, p, row_size, row);
    }
    if (stream) finish_streaming();
}

// ---- Random levels ----------------------------------------------------------

void random_levels_plain(Img& img, const ColorSpace& space, const Levels& levels, float amp,
                         std::uint64_t state) {
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels.get();
    const std::size_t pixels = img.height * img.width;
    for (std::size_t n = 0; n < pixels; ++n, p += channels) {
        state += SPLITMIX_GAMMA;
        const float offset = random_unit_offset(state) * amp;
        for (std::size_t c = 0; c < channels; ++c) {
            if (c != skip) p[c] = level_byte(space, levels, offset, p[c]);
        }
    }
}

void random_levels_scalar(Img& img, const LevelQuantizer& quantize, float amp,
                          std::uint64_t state) {
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels.get();
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

// The random vector loops of one form: AVX2, or 128-bit halves.
struct RandomVectorLoops {
    void (*draw_offsets)(std::uint64_t state, std::size_t count, float scale,
                         float* out) noexcept;
    void (*few_levels)(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                       std::uint64_t state, const RandomFewLevels& params, bool stream) noexcept;
    QuantizeOffsets quantize_offsets;
};

constexpr RandomVectorLoops RANDOM_LOOPS_128 = {
    draw_offsets_128,
    [](const std::uint8_t* src, std::uint8_t* dst, std::size_t count, std::uint64_t state,
       const RandomFewLevels& params, bool) noexcept {
        random_few_levels_128(src, dst, count, state, params);
    },
    quantize_offsets_128};

// Whether the vector form takes the one-pass form below for this image.
bool random_one_pass_applies(const Img& img, const ColorSpace& space, const Levels& levels,
                             float strength) {
    if (img.channels != 1 || img.alpha.value_or(1) == 0) return false;
    const float amp = strength * levels.step;
    return few_levels_for(space, levels, vector_quantizer_for(space, levels), amp).has_value();
}

// The vector form: one channel of at most four levels in one pass, drawing
// and quantizing together; anything else a block of draws at a time, then
// the quantizer.
bool random_levels_vector(const RandomVectorLoops& loops, Img& img, const ColorSpace& space,
                          const Levels& levels, float amp, std::uint64_t state,
                          const PassIo& io) {
    const std::size_t channels = img.channels;
    if (channels > VECTOR_BLOCK) return false;
    const std::size_t skip = img.alpha.value_or(channels);
    const std::size_t pixels = img.height * img.width;
    const VectorQuantizer vq = vector_quantizer_for(space, levels);
    if (channels == 1 && skip != 0) {
        if (const auto few = few_levels_for(space, levels, vq, amp)) {
            loops.few_levels(input_of(img, io), img.pixels.get(), pixels, state, *few, io.stream);
            if (io.stream) finish_streaming();
            return true;
        }
    }
    copy_in(img, io);
    const std::size_t block = VECTOR_BLOCK / channels;
    float offsets[VECTOR_BLOCK] = {};
    BlockScratch scratch;
    std::uint8_t* p = img.pixels.get();
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

bool random_levels_avx2(Img& img, const ColorSpace& space, const Levels& levels, float amp,
                        std::uint64_t state, const PassIo& io) {
    if (!threshold_avx2_supported()) return false;
    return random_levels_vector(RANDOM_LOOPS_AVX2, img, space, levels, amp, state, io);
}
#else
constexpr auto random_levels_avx2 = [](auto&&...) { return false; };
#endif

// ---- Palettes -----------------------------------------------------------------

void palette_amps(const Palette& palette, float strength, float amp[3]) {
    amp[0] = palette.spread[0] * strength;
    amp[1] = palette.spread[1] * strength;
    amp[2] = palette.spread[2] * strength;
}

// Small palettes are searched by scanning every colour (in the AVX2 loops
// eight pixels at a time, without a per-pixel reduction and call). Larger
// ones use a NearestGrid, whose cells list only the colours that can be
// nearest there: the same index. This is the grid for a palette too large
// for a scan of every colour; none otherwise, or when its memory cannot be
// had (the scan then does every distance, which is slower but the same).
std::optional<NearestGrid> grid_for(const Palette& palette) {
    if (palette.size() <= PALETTE_SCAN_MAX_COLORS) return std::nullopt;
    // The values stay within a threshold's reach of the pixels' colours,
    // so few cells are ever built: split crowded ones finely.
    constexpr std::size_t SPLIT_AGAIN_QUADS = 4;
    return NearestGrid::create(palette, SPLIT_AGAIN_QUADS);
}

void ordered_palette_plain(Img& img, const ColorSpace& space, const Palette& palette,
                           float strength, const ThresholdMatrix& matrix) {
    float amp[3];
    palette_amps(palette, strength, amp);
    std::uint8_t* p = img.pixels.get();
    for (std::size_t y = 0; y < img.height; ++y) {
        for (std::size_t x = 0; x < img.width; ++x, p += img.channels) {
            const float u = matrix.threshold_at(x, y) + -0.5f;
            palette_pixel(p, space, palette, nullptr, amp, u);
        }
    }
}

// The palette loops for any processor: blocks of pixels with their offsets
// u, searched eight pixels at a time in 128-bit halves when the palette is
// small enough to scan whole, else pixel by pixel in a NearestGrid.
constexpr std::size_t PALETTE_BLOCK = PALETTE_POINTS_MAX;

class PortablePaletteSearch {
public:
    PortablePaletteSearch(const ColorSpace& space, const Palette& palette, float strength)
        : space_(space), palette_(palette), grid_(grid_for(palette)) {
        palette_amps(palette, strength, amp_);
    }

    // `count` <= PALETTE_BLOCK pixels at p, pixel k shifted by u[k].
    void run(std::uint8_t* p, std::size_t count, std::size_t channels, const float* u) {
        if (palette_.size() > PALETTE_SCAN_MAX_COLORS) {
            NearestGrid* const grid = grid_ ? &*grid_ : nullptr;
            for (std::size_t k = 0; k < count; ++k, p += channels) {
                palette_pixel(p, space_, palette_, grid, amp_, u[k]);
            }
            return;
        }
        // Lanes past the block's last pixel keep earlier (finite) points;
        // their answers are not used.
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint8_t* px = p + k * channels;
            c0_[k] = amp_[0] * u[k] + space_.lut[px[0]];
            c1_[k] = amp_[1] * u[k] + space_.lut[px[1]];
            c2_[k] = amp_[2] * u[k] + space_.lut[px[2]];
        }
        nearest_points_128(palette_.working.data(), palette_.size(), c0_, c1_, c2_,
                           (count + 7) / 8 * 8, index_);
        for (std::size_t k = 0; k < count; ++k, p += channels) {
            std::memcpy(p, &palette_.colors[3 * index_[k]], 3);
        }
    }

private:
    const ColorSpace& space_;
    const Palette& palette_;
    std::optional<NearestGrid> grid_;
    float amp_[3];
    float c0_[PALETTE_BLOCK] = {};
    float c1_[PALETTE_BLOCK] = {};
    float c2_[PALETTE_BLOCK] = {};
    std::uint32_t index_[PALETTE_BLOCK] = {};
};

void ordered_palette_portable(Img& img, const ColorSpace& space, const Palette& palette,
                              float strength, const ThresholdMatrix& matrix) {
    PortablePaletteSearch search(space, palette, strength);
    float u[PALETTE_BLOCK];
    std::uint8_t* p = img.pixels.get();
    for (std::size_t y = 0; y < img.height; ++y) {
        const float* row = &matrix.thresholds[(y % matrix.rows) * matrix.cols];
        std::size_t col = 0;
        for (std::size_t x = 0; x < img.width; x += PALETTE_BLOCK) {
            const std::size_t count = std::min(PALETTE_BLOCK, img.width - x);
            for (std::size_t k = 0; k < count; ++k) {
                u[k] = row[col] + -0.5f;
                if (++col == matrix.cols) col = 0;
            }
            search.run(p, count, img.channels, u);
            p += count * img.channels;
        }
    }
}

void random_palette_portable(Img& img, const ColorSpace& space, const Palette& palette,
                             float strength, std::uint64_t state) {
    PortablePaletteSearch search(space, palette, strength);
    float draws[PALETTE_BLOCK];
    std::uint8_t* p = img.pixels.get();
    const std::size_t pixels = img.height * img.width;
    for (std::size_t n = 0; n < pixels; n += PALETTE_BLOCK) {
        const std::size_t count = std::min(PALETTE_BLOCK, pixels - n);
        for (std::size_t k = 0; k < count; ++k) {
            state += SPLITMIX_GAMMA;
            draws[k] = random_unit_offset(state);
        }
        search.run(p, count, img.channels, draws);
        p += count * img.channels;
    }
}

// One draw and one search per pixel, all the plain loop does.
void random_palette_plain(Img& img, const ColorSpace& space, const Palette& palette,
                          float strength, std::uint64_t state) {
    float amp[3];
    palette_amps(palette, strength, amp);
    std::uint8_t* p = img.pixels.get();
    const std::size_t pixels = img.height * img.width;
    for (std::size_t n = 0; n < pixels; ++n, p += img.channels) {
        state += SPLITMIX_GAMMA;
        palette_pixel(p, space, palette, nullptr, amp, random_unit_offset(state));
    }
}

#if DITHERING_ARCH_X86
// How the AVX2 loops search a palette: in a grid when it is too large to
// scan whole, else every colour from registers, eight pixels at a time;
// either way the bytes move in and out eight pixels at a time.
struct PaletteSearchAvx2 {
    std::optional<NearestGrid> grid;
    std::vector<std::uint32_t> packed;
    PointSearch search{};

    // False when memory ran out (the caller then takes the portable loop).
    bool prepare(const ColorSpace& space, const Palette& palette, float strength) noexcept {
        grid = grid_for(palette);
        search.grid = grid ? &*grid : nullptr;
        search.lut = space.lut.data();
        search.lut_is_byte = true;
        for (std::size_t b = 0; b < 256; ++b) {
            if (space.lut[b] != static_cast<float>(b)) search.lut_is_byte = false;
        }
        palette_amps(palette, strength, search.amp);
        search.working = palette.working.data();
        search.colors = palette.size();
        try {
            // At least sixteen words: the lookup for up to sixteen colours
            // reads two whole vectors of them.
            packed.assign(std::max<std::size_t>(palette.size(), 16), 0);
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (std::size_t j = 0; j < palette.size(); ++j) {
            std::memcpy(&packed[j], &palette.colors[3 * j], 3);
        }
        search.packed = packed.data();
        return true;
    }

    // `count` <= PALETTE_BLOCK pixels at p, pixel k shifted by u[k].
    void run(std::uint8_t* p, std::size_t count, std::size_t channels, const float* u) {
        palette_points_avx2(p, count, channels, u, search);
    }
};

bool ordered_palette_avx2(Img& img, const ColorSpace& space, const Palette& palette,
                          float strength, const ThresholdMatrix& matrix, const PassIo& io) {
    if (!threshold_avx2_supported()) return false;
    PaletteSearchAvx2 search;
    if (!search.prepare(space, palette, strength)) return false;
    // The offsets of a tile row repeated far enough that any block's run of
    // them is contiguous: u[i] = row[i mod cols] + -0.5 for i < span +
    // PALETTE_BLOCK, span being the columns the image reaches of a row.
    const std::size_t span = std::min(matrix.cols, img.width);
    std::vector<float> offsets;
    try {
        offsets.resize(span + PALETTE_BLOCK);
    } catch (const std::bad_alloc&) {
        return false;
    }
    copy_in(img, io);
    std::uint8_t* p = img.pixels.get();
    for (std::size_t y = 0; y < img.height; ++y) {
        const float* row = &matrix.thresholds[(y % matrix.rows) * matrix.cols];
        for (std::size_t i = 0, col = 0; i < offsets.size(); ++i) {
            offsets[i] = row[col] + -0.5f;
            if (++col == matrix.cols) col = 0;
        }
        std::size_t col = 0;
        for (std::size_t x = 0; x < img.width; x += PALETTE_BLOCK) {
            const std::size_t count = std::min(PALETTE_BLOCK, img.width - x);
            search.run(p, count, img.channels, &offsets[col]);
            col = (col + count) % matrix.cols;
            p += count * img.channels;
        }
    }
    return true;
}

// The draws of a block made up front (t * 1 is t exactly), then the
// nearest-colour searches.
bool random_palette_avx2(Img& img, const ColorSpace& space, const Palette& palette,
                         float strength, std::uint64_t state, const PassIo& io) {
    if (!threshold_avx2_supported()) return false;
    PaletteSearchAvx2 search;
    if (!search.prepare(space, palette, strength)) return false;
    copy_in(img, io);
    float draws[PALETTE_BLOCK] = {};
    std::uint8_t* p = img.pixels.get();
    const std::size_t pixels = img.height * img.width;
    for (std::size_t n = 0; n < pixels; n += PALETTE_BLOCK) {
        const std::size_t count = std::min(PALETTE_BLOCK, pixels - n);
        draw_offsets_avx2(state + n * SPLITMIX_GAMMA, count, 1.0f, draws);
        search.run(p, count, img.channels, draws);
        p += count * img.channels;
    }
    return true;
}
#else
constexpr auto ordered_palette_avx2 = [](auto&&...) { return false; };
constexpr auto random_palette_avx2 = [](auto&&...) { return false; };
#endif

}  // namespace

bool ordered_levels_on(OrderedLevelsLoop loop, Img& img, const ColorSpace& space,
                       const Levels& levels, float strength, const ThresholdMatrix& matrix,
                       PassIo io) noexcept {
    if (!tile_is_valid(matrix)) return false;
    const float amp = strength * levels.step;
    switch (loop) {
        case OrderedLevelsLoop::plain:
            copy_in(img, io);
            ordered_levels_plain(img, space, levels, amp, matrix);
            return true;
        case OrderedLevelsLoop::arithmetic:
            copy_in(img, io);
            ordered_levels_arithmetic(img, quantizer_for(space, levels), amp, matrix);
            return true;
        case OrderedLevelsLoop::arithmetic_avx2:
            if (!threshold_avx2_supported() || img.channels > VECTOR_BLOCK) return false;
            copy_in(img, io);
            return ordered_levels_arithmetic_avx2(img, vector_quantizer_for(space, levels), amp,
                                                  matrix);
        case OrderedLevelsLoop::table:
            return ordered_levels_table(img, quantizer_for(space, levels), amp, matrix, io);
        case OrderedLevelsLoop::compare_128:
        case OrderedLevelsLoop::compare_avx2: {
            const bool avx2 = loop == OrderedLevelsLoop::compare_avx2;
            if (avx2 && !threshold_avx2_supported()) return false;
            const auto plan = compare_plan(img, quantizer_for(space, levels), amp, matrix, false,
                                           level_form_count(levels, avx2));
            if (!plan) return false;
            run_compare_plan(img, *plan, avx2, io);
            return true;
        }
    }
    return false;
}

void ordered_levels(Img& img, const ColorSpace& space, const Levels& levels, float strength,
                    const ThresholdMatrix& matrix, const std::uint8_t* source) noexcept {
    if (img.size() == 0) return;
    const PassIo io{source, img.size() >= STREAM_MIN_BYTES};
    if (!tile_is_valid(matrix)) {
        copy_in(img, io);
        return;
    }
    const float amp = strength * levels.step;
    const LevelQuantizer quantize = quantizer_for(space, levels);
    const bool avx2 = threshold_avx2_supported();
    // Tables pay off when building them costs less than the arithmetic on
    // the whole image: the compare plan needs a few quantizations per
    // cell, the lookup table 256 (weighed against the vector arithmetic
    // where there is one, else against the scalar, about four times slower).
    if (const auto plan = compare_plan(img, quantize, amp, matrix, true,
                                       level_form_count(levels, avx2))) {
        run_compare_plan(img, *plan, avx2, io);
        return;
    }
    const std::size_t table_cost =
        tile_use(img, matrix).cells() * 256 * (avx2 ? QUANTIZE_COST_BYTES : 1);
    if (table_cost <= img.size() && ordered_levels_table(img, quantize, amp, matrix, io)) return;
    if (ordered_levels_on(OrderedLevelsLoop::arithmetic_avx2, img, space, levels, strength, matrix,
                          io)) {
        return;
    }
    ordered_levels_on(OrderedLevelsLoop::arithmetic, img, space, levels, strength, matrix, io);
}

bool ordered_palette_on(ThresholdLoop loop, Img& img, const ColorSpace& space,
                        const Palette& palette, float strength, const ThresholdMatrix& matrix,
                        PassIo io) noexcept {
    if (!tile_is_valid(matrix)) return false;
    switch (loop) {
        case ThresholdLoop::plain:
            copy_in(img, io);
            ordered_palette_plain(img, space, palette, strength, matrix);
            return true;
        case ThresholdLoop::portable:
            copy_in(img, io);
            ordered_palette_portable(img, space, palette, strength, matrix);
            return true;
        case ThresholdLoop::avx2:
            return ordered_palette_avx2(img, space, palette, strength, matrix, io);
        case ThresholdLoop::vector_128:
            return false;
    }
    return false;
}

void ordered_palette(Img& img, const ColorSpace& space, const Palette& palette, float strength,
                     const ThresholdMatrix& matrix, const std::uint8_t* source) noexcept {
    const PassIo io{source, false};
    if (!tile_is_valid(matrix)) {
        copy_in(img, io);
        return;
    }
    if (!ordered_palette_on(ThresholdLoop::avx2, img, space, palette, strength, matrix, io)) {
        ordered_palette_on(ThresholdLoop::portable, img, space, palette, strength, matrix, io);
    }
}

std::uint64_t random_state_from_seed(std::uint64_t seed) noexcept { return seed ^ SEED_MIX; }

float random_unit_offset(std::uint64_t z) noexcept { return splitmix_unit_offset(z); }

bool random_levels_on(ThresholdLoop loop, Img& img, const ColorSpace& space, const Levels& levels,
                      float strength, std::uint64_t state, PassIo io) noexcept {
    const float amp = strength * levels.step;
    switch (loop) {
        case ThresholdLoop::plain:
            copy_in(img, io);
            random_levels_plain(img, space, levels, amp, state);
            return true;
        case ThresholdLoop::portable:
            copy_in(img, io);
            random_levels_scalar(img, quantizer_for(space, levels), amp, state);
            return true;
        case ThresholdLoop::avx2:
            return random_levels_avx2(img, space, levels, amp, state, io);
        case ThresholdLoop::vector_128:
            // The 128-bit halves never stream.
            return random_levels_vector(RANDOM_LOOPS_128, img, space, levels, amp, state,
                                        {io.source, false});
    }
    return false;
}

void random_levels(Img& img, const ColorSpace& space, const Levels& levels, float strength,
                   std::uint64_t state, const std::uint8_t* source) noexcept {
    const PassIo io{source, img.size() >= STREAM_MIN_BYTES};
    if (random_levels_on(ThresholdLoop::avx2, img, space, levels, strength, state, io)) return;
    if (random_128_beats_scalar(random_one_pass_applies(img, space, levels, strength)) &&
        random_levels_on(ThresholdLoop::vector_128, img, space, levels, strength, state, io)) {
        return;
    }
    random_levels_on(ThresholdLoop::portable, img, space, levels, strength, state, io);
}

bool random_palette_on(ThresholdLoop loop, Img& img, const ColorSpace& space,
                       const Palette& palette, float strength, std::uint64_t state,
                       PassIo io) noexcept {
    switch (loop) {
        case ThresholdLoop::plain:
            copy_in(img, io);
            random_palette_plain(img, space, palette, strength, state);
            return true;
        case ThresholdLoop::portable:
            copy_in(img, io);
            random_palette_portable(img, space, palette, strength, state);
            return true;
        case ThresholdLoop::avx2:
            return random_palette_avx2(img, space, palette, strength, state, io);
        case ThresholdLoop::vector_128:
            return false;
    }
    return false;
}

void random_palette(Img& img, const ColorSpace& space, const Palette& palette, float strength,
                    std::uint64_t state, const std::uint8_t* source) noexcept {
    const PassIo io{source, false};
    if (!random_palette_on(ThresholdLoop::avx2, img, space, palette, strength, state, io)) {
        random_palette_on(ThresholdLoop::portable, img, space, palette, strength, state, io);
    }
}

}  // namespace dithering
