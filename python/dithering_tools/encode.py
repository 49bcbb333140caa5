"""The image written for a dithered result, in the smallest mode that holds
it exactly: indexed with exactly the palette, one bit for black and white,
otherwise the result's own mode."""

import numpy as np
from PIL import Image

# Formats that store palette images and one-bit images as such.
INDEXED_FORMATS = {"PNG", "GIF", "BMP", "TIFF"}
ONE_BIT_FORMATS = {"PNG", "BMP", "TIFF", "GIF"}


class EncodeError(ValueError):
    """A result the chosen format cannot hold exactly."""


def _packed(rgb):
    rgb = rgb.astype(np.uint32)
    return (rgb[..., 0] << 16) | (rgb[..., 1] << 8) | rgb[..., 2]


def indexed_image(result, palette):
    """A mode "P" image of `result` (H, W, 3) whose palette is exactly
    `palette` (duplicates dropped, first kept), or None if some pixel is
    not in it."""
    unique_palette = list(dict.fromkeys(palette))
    table = _packed(np.array(unique_palette, dtype=np.uint8))
    order = np.argsort(table)
    sorted_table = table[order]
    pixels = _packed(result)
    positions = np.minimum(np.searchsorted(sorted_table, pixels), len(table) - 1)
    if not np.array_equal(sorted_table[positions], pixels):
        return None
    indices = order[positions].astype(np.uint8)
    image = Image.fromarray(indices, "P")
    image.putpalette([v for color in unique_palette for v in color])
    return image


def output_image(result, fmt, palette=None, levels=None):
    """(PIL image, save keywords) for the extension's `result` array."""
    fmt = fmt.upper()
    save = {"optimize": False} if fmt == "GIF" else {}
    if result.ndim == 2:
        if palette is None and levels in (None, 2) and fmt in ONE_BIT_FORMATS:
            # Two grey levels are 0 and 255: one bit per pixel, no loss.
            return Image.fromarray(result).convert("1", dither=Image.Dither.NONE), save
        return Image.fromarray(result, "L"), save
    channels = result.shape[2]
    if channels == 3 and fmt in INDEXED_FORMATS:
        if palette is not None and len(set(palette)) <= 256:
            image = indexed_image(result, palette)
            if image is not None:
                return image, save
        if fmt == "GIF":
            # GIF holds only palette images: index the result's own colours,
            # so that the file still decodes to exactly the result.
            colors = np.unique(result.reshape(-1, 3), axis=0)
            if len(colors) > 256:
                raise EncodeError(f"GIF holds at most 256 colours; this result has {len(colors)}"
                                  " (use --colors, a palette, fewer --levels, or PNG)")
            return indexed_image(result, [tuple(int(v) for v in c) for c in colors]), save
    if channels != 3 and fmt in ("GIF", "JPEG"):
        raise EncodeError(f"{fmt} cannot hold an alpha channel; write PNG or drop --keep-alpha")
    return Image.fromarray(result, {2: "LA", 3: "RGB", 4: "RGBA"}[channels]), save
