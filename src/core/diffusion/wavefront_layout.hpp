// What the wavefront's band driver (levels_wavefront.cpp) and its step
// loops (wavefront_steps.hpp, built once per instruction set) agree on:
// where a band's errors sit in the step history, which weights a kernel
// has, the constants of a pass, and the table of loops one instruction set
// provides. levels_wavefront.cpp explains the scheme.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/arch.hpp"

namespace dithering::wavefront {

constexpr std::size_t BAND = 16;   // rows per band: sixteen lanes
// Columns between neighbouring rows of a band. A cell's rows-above sum is
// made AHEAD steps before its own step and reaches two columns right in
// the row above, whose error there is LAG - 2 steps older than the cell's
// own step: LAG - 2 > AHEAD, so 5 is the least lag. A band ramps up and
// down over 15 * LAG steps with lanes masked, which narrow images feel most
// (256 wide, core alone: 83 us a 256x256 call with a lag of 8, 66 with 5);
// on a helix (levels_wavefront.cpp) only the image's first and last do.
constexpr std::ptrdiff_t LAG = 5;
// Floats per step: 16 for the rows-above sums of the step's cells (made two
// steps early and parked here rather than in registers, which the error
// chain needs), 6 unused, rows -2 and -1, lanes 0..15.
constexpr std::size_t PITCH = 40;
constexpr std::size_t PENDING = 0;
// Errors are kept for the last HISTORY steps (the sums reach 2 * LAG + 2
// back) plus a chunk of CHUNK steps being made, so that every read is at
// a fixed distance behind the current step.
constexpr std::size_t HISTORY = 2 * LAG + 2;
constexpr std::size_t CHUNK = 128;
constexpr std::size_t AHEAD = 2;  // steps ahead whose rows-above sums are made
constexpr std::size_t SLOT_ABOVE2 = 22;  // row -2 of the band (the previous band's lane 14)
constexpr std::size_t SLOT_ABOVE1 = 23;  // row -1 (the previous band's lane 15)
constexpr std::size_t LANE0 = 24;
// Carried rows cover columns -CARRY_LEFT .. width + CARRY_RIGHT.
constexpr std::ptrdiff_t CARRY_LEFT = 16 * LAG + 8;
constexpr std::ptrdiff_t CARRY_RIGHT = 18 * LAG + 8;

// Which weights a kernel has, one bit each: bit 0 the pixel two ahead in
// the row, bit 1 the pixel one ahead, bits 2..6 the row below at dx = 2,
// 1, 0, -1, -2 (seen from the receiving cell: its row-above neighbours at
// k = -2..2), bits 7..11 the same for the row two below.
constexpr unsigned TAP_AHEAD2 = 1u << 0;
constexpr unsigned TAP_AHEAD1 = 1u << 1;
constexpr unsigned tap_above1(int k) { return 1u << (4 + k); }
constexpr unsigned tap_above2(int k) { return 1u << (9 + k); }
constexpr unsigned ALL_TAPS = 0xfffu;

// The weights in pull form: above1[k + 2] is what a cell takes from the
// pixel k columns right of it in the row above, above2 the same two rows
// above, ahead1/ahead2 from the pixels one and two to its left.
struct PullWeights {
    float above2[5];
    float above1[5];
    float ahead2;
    float ahead1;
};

// What stays fixed over a pass.
struct Pass {
    const float* lut;
    bool identity_lut;  // lut[b] == b: the bytes convert to floats directly
    std::ptrdiff_t width;
    PullWeights w;
    // Levels: thresholds (NaN where unused: nothing reaches NaN), values
    // and codes of the first eight levels, and for many levels the tables.
    float thresholds[7];
    float values8[8];
    std::int32_t codes8[8];
    float inv_step;
    float top;
    const float* values;       // all levels, for the gather
    const std::int32_t* codes;  // all levels as 32-bit lanes, for the gather
    float* trace;
    std::size_t trace_row0;
};

// How a level is found: by comparing against one, three or seven
// thresholds, or for more levels by rounding.
enum class Quantizer { two, four, eight, many };

// Which rows the lanes of a stretch of steps work on: lanes below
// `current` in this band, and, on a helix (period > 0: each lane moves on
// to its row in the next band `period` steps after it began the last),
// lanes below `previous` in the band before, where they have not yet
// reached this one.
struct BandLanes {
    std::size_t current = 0;
    std::size_t previous = 0;
    std::ptrdiff_t period = 0;
};

// Which lanes a run of steps may find outside the image: none (inner), only
// those at a helix's gap columns between two whole bands (seam), or any
// (edge). Each has its own step loop so that the inner one pays nothing.
enum class Steps { inner, seam, edge };

// Steps begin..end-1 of a band (see wavefront_steps.hpp).
using StepRunner = void (*)(const Pass&, float* history, std::uint8_t* const* lanes,
                            float* const* carry, std::ptrdiff_t begin, std::ptrdiff_t end,
                            float* state, BandLanes rows);

// The step loops for a band's edges (lanes outside the image masked) and
// its inside.
struct Runners {
    StepRunner edge;
    StepRunner seam;  // between two whole bands of a helix
    StepRunner inner;
};

// What one instruction set provides: the step loops for a pass's weights
// and levels (every tap, whatever the weights, with a trace), and the
// transposes between 32 columns of eight rows and 32 lane groups of eight
// bytes.
struct StepLoops {
    Runners (*runners)(unsigned taps, Quantizer q, bool trace);
    void (*rows_to_groups)(const std::uint8_t* src, std::ptrdiff_t src_pitch,
                           std::uint8_t* groups);
    void (*groups_to_rows)(const std::uint8_t* groups, std::uint8_t* dst,
                           std::ptrdiff_t dst_pitch);
};

// Over two 128-bit halves (vec128.hpp): every processor.
StepLoops step_loops_vec128() noexcept;
#if DITHERING_ARCH_X86
// Over AVX2 registers: only callable when isa_available(Isa::avx2).
StepLoops step_loops_avx2() noexcept;
// Over AVX-512 registers: only callable when isa_available(Isa::avx512).
StepLoops step_loops_avx512() noexcept;
#endif

}  // namespace dithering::wavefront
