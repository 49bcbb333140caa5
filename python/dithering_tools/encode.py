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


def indexed_image(result, palette):
    """A mode "P" image of `result` (H, W, 3) whose palette is exactly
    `palette` (at most 256 colours after dropping repeats, first kept), or
    None if some pixel is not in it.

    Each channel goes through a 256-entry table to its value's rank among
    the palette's values of that channel (one past the last for a value
    the palette lacks), and the three ranks to the colour's index in a
    table as large as the product of the counts: four byte lookups per
    pixel, where sorting or searching packed colours costs several times
    as long on a photo."""
    colors = np.array(list(dict.fromkeys(palette)), dtype=np.uint8).reshape(-1, 3)
    values = [np.unique(colors[:, c]) for c in range(3)]
    sides = [len(v) + 1 for v in values]  # + 1: "not in the palette"
    if sides[0] * sides[1] * sides[2] > 1 << 21:
        return _indexed_by_search(result, colors)
    codes_dtype = np.uint16 if sides[0] * sides[1] * sides[2] <= 65536 else np.uint32
    ranks = []
    for c in range(3):
        table = np.full(256, len(values[c]), dtype=codes_dtype)
        table[values[c]] = np.arange(len(values[c]), dtype=codes_dtype)
        ranks.append(table)

    def codes(pixels):
        code = ranks[0][pixels[..., 0]]
        code *= sides[1] * sides[2]
        code += ranks[1][pixels[..., 1]] * codes_dtype(sides[2])
        code += ranks[2][pixels[..., 2]]
        return code

    missing = len(colors)  # at most 256: needs the 16-bit table below
    index_of_code = np.full(sides[0] * sides[1] * sides[2], missing, dtype=np.uint16)
    index_of_code[codes(colors)] = np.arange(len(colors), dtype=np.uint16)
    indices = index_of_code[codes(result)]
    if indices.max(initial=0) == missing:
        return None
    image = Image.fromarray(indices.astype(np.uint8), "P")
    image.putpalette(colors.ravel().tolist())
    return image


def _indexed_by_search(result, colors):
    """indexed_image for palettes whose rank table would be too large
    (many distinct values in every channel): a binary search of packed colours."""
    def packed(rgb):
        wide = np.zeros(rgb.shape[:-1] + (4,), dtype=np.uint8)
        wide[..., :3] = rgb
        return wide.view(np.uint32)[..., 0]

    table = packed(colors)
    order = np.argsort(table)
    pixels = packed(result)
    positions = np.minimum(np.searchsorted(table[order], pixels), len(table) - 1)
    if not np.array_equal(table[order][positions], pixels):
        return None
    image = Image.fromarray(order[positions].astype(np.uint8), "P")
    image.putpalette(colors.ravel().tolist())
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
        if palette is None:
            # Levels: each channel holds a few values, and their every
            # combination (at most 6**3 = 216) can be the palette.
            present = [np.flatnonzero(np.bincount(result[..., c].ravel(), minlength=256))
                       for c in range(3)]
            if len(present[0]) * len(present[1]) * len(present[2]) <= 256:
                cube = [(int(r), int(g), int(b)) for r in present[0] for g in present[1]
                        for b in present[2]]
                return indexed_image(result, cube), save
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
