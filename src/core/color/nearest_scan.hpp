// The nearest-colour scans behind Palette::nearest: a plain sequential
// reference and vector scans chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/arch.hpp"
#include "core/simd/isa.hpp"

namespace dithering {

// Working colours laid out one channel per block: colour j is
// (c0[j], c1[j], c2[j]). `padded` is a multiple of NEAREST_PAD; entries past
// the real colours hold NaN, whose distance never wins. The vector scans
// carry indices as floats, exact for the at most 4096 colours of a palette
// (anything below 2^24).
struct ScanLanes {
    const float* c0;
    const float* c1;
    const float* c2;
    std::size_t padded;
};

inline constexpr std::size_t NEAREST_PAD = 16;

using NearestScan = std::size_t (*)(const ScanLanes&, float, float, float) noexcept;

// The sequential rule itself over `working` (count x 3 floats, R G B):
// best = +inf, index = 0; for each colour in order, d as documented on
// Palette::nearest; take it when best > d.
std::size_t nearest_reference(const float* working, std::size_t count, float c0, float c1,
                              float c2) noexcept;

// The scans over the lane layout. Each one computes the same distance with
// the same IEEE operations in the same order for every colour, keeps the
// first strict minimum per lane, and reduces the lanes to the lowest index
// among the minimal distances, which is exactly the sequential result
// (NaN never wins; nothing below +inf gives 0).
// portable: one colour at a time; vec128: four lanes; avx2: sixteen, x86
// only.
std::size_t nearest_portable(const ScanLanes& lanes, float c0, float c1, float c2) noexcept;
std::size_t nearest_vec128(const ScanLanes& lanes, float c0, float c1, float c2) noexcept;
#if DITHERING_ARCH_X86
// Only callable when isa_available(Isa::avx2).
std::size_t nearest_avx2(const ScanLanes& lanes, float c0, float c1, float c2) noexcept;
#endif

// The scans by instruction set; Palette takes the one picked.
const IsaForms<NearestScan>& nearest_scans() noexcept;

}  // namespace dithering
