// ImageView: the one shape every pass takes, pixels it may rewrite in place;
// ImageLayout: that shape alone, which the working image shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace dithering {

// height x width pixels of `channels` interleaved bytes, row-major with no
// padding: byte (y, x, c) at (y * width + x) * channels + c, size() bytes
// in all.
struct ImageLayout {
    std::size_t height = 0;
    std::size_t width = 0;
    std::size_t channels = 0;
    // The channel that per-channel quantization leaves untouched.
    std::optional<std::size_t> alpha;

    std::size_t size() const { return height * width * channels; }
};

// Bytes in that layout. The view owns nothing; whoever made it keeps the
// bytes alive for as long as a pass runs on them.
struct ImageView : ImageLayout {
    ImageView() = default;
    ImageView(std::uint8_t* bytes, const ImageLayout& layout)
        : ImageLayout(layout), pixels(bytes) {}
    ImageView(std::uint8_t* bytes, std::size_t rows, std::size_t columns,
              std::size_t channels_per_pixel,
              std::optional<std::size_t> alpha_channel = std::nullopt)
        : ImageLayout{rows, columns, channels_per_pixel, alpha_channel}, pixels(bytes) {}

    std::uint8_t* pixels = nullptr;
};

}  // namespace dithering
