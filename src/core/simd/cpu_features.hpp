// What the processor this process runs on can execute, asked once. Every
// vector path is chosen from these answers at run time, so one build runs
// on any processor of its architecture.
#pragma once

namespace dithering {

// x86-64's AVX2, beyond the SSE2 every such processor has. False on other
// architectures.
bool cpu_has_avx2() noexcept;

// AVX-512 F, BW, DQ and VL, with AVX2, the mask and 512-bit registers
// saved by the operating system. False on other architectures.
bool cpu_has_avx512() noexcept;

}  // namespace dithering
