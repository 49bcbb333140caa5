// Interleaved 8-bit pixels split into one plane per channel and merged
// back, with byte-shuffle loops for two, three and four channels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dithering {

// The loops that can do the work: a plain byte loop, 16-byte SSSE3
// shuffles, and 32-byte AVX2 shuffles. Every path writes the same bytes.
enum class PlanesPath { scalar, ssse3, avx2 };

// Whether this processor (and its operating system) runs `path`; decided
// once per process. The scalar path always runs.
bool planes_path_supported(PlanesPath path) noexcept;
// The fastest supported path, the one split_channels and merge_channels use.
PlanesPath best_planes_path() noexcept;

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

// The same on a chosen path, for tests; only callable when
// planes_path_supported(path). Channel counts without a vector loop take
// the scalar one on every path.
void split_channels_on(PlanesPath path, const std::uint8_t* src, std::size_t count,
                       std::size_t channels, std::uint8_t* const* planes) noexcept;
void merge_channels_on(PlanesPath path, const std::uint8_t* const* planes, std::size_t count,
                       std::size_t channels, std::uint8_t* dst) noexcept;

}  // namespace dithering
