"""Palettes made from images with Pillow's own quantizers, for --colors;
the dithering to them is then the extension's, exact."""

import numpy as np
from PIL import Image, features

QUANTIZERS = {
    "median-cut": Image.Quantize.MEDIANCUT,
    "octree": Image.Quantize.FASTOCTREE,
    "libimagequant": Image.Quantize.LIBIMAGEQUANT,
}


def available_quantizers():
    return [name for name in QUANTIZERS
            if name != "libimagequant" or features.check("libimagequant")]


# Pixels a palette is made from. Pillow's median cut takes about two
# seconds on a 4-megapixel photo, ten times its dithering and decoding;
# an even sample of 2**18 pixels gives nearly the same palette in a
# tenth of the time. The dithering to the palette still sees every pixel.
PALETTE_SAMPLE_PIXELS = 1 << 18


def make_palette(image, colors, quantizer="median-cut", sample_pixels=PALETTE_SAMPLE_PIXELS):
    """At most `colors` (2..256) colours for `image`, as (r, g, b) tuples:
    the ones Pillow's quantizer actually uses, in its index order, on an
    even sample of at most `sample_pixels` of the image's own pixels."""
    if image.width * image.height > sample_pixels:
        image = Image.fromarray(downscaled_sample(image, sample_pixels).reshape(-1, 1, 3))
    quantized = image.convert("RGB").quantize(colors=colors, method=QUANTIZERS[quantizer],
                                              dither=Image.Dither.NONE)
    flat = quantized.getpalette()
    used = sorted(index for _, index in quantized.getcolors(256))
    palette = [tuple(flat[3 * i:3 * i + 3]) for i in used]
    # A one-colour image has a one-colour palette; the extension wants two.
    return palette * 2 if len(palette) == 1 else palette


def downscaled_sample(image, pixel_share):
    """An even sample of about `pixel_share` of the pixels of `image`, as an
    (n, 3) array: real pixels, not averages, so no colour is made up. A
    batch's shared palette is made from one such sample of every image, so
    the batch is never held in memory at once."""
    scale = min(1.0, (pixel_share / (image.width * image.height)) ** 0.5)
    size = (max(1, round(image.width * scale)), max(1, round(image.height * scale)))
    return np.asarray(image.convert("RGB").resize(size, Image.Resampling.NEAREST)).reshape(-1, 3)


def palette_of_samples(samples, colors, quantizer="median-cut"):
    """One palette for the pixels of all `samples`, stacked into a single
    column (no padding, so no colour is counted that no image has)."""
    pixels = np.concatenate(samples)
    return make_palette(Image.fromarray(pixels.reshape(-1, 1, 3)), colors, quantizer)
