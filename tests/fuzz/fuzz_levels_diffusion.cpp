// Fuzz harness: error diffusion to levels, every form against the plain one.
//
// One case: an image of up to 4096 pixels (1..4 channels, rows of 1..160
// pixels so that the wavefront's lag and band ramp are crossed), a kernel,
// a strength (now and then beyond 1, where only the plain form may run),
// 2..256 levels, sRGB or linear light, raster or serpentine. Compared with
// levels_pass_plain byte for byte: the single-row register scan, the
// sixteen-row wavefront on every path this processor runs (bytes, and each
// pixel's error as a float), the levels_pass entry, and several channels
// at once (levels_pass_channels, the wavefront over a list of channels)
// against the plain form channel by channel; and the channel split and
// merge the wavefront uses, on every path, against the scalar loop.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/color/color_space.hpp"
#include "core/color/levels.hpp"
#include "core/diffusion/channel_planes.hpp"
#include "core/diffusion/error_diffusion.hpp"
#include "core/diffusion/kernels.hpp"
#include "core/diffusion/levels_wavefront.hpp"
#include "core/diffusion/plain_pass.hpp"
#include "core/diffusion/register_scan.hpp"
#include "fuzz_case.hpp"

using namespace dithering;
using fuzz::Bytes;

namespace {

void expect_ok(const fuzz::Story& story, const char* form, PassStatus status) {
    if (status != PassStatus::ok) fuzz::disagree(story, form, "did not return ok");
}

// 2..256 levels, mostly few (where the two-level rule and the level
// thresholds matter).
std::uint32_t decode_levels(fuzz::Reader& in) {
    const std::uint8_t b = in.byte();
    return b < 192 ? 2 + b % 15 : 2 + (b - 192) * 4 % 255;
}

// The split and merge on every path against the scalar loop, with some
// channels' planes left out (an alpha channel passes through untouched).
void check_planes(const fuzz::Story& story, const Bytes& image, std::size_t pixels,
                  std::size_t channels, unsigned wanted) {
    std::vector<Bytes> want(channels, Bytes(pixels, 0x5a));
    std::vector<std::uint8_t*> want_ptr(channels, nullptr);
    for (std::size_t c = 0; c < channels; ++c) {
        if ((wanted >> c & 1) != 0) want_ptr[c] = want[c].data();
    }
    const auto& splits = split_channels_forms();
    const auto& merges = merge_channels_forms();
    splits[Isa::portable](image.data(), pixels, channels, want_ptr.data());
    Bytes merged_want(image.size(), 0xa5);
    merges[Isa::portable](want_ptr.data(), pixels, channels, merged_want.data());
    for (Isa isa : {Isa::vec128, Isa::avx2}) {
        const SplitChannels split = splits.on(isa);
        const MergeChannels merge = merges.on(isa);
        if (split == nullptr || merge == nullptr) continue;
        const char* name = isa == Isa::vec128 ? "split_channels vec128" : "split_channels avx2";
        std::vector<Bytes> got(channels, Bytes(pixels, 0x5a));
        std::vector<std::uint8_t*> got_ptr(channels, nullptr);
        for (std::size_t c = 0; c < channels; ++c) {
            if ((wanted >> c & 1) != 0) got_ptr[c] = got[c].data();
        }
        split(image.data(), pixels, channels, got_ptr.data());
        for (std::size_t c = 0; c < channels; ++c) {
            fuzz::expect_same_image(story, name, want[c], got[c], pixels, 1);
        }
        Bytes merged(image.size(), 0xa5);
        merge(want_ptr.data(), pixels, channels, merged.data());
        fuzz::expect_same_image(story,
                                isa == Isa::vec128 ? "merge_channels vec128" : "merge_channels avx2",
                                merged_want, merged, pixels, channels);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    fuzz::Story story;
    const std::size_t width = in.in_range(1, 160);
    const std::size_t height = in.in_range(1, std::min<std::size_t>(64, 4096 / width));
    const std::size_t channels = in.in_range(1, 4);
    const std::size_t channel = in.below(channels);
    const Kernel& kernel = KERNELS[in.byte() % KERNELS.size()];
    const float strength = fuzz::decode_diffusion_strength(in);
    const std::uint32_t count = decode_levels(in);
    const bool linear = in.flag();
    const bool serpentine = in.flag();
    const std::uint8_t skip_byte = in.byte();
    const std::optional<std::size_t> skip =
        skip_byte % 2 == 0 ? std::nullopt : std::optional<std::size_t>(skip_byte / 2 % channels);
    const unsigned wanted_planes = in.byte();
    std::string style;
    const Bytes image = fuzz::make_pixels(in, height * width * channels, style);
    story.add("levels diffusion: %zu x %zu x %zu, channel %zu, skip %d", height, width, channels,
              channel, skip ? static_cast<int>(*skip) : -1);
    story.add("kernel %.*s, strength %.9g, %u levels, %s, %s", static_cast<int>(kernel.name.size()),
              kernel.name.data(), static_cast<double>(strength), count,
              linear ? "linear" : "sRGB", serpentine ? "serpentine" : "raster");
    story.add("pixels: %s", style.c_str());

    const ColorSpace space = ColorSpace::create(linear);
    const Levels levels = Levels::create(count, space);
    const KernelRows rows = kernel_rows(kernel, strength);
    const bool fast = fast_forms_apply(rows);

    // One channel.
    Bytes want = image;
    std::vector<float> want_errors(height * width, -12345.0f);
    expect_ok(story, "plain",
              levels_pass_plain({want.data(), height, width, channels}, channel, space, levels,
                                rows, serpentine, want_errors.data()));
    Bytes got = image;
    expect_ok(story, "levels_pass",
              levels_pass({got.data(), height, width, channels}, channel, space, levels, rows,
                          serpentine));
    fuzz::expect_same_image(story, "levels_pass", want, got, width, channels);
    if (fast) {
        got = image;
        expect_ok(story, "register scan",
                  levels_pass_register_scan({got.data(), height, width, channels}, channel, space,
                                            levels, rows, serpentine));
        fuzz::expect_same_image(story, "register scan", want, got, width, channels);
    }
    const bool wavefront = fast && !serpentine;
    for (Isa path : {Isa::vec128, Isa::avx2}) {
        if (!wavefront || !levels_wavefront_forms().runs(path)) continue;
        const char* name = path == Isa::vec128 ? "wavefront vec128" : "wavefront avx2";
        got = image;
        std::vector<float> errors(height * width, -12345.0f);
        expect_ok(story, name,
                  levels_pass_wavefront(path, {got.data(), height, width, channels}, channel, space,
                                        levels, rows, errors.data()));
        fuzz::expect_same_image(story, name, want, got, width, channels);
        for (std::size_t i = 0; i < errors.size(); ++i) {
            // Equal as floats: a zero's sign may differ, the fast forms
            // leave out 0 * e terms.
            if (!(errors[i] == want_errors[i])) {
                char detail[160];
                std::snprintf(detail, sizeof detail,
                              "error of pixel row %zu, column %zu: plain %.9g, %s %.9g",
                              i / width, i % width, static_cast<double>(want_errors[i]), name,
                              static_cast<double>(errors[i]));
                fuzz::disagree(story, name, detail);
            }
        }
    }

    // Every channel but `skip`, each on its own in the plain form.
    Bytes want_all = image;
    std::vector<std::size_t> diffused;
    for (std::size_t c = 0; c < channels; ++c) {
        if (c == skip) continue;
        diffused.push_back(c);
        expect_ok(story, "plain",
                  levels_pass_plain({want_all.data(), height, width, channels}, c, space, levels,
                                    rows, serpentine));
    }
    got = image;
    expect_ok(story, "levels_pass_channels",
              levels_pass_channels({got.data(), height, width, channels, skip}, space, levels, rows,
                                   serpentine));
    fuzz::expect_same_image(story, "levels_pass_channels", want_all, got, width, channels);
    for (Isa path : {Isa::vec128, Isa::avx2}) {
        if (!wavefront || diffused.empty() || !levels_wavefront_forms().runs(path)) continue;
        const char* name = path == Isa::vec128 ? "wavefront vec128 (channels)"
                                               : "wavefront avx2 (channels)";
        got = image;
        expect_ok(story, name,
                  levels_pass_wavefront(path, {got.data(), height, width, channels}, diffused,
                                        space, levels, rows));
        fuzz::expect_same_image(story, name, want_all, got, width, channels);
    }

    check_planes(story, image, height * width, channels, wanted_planes);
    return 0;
}
