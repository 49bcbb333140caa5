// Ordered dither to levels: its loops and the choice among them.
#include "core/threshold/threshold_dither.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <numeric>
#include <optional>

#include "core/simd/compiler.hpp"
#include "core/threshold/threshold_loops.hpp"
#include "core/threshold/threshold_passes.hpp"

namespace dithering {
namespace {

using Buffer = std::unique_ptr<std::uint8_t[]>;

Buffer try_allocate(std::size_t size) noexcept {
    return Buffer(new (std::nothrow) std::uint8_t[size]);
}

// The part of the tile an image can reach: an image smaller than the tile
// uses only its top-left corner, so tables are built for those cells only.
// Row y of the image uses tile row y % rows either way.
struct TileUse {
    std::size_t rows;
    std::size_t cols;
    std::size_t cells() const { return rows * cols; }
};

TileUse tile_use(const ImageView img, const ThresholdMatrix& matrix) {
    return {std::min(matrix.rows, img.height), std::min(matrix.cols, img.width)};
}

inline float cell_offset(const ThresholdMatrix& matrix, std::size_t row, std::size_t col,
                         float amp) {
    return (matrix.thresholds[row * matrix.cols + col] + -0.5f) * amp;
}

// Out of line: inlined into its table entry, GCC keeps the channel loop's
// counter in memory across the call to Levels::quantize (6 % more
// instructions).
DITHERING_NOINLINE void ordered_levels_plain(ImageView img, const ColorSpace& space,
                                             const Levels& levels, float amp,
                                             const ThresholdMatrix& matrix) {
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels;
    for (std::size_t y = 0; y < img.height; ++y) {
        for (std::size_t x = 0; x < img.width; ++x, p += channels) {
            const float offset = (matrix.threshold_at(x, y) + -0.5f) * amp;
            for (std::size_t c = 0; c < channels; ++c) {
                if (c != skip) p[c] = level_byte(space, levels, offset, p[c]);
            }
        }
    }
}

void ordered_levels_arithmetic(ImageView img, const LevelQuantizer& quantize, float amp,
                               const ThresholdMatrix& matrix) {
    const std::size_t channels = img.channels;
    const std::size_t skip = img.alpha.value_or(channels);
    std::uint8_t* p = img.pixels;
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
bool ordered_levels_arithmetic_avx2(ImageView img, const VectorQuantizer& vq, float amp,
                                    const ThresholdMatrix& matrix) {
    const std::size_t channels = img.channels;
    if (channels > VECTOR_BLOCK) return false;
    const std::size_t skip = img.alpha.value_or(channels);
    const std::size_t block = VECTOR_BLOCK / channels;
    float offsets[VECTOR_BLOCK] = {};
    BlockScratch scratch;
    std::uint8_t* p = img.pixels;
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
#endif

// With few tile cells and many pixels, the output byte is best looked up:
// it depends only on the tile cell and the input byte, so a table of
// cells x 256 bytes, filled with the very same arithmetic, turns the pixel
// loop into one load per channel.
constexpr std::size_t MAX_TABLE_CELLS = 1 << 16;

bool ordered_levels_table(ImageView img, const LevelQuantizer& quantize, float amp,
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
    std::uint8_t* p = img.pixels;
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
std::optional<ComparePlan> compare_plan(const ImageView img, const LevelQuantizer& quantize,
                                        float amp, const ThresholdMatrix& matrix,
                                        bool only_if_cheap, std::uint32_t level_count) {
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

// A form of the compare rows (compare_rows.hpp), with what the plan needs
// to know of it.
struct CompareRowForm {
    void (*row)(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                const CompareRow& row, bool stream) noexcept = nullptr;
    // Whether it writes with streaming stores when asked to.
    bool streams = false;
    // Whether the plan's level form pays on it. The 128-bit loop runs that
    // form too, but no faster than the plain form: SSE2 and the portable
    // form look bytes up through memory (four to six times slower), and on
    // NEON, where the lookup is one tbl, it was no faster either (1.3 to 1.6
    // times slower under qemu, about even in llvm-mca's Neoverse N1 model).
    bool level_form = false;

    constexpr bool operator==(const CompareRowForm&) const = default;
};

// The 128-bit halves never stream.
void compare_row_vec128_unstreamed(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                                   const CompareRow& row, bool /*stream*/) noexcept {
    compare_row_vec128(src, dst, count, row);
}

constexpr IsaForms<CompareRowForm> COMPARE_ROWS = {
    {},
    {{&compare_row_vec128_unstreamed, false, false}},
    {DITHERING_AVX2_FORM((CompareRowForm{&compare_row_avx2, true, true}))},
};

// The level count for compare_plan: the level form where it applies and
// pays on `form`, else 0 (the plain form).
std::uint32_t level_form_count(const Levels& levels, const CompareRowForm& form) {
    if (!form.level_form) return 0;
    return levels.count <= MAX_LEVEL_FORM_LEVELS ? levels.count : 0;
}

void run_compare_plan(ImageView img, const ComparePlan& plan, const CompareRowForm& form,
                      const PassIo& io) {
    const std::size_t row_size = img.width * img.channels;
    const std::uint8_t* in = input_of(img, io);
    std::uint8_t* p = img.pixels;
    const bool stream = form.streams && io.stream;
    for (std::size_t y = 0; y < img.height; ++y, in += row_size, p += row_size) {
        const CompareRow row{&plan.lanes[(y % plan.rows) * plan.row_bytes], plan.period,
                             plan.stride, plan.terms, plan.keep,
                             plan.level_form ? plan.codes : nullptr};
        form.row(in, p, row_size, row, stream);
    }
    if (stream) finish_streaming();
}

// Each loop as ordered_levels_on runs it, tile already checked.
using OrderedLevelsLoop = bool (*)(ImageView img, const ColorSpace& space, const Levels& levels,
                                   float amp, const ThresholdMatrix& matrix, const PassIo& io);

bool plain_loop(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                const ThresholdMatrix& matrix, const PassIo& io) {
    copy_in(img, io);
    ordered_levels_plain(img, space, levels, amp, matrix);
    return true;
}

bool arithmetic_loop(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                     const ThresholdMatrix& matrix, const PassIo& io) {
    copy_in(img, io);
    ordered_levels_arithmetic(img, quantizer_for(space, levels), amp, matrix);
    return true;
}

#if DITHERING_ARCH_X86
bool arithmetic_avx2_loop(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                          const ThresholdMatrix& matrix, const PassIo& io) {
    if (img.channels > VECTOR_BLOCK) return false;
    copy_in(img, io);
    return ordered_levels_arithmetic_avx2(img, vector_quantizer_for(space, levels), amp, matrix);
}
#endif

bool table_loop(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                const ThresholdMatrix& matrix, const PassIo& io) {
    return ordered_levels_table(img, quantizer_for(space, levels), amp, matrix, io);
}

template <Isa ISA>
bool compare_loop(ImageView img, const ColorSpace& space, const Levels& levels, float amp,
                  const ThresholdMatrix& matrix, const PassIo& io) {
    const CompareRowForm form = COMPARE_ROWS[ISA];
    const auto plan = compare_plan(img, quantizer_for(space, levels), amp, matrix, false,
                                   level_form_count(levels, form));
    if (!plan) return false;
    run_compare_plan(img, *plan, form, io);
    return true;
}

constexpr IsaForms<OrderedLevelsLoop> ARITHMETIC_LOOPS = {
    {&arithmetic_loop}, {nullptr}, {DITHERING_AVX2_FORM(&arithmetic_avx2_loop)}};

// Indexed by OrderedLevelsAlgorithm.
constexpr IsaForms<OrderedLevelsLoop> ORDERED_LEVELS_LOOPS[] = {
    {{&plain_loop}, {nullptr}, {nullptr}},
    ARITHMETIC_LOOPS,
    {{&table_loop}, {nullptr}, {nullptr}},
    {{nullptr}, {&compare_loop<Isa::vec128>}, {DITHERING_AVX2_FORM(&compare_loop<Isa::avx2>)}},
};

}  // namespace

bool ordered_levels_on(OrderedLevelsAlgorithm algorithm, Isa isa, ImageView img,
                       const ColorSpace& space, const Levels& levels, float strength,
                       const ThresholdMatrix& matrix, PassIo io) noexcept {
    if (!tile_is_valid(matrix)) return false;
    const OrderedLevelsLoop loop =
        ORDERED_LEVELS_LOOPS[static_cast<std::size_t>(algorithm)].on(isa);
    if (loop == nullptr) return false;
    return loop(img, space, levels, strength * levels.step, matrix, io);
}

void ordered_levels(ImageView img, const ColorSpace& space, const Levels& levels, float strength,
                    const ThresholdMatrix& matrix, const std::uint8_t* source) noexcept {
    if (img.size() == 0) return;
    const PassIo io{source, img.size() >= STREAM_MIN_BYTES};
    if (!tile_is_valid(matrix)) {
        copy_in(img, io);
        return;
    }
    const float amp = strength * levels.step;
    const LevelQuantizer quantize = quantizer_for(space, levels);
    // Tables pay off when building them costs less than the arithmetic on
    // the whole image: the compare plan needs a few quantizations per
    // cell, the lookup table 256 (weighed against the vector arithmetic
    // where there is one, else against the scalar, about four times slower).
    const CompareRowForm compare = COMPARE_ROWS.pick();
    if (compare.row != nullptr) {
        if (const auto plan = compare_plan(img, quantize, amp, matrix, true,
                                           level_form_count(levels, compare))) {
            run_compare_plan(img, *plan, compare, io);
            return;
        }
    }
    const bool vector_arithmetic = ARITHMETIC_LOOPS.pick_isa() != Isa::portable;
    const std::size_t table_cost =
        tile_use(img, matrix).cells() * 256 * (vector_arithmetic ? QUANTIZE_COST_BYTES : 1);
    if (table_cost <= img.size() && ordered_levels_table(img, quantize, amp, matrix, io)) return;
    // The vector arithmetic declines more channels than it takes; the
    // scalar form takes any.
    ARITHMETIC_LOOPS.run_widest({}, [&](Isa, OrderedLevelsLoop loop) {
        return loop(img, space, levels, amp, matrix, io);
    });
}

}  // namespace dithering
