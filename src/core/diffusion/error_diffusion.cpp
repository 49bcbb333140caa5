// The error-diffusion entry points: each call picks the fastest form that
// gives the plain form's bytes for its weights, image and processor.
#include "core/diffusion/error_diffusion.hpp"

#include <new>
#include <vector>

#include "core/color/nearest_scan.hpp"
#include "core/diffusion/levels_wavefront.hpp"
#include "core/diffusion/palette_rows.hpp"
#include "core/diffusion/plain_pass.hpp"
#include "core/diffusion/register_scan.hpp"
#include "core/simd/arch.hpp"

namespace dithering {
namespace {

constexpr std::size_t WAVEFRONT_MIN_HEIGHT = 8;

// Up to this many colours, where AVX2 is missing, rows in flight scanning
// the whole palette from 128-bit registers beat the single-row form; above
// it, the single-row form's NearestGrid wins. On x86 with SSE2 alone
// (core_bench, 2048x2048): 4 colours 28-38 -> 86-88 Mpx/s, 16: 28 -> 52,
// 64: 13.5 -> 18.5; 256 with the grid per pixel: 12.5 -> 11.4, so no.
// aarch64 has only been measured under emulation (4 colours 3.5 times the
// single-row form, 16 even, 64 0.7 times, with no overlap of the rows'
// chains modelled), so there the rows stop at the palettes of e-paper and
// retro displays, where the gain is plain, until real hardware says more.
#if DITHERING_ARCH_AARCH64
constexpr std::size_t VEC128_ROWS_MAX_COLORS = 16;
#else
constexpr std::size_t VEC128_ROWS_MAX_COLORS = 64;
#endif

// The wavefront's instruction set for a levels pass, nullopt where the
// single-row scan runs. Rows in vector lanes need the fast forms' weights,
// rows scanned the same way and something to spread; below a band's worth
// of rows the single-row scan is as fast.
std::optional<Isa> wavefront_isa(std::size_t height, std::size_t width, const KernelRows& rows,
                                 bool serpentine) {
    if (serpentine || !rows.row_used[0] || height < WAVEFRONT_MIN_HEIGHT ||
        width > WAVEFRONT_MAX_WIDTH || !fast_forms_apply(rows)) {
        return std::nullopt;
    }
    return levels_wavefront_forms().pick_isa({wavefront_taps(rows)});
}

bool vec128_rows_pay(const PaletteRowsCall& call) noexcept {
    return call.colors <= VEC128_ROWS_MAX_COLORS;
}

// Below this many colours the AVX2 scan's one or two registers beat
// AVX-512's one, whose lane reduction is a step longer. core_bench's rows
// in flight, 1024x1024 (AMD EPYC with AVX-512, AVX2 -> AVX-512 Mpx/s):
// 8 colours 165 -> 115, 16: 130 -> 115, 17: 89 -> 103, 32: 83 -> 101-103,
// 64: 57 -> 63.
constexpr std::size_t AVX512_ROWS_MIN_COLORS = 17;

bool avx512_rows_pay(const PaletteRowsCall& call) noexcept {
    return call.colors >= AVX512_ROWS_MIN_COLORS;
}

// Over AVX2 for any palette, over 128-bit vectors for small ones. No
// portable entry: where no form is picked, the single-row form runs.
constexpr IsaForms<PaletteRowsPass, PaletteRowsCall> PALETTE_ROWS = {
    {nullptr},
    {&palette_pass_vec128, &vec128_rows_pay},
    {DITHERING_AVX2_FORM(&palette_pass_avx2)},
    {DITHERING_AVX512_FORM(&palette_pass_avx512), &avx512_rows_pay},
};

}  // namespace

const IsaForms<PaletteRowsPass, PaletteRowsCall>& palette_rows_forms() noexcept {
    return PALETTE_ROWS;
}

PassStatus levels_pass_channels(ImageView image, const ColorSpace& space, const Levels& levels,
                                const KernelRows& rows, bool serpentine) noexcept {
    const std::size_t height = image.height;
    const std::size_t width = image.width;
    const std::size_t channels = image.channels;
    const std::optional<std::size_t> skip = image.alpha;
    const std::optional<Isa> wavefront = wavefront_isa(height, width, rows, serpentine);
    if (channels > 1 && wavefront) {
        std::vector<std::size_t> diffused;
        try {
            for (std::size_t c = 0; c < channels; ++c) {
                if (c != skip) diffused.push_back(c);
            }
        } catch (const std::bad_alloc&) {
            return PassStatus::out_of_memory;
        }
        return levels_pass_wavefront(*wavefront, image, diffused, space, levels, rows);
    }
    for (std::size_t c = 0; c < channels; ++c) {
        if (c == skip) continue;
        const PassStatus status = levels_pass(image, c, space, levels, rows, serpentine);
        if (status != PassStatus::ok) return status;
    }
    return PassStatus::ok;
}

PassStatus levels_pass(ImageView image, std::size_t channel, const ColorSpace& space,
                       const Levels& levels, const KernelRows& rows, bool serpentine) noexcept {
    const std::size_t height = image.height;
    const std::size_t width = image.width;
    if (!fast_forms_apply(rows)) {
        return levels_pass_plain(image, channel, space, levels, rows, serpentine);
    }
    if (const std::optional<Isa> wavefront = wavefront_isa(height, width, rows, serpentine)) {
        return levels_pass_wavefront(*wavefront, image, channel, space, levels, rows);
    }
    return levels_pass_register_scan(image, channel, space, levels, rows, serpentine);
}

PassStatus palette_pass(ImageView image, const ColorSpace& space, const Palette& palette,
                        const KernelRows& rows, const DiffusionOptions& options) noexcept {
    if (!fast_forms_apply(rows)) return palette_pass_plain(image, space, palette, rows, options);
    // With nothing to spread (strength 0) the rows do not depend on each
    // other and the single-row form is as good as any.
    PaletteForm form = rows.row_used[0] ? options.form : PaletteForm::single_row;
    std::optional<Isa> isa = options.isa;
    // Rows on an instruction set this processor lacks (or none named, or
    // one without such a form) give way to the automatic choice.
    if (form == PaletteForm::rows && !(isa && PALETTE_ROWS.runs(*isa))) {
        form = PaletteForm::automatic;
    }
    if (form == PaletteForm::automatic) {
        isa = PALETTE_ROWS.pick_isa({palette.size()});
        form = isa ? PaletteForm::rows : PaletteForm::single_row;
    }
    if (form == PaletteForm::rows) {
        return PALETTE_ROWS[*isa](image, space, palette, direction_weights(rows, false),
                                  direction_weights(rows, true), options);
    }
    return palette_pass_register_scan(image, space, palette, rows, options);
}

}  // namespace dithering
