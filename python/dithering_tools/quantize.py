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


def make_palette(image, colors, quantizer="median-cut"):
    """At most `colors` (2..256) colours for `image`, as (r, g, b) tuples:
    the ones Pillow's quantizer actually uses, in its index order."""
    quantized = image.convert("RGB").quantize(colors=colors, method=QUANTIZERS[quantizer],
                                              dither=Image.Dither.NONE)
    flat = quantized.getpalette()
    used = sorted(index for _, index in quantized.getcolors(256))
    palette = [tuple(flat[3 * i:3 * i + 3]) for i in used]
    # A one-colour image has a one-colour palette; the extension wants two.
    return palette * 2 if len(palette) == 1 else palette


def downscaled_sample(image, pixel_share):
    """The pixels of `image` shrunk to about `pixel_share` pixels, as an
    (n, 3) array: a batch's shared palette is made from one such sample of
    every image, so the batch is never held in memory at once."""
    scale = min(1.0, (pixel_share / (image.width * image.height)) ** 0.5)
    size = (max(1, round(image.width * scale)), max(1, round(image.height * scale)))
    return np.asarray(image.convert("RGB").resize(size, Image.Resampling.BOX)).reshape(-1, 3)


def palette_of_samples(samples, colors, quantizer="median-cut"):
    """One palette for the pixels of all `samples`, stacked into a single
    column (no padding, so no colour is counted that no image has)."""
    pixels = np.concatenate(samples)
    return make_palette(Image.fromarray(pixels.reshape(-1, 1, 3)), colors, quantizer)
