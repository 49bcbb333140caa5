// ImageView: the one shape every pass takes, pixels it may rewrite in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace dithering {

// height x width pixels of `channels` interleaved bytes, row-major with no
// padding: byte (y, x, c) at (y * width + x) * channels + c, size() bytes
// in all. The view owns nothing; whoever made it keeps the bytes alive for
// as long as a pass runs on them.
struct ImageView {
    ImageView() = default;
    ImageView(std::uint8_t* bytes, std::size_t rows, std::size_t columns,
              std::size_t channels_per_pixel,
              std::optional<std::size_t> alpha_channel = std::nullopt)
        : pixels(bytes),
          height(rows),
          width(columns),
          channels(channels_per_pixel),
          alpha(alpha_channel) {}

    std::uint8_t* pixels = nullptr;
    std::size_t height = 0;
    std::size_t width = 0;
    std::size_t channels = 0;
    // The channel that per-channel quantization leaves untouched.
    std::optional<std::size_t> alpha;

    std::size_t size() const { return height * width * channels; }
};

}  // namespace dithering
