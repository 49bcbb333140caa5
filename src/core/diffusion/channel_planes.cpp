// Splitting interleaved pixels into planes and merging them back: a plain
// loop, a 128-bit loop written once over vec128.hpp (SSE2, NEON or the
// portable form, so every processor runs it) and, on x86, the AVX2 byte
// shuffles of channel_planes_avx2.cpp, chosen at run time.
//
// The 128-bit loops take 16 pixels at a time: the vector type's
// deinterleaving load gives one vector per channel from 16C interleaved
// bytes, its interleaving store the inverse. The AVX2 loops
// (channel_planes_avx2.cpp) take 32, and leave the rest to the 128-bit loop.
//
// Only whole blocks are vectorised; the last pixels go through the plain
// loop, so no access reaches past either end of any buffer.
#include "core/diffusion/channel_planes.hpp"

#include <array>
#include <cstring>

#include "core/simd/arch.hpp"
#include "core/simd/compiler.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/vec128.hpp"

namespace dithering {
namespace {

// The plain loops, from pixel `i` on; they honour null planes themselves.

void split_portable(const std::uint8_t* src, std::size_t i, std::size_t count,
                  std::size_t channels, std::uint8_t* const* planes) noexcept {
    for (std::size_t c = 0; c < channels; ++c) {
        std::uint8_t* plane = planes[c];
        if (plane == nullptr) continue;
        for (std::size_t j = i; j < count; ++j) plane[j] = src[j * channels + c];
    }
}

void merge_portable(const std::uint8_t* const* planes, std::size_t i, std::size_t count,
                  std::size_t channels, std::uint8_t* dst) noexcept {
    for (std::size_t c = 0; c < channels; ++c) {
        const std::uint8_t* plane = planes[c];
        if (plane == nullptr) continue;
        for (std::size_t j = i; j < count; ++j) dst[j * channels + c] = plane[j];
    }
}

// The 128-bit loops, over the build's vector type. Each starts at pixel i,
// runs its whole blocks and returns the first pixel it left. A split skips
// the stores of null planes, and a merge with `Keep` reads the channels of
// null planes back from dst, so that the store writes their bytes
// unchanged (the test on a plane is the same on every block, so it
// predicts perfectly); without `Keep` no plane is null.

template <std::size_t C>
DITHERING_ALWAYS_INLINE void load_channels(const std::uint8_t* p, simd::U8x16 (&v)[C]) {
    if constexpr (C == 2) {
        simd::load_deinterleaved2(p, v[0], v[1]);
    } else if constexpr (C == 3) {
        simd::load_deinterleaved3(p, v[0], v[1], v[2]);
    } else {
        simd::load_deinterleaved4(p, v[0], v[1], v[2], v[3]);
    }
}

template <std::size_t C>
DITHERING_ALWAYS_INLINE void store_channels(std::uint8_t* p, const simd::U8x16 (&v)[C]) {
    if constexpr (C == 2) {
        simd::store_interleaved2(p, v[0], v[1]);
    } else if constexpr (C == 3) {
        simd::store_interleaved3(p, v[0], v[1], v[2]);
    } else {
        simd::store_interleaved4(p, v[0], v[1], v[2], v[3]);
    }
}

template <std::size_t C>
std::size_t split_vec128(const std::uint8_t* src, std::size_t i, std::size_t count,
                         std::uint8_t* const* planes) {
    for (; i + 16 <= count; i += 16) {
        simd::U8x16 v[C];
        load_channels<C>(src + C * i, v);
        DITHERING_UNROLL(4)
        for (std::size_t c = 0; c < C; ++c) {
            if (planes[c] != nullptr) simd::store16(planes[c] + i, v[c]);
        }
    }
    return i;
}

template <std::size_t C, bool Keep>
std::size_t merge_vec128(const std::uint8_t* const* planes, std::size_t i, std::size_t count,
                         std::uint8_t* dst) {
    for (; i + 16 <= count; i += 16) {
        std::uint8_t* d = dst + C * i;
        simd::U8x16 v[C];
        if constexpr (Keep) load_channels<C>(d, v);
        DITHERING_UNROLL(4)
        for (std::size_t c = 0; c < C; ++c) {
            if (!Keep || planes[c] != nullptr) v[c] = simd::load16(planes[c] + i);
        }
        store_channels<C>(d, v);
    }
    return i;
}

std::size_t split_vec128(const std::uint8_t* src, std::size_t i, std::size_t count,
                         std::size_t channels, std::uint8_t* const* planes) {
    switch (channels) {
        case 2: return split_vec128<2>(src, i, count, planes);
        case 3: return split_vec128<3>(src, i, count, planes);
        case 4: return split_vec128<4>(src, i, count, planes);
        default: return i;
    }
}

template <bool Keep>
std::size_t merge_vec128(const std::uint8_t* const* planes, std::size_t i, std::size_t count,
                         std::size_t channels, std::uint8_t* dst) {
    switch (channels) {
        case 2: return merge_vec128<2, Keep>(planes, i, count, dst);
        case 3: return merge_vec128<3, Keep>(planes, i, count, dst);
        case 4: return merge_vec128<4, Keep>(planes, i, count, dst);
        default: return i;
    }
}


template <Isa ISA>
void split_on(const std::uint8_t* src, std::size_t count, std::size_t channels,
              std::uint8_t* const* planes) noexcept {
    if (count == 0) return;
    if (channels == 1) {
        if (planes[0] != nullptr) std::memcpy(planes[0], src, count);
        return;
    }
    std::size_t i = 0;
#if DITHERING_ARCH_X86
    if constexpr (ISA == Isa::avx2) i = split_avx2(src, i, count, channels, planes);
#endif
    if constexpr (ISA != Isa::portable) i = split_vec128(src, i, count, channels, planes);
    split_portable(src, i, count, channels, planes);
}

template <Isa ISA>
void merge_on(const std::uint8_t* const* planes, std::size_t count, std::size_t channels,
              std::uint8_t* dst) noexcept {
    if (count == 0) return;
    if (channels == 1) {
        if (planes[0] != nullptr) std::memcpy(dst, planes[0], count);
        return;
    }
    std::size_t i = 0;
    if (ISA != Isa::portable && channels <= 4) {
        bool keep_any = false, all_null = true;
        for (std::size_t c = 0; c < channels; ++c) {
            keep_any = keep_any || planes[c] == nullptr;
            all_null = all_null && planes[c] == nullptr;
        }
        if (all_null) return;
#if DITHERING_ARCH_X86
        if constexpr (ISA == Isa::avx2) i = merge_avx2_blocks(planes, count, channels, dst);
#endif
        i = keep_any ? merge_vec128<true>(planes, i, count, channels, dst)
                     : merge_vec128<false>(planes, i, count, channels, dst);
    }
    merge_portable(planes, i, count, channels, dst);
}

}  // namespace

const IsaForms<SplitChannels>& split_channels_forms() noexcept {
    static constexpr IsaForms<SplitChannels> forms{{&split_on<Isa::portable>},
                                                   {&split_on<Isa::vec128>},
                                                   {DITHERING_AVX2_FORM(&split_on<Isa::avx2>)}};
    return forms;
}

const IsaForms<MergeChannels>& merge_channels_forms() noexcept {
    static constexpr IsaForms<MergeChannels> forms{{&merge_on<Isa::portable>},
                                                   {&merge_on<Isa::vec128>},
                                                   {DITHERING_AVX2_FORM(&merge_on<Isa::avx2>)}};
    return forms;
}

void split_channels(const std::uint8_t* src, std::size_t count, std::size_t channels,
                    std::uint8_t* const* planes) noexcept {
    static const SplitChannels picked = split_channels_forms().pick();
    picked(src, count, channels, planes);
}

void merge_channels(const std::uint8_t* const* planes, std::size_t count, std::size_t channels,
                    std::uint8_t* dst) noexcept {
    static const MergeChannels picked = merge_channels_forms().pick();
    picked(planes, count, channels, dst);
}

}  // namespace dithering
