// How a palette pass runs, in one record from the binding down to the
// loops: the scan direction, the bound, and the choices tests and
// benchmarks may force (every choice gives the same bytes).
#pragma once

#include <cstddef>
#include <optional>

#include "core/simd/isa.hpp"

namespace dithering {

// Which form of the palette pass runs: the choice palette_pass makes; one
// row at a time (register_scan.hpp: Palette::nearest, or a NearestGrid for
// palettes of more than FULL_SCAN_MAX_COLORS); or rows in flight
// (palette_rows.hpp).
enum class PaletteForm { automatic, single_row, rows };

// The nearest-colour search inside the rows in flight: `automatic` scans
// every colour from registers for small palettes and uses a NearestGrid
// for larger ones.
enum class PaletteSearch { automatic, full_scan, grid };

// The most rows a palette pass keeps in flight.
inline constexpr std::size_t PALETTE_MAX_ROWS = 4;

// The defaults are what dithering's functions ask for.
struct DiffusionOptions {
    // Odd rows scanned right to left with the mirrored windows.
    bool serpentine = false;
    // Each value clamped to 0..255 before its search (value_bound.hpp);
    // only dithering_tools' bounded error diffusion asks.
    bool bounded = false;
    PaletteForm form = PaletteForm::automatic;
    // The instruction set of the rows in flight; nullopt (or one this
    // processor lacks, or one without such a form) for the registry's pick.
    std::optional<Isa> isa = std::nullopt;
    PaletteSearch search = PaletteSearch::automatic;
    // 1..PALETTE_MAX_ROWS, 0 for the default; serpentine scans run one row
    // at a time.
    std::size_t rows_in_flight = 0;
};

}  // namespace dithering
