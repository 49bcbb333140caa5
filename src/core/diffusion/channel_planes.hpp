// Interleaved 8-bit pixels split into one plane per channel and merged
// back, with byte-shuffle loops for two, three and four channels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/arch.hpp"
#include "core/simd/isa.hpp"

namespace dithering {

// Copies `count` pixels of `channels` (>= 1) interleaved bytes from src
// into one plane per channel: planes[c][i] = src[i * channels + c] for
// every c < channels whose planes[c] is not null (a null plane is not
// wanted and nothing is written for it). Reads exactly the count * channels
// bytes at src and writes exactly the first `count` bytes of each plane,
// whatever the alignment; the planes must not overlap src or each other.
void split_channels(const std::uint8_t* src, std::size_t count, std::size_t channels,
                    std::uint8_t* const* planes) noexcept;

// The inverse: dst[i * channels + c] = planes[c][i] for every c < channels
// whose planes[c] is not null; the bytes of channels whose plane is null
// keep their value in dst (an alpha channel can pass through untouched).
// Reads at most the first `count` bytes of each plane and the count *
// channels bytes at dst, writes nothing outside them; no plane may overlap
// dst.
void merge_channels(const std::uint8_t* const* planes, std::size_t count, std::size_t channels,
                    std::uint8_t* dst) noexcept;

// Their forms by instruction set (split_channels and merge_channels take
// the one picked): a plain byte loop; 16 pixels at a time over the 128-bit
// vectors (every processor); 32 at a time with AVX2 byte shuffles (x86,
// where the processor has it). Channel counts without a vector loop take
// the plain one in every form, and every form writes the same bytes.
using SplitChannels = void (*)(const std::uint8_t* src, std::size_t count, std::size_t channels,
                               std::uint8_t* const* planes) noexcept;
using MergeChannels = void (*)(const std::uint8_t* const* planes, std::size_t count,
                               std::size_t channels, std::uint8_t* dst) noexcept;
const IsaForms<SplitChannels>& split_channels_forms() noexcept;
const IsaForms<MergeChannels>& merge_channels_forms() noexcept;

#if DITHERING_ARCH_X86
// The AVX2 form's whole blocks of 32 pixels (channel_planes_avx2.cpp), for
// 2 to 4 channels (other counts are left whole): a split from pixel i on, a
// merge from pixel 0. Each returns the first pixel it left, for the 128-bit
// and plain loops to finish. Only callable when isa_available(Isa::avx2).
std::size_t split_avx2(const std::uint8_t* src, std::size_t i, std::size_t count,
                       std::size_t channels, std::uint8_t* const* planes) noexcept;
std::size_t merge_avx2_blocks(const std::uint8_t* const* planes, std::size_t count,
                              std::size_t channels, std::uint8_t* dst) noexcept;
#endif

}  // namespace dithering
