"""The image written for a dithered result, in the smallest mode that holds
it exactly: indexed with exactly the palette, one bit for black and white,
otherwise the result's own mode. WebP is written lossless; formats whose
compression changes pixels are refused unless the caller allows them."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from PIL import Image

if TYPE_CHECKING:
    import numpy.typing as npt

    _Uint8Array = npt.NDArray[np.uint8]

# Formats that store palette images and one-bit images as such.
INDEXED_FORMATS = {"PNG", "GIF", "BMP", "TIFF"}
ONE_BIT_FORMATS = {"PNG", "BMP", "TIFF", "GIF"}
# Formats whose compression changes the pixels (Pillow's PDF stores grey
# and RGB images as JPEG): the dither's exact dots become smudges and stray
# colours. WebP is not among them: it is written lossless.
LOSSY_FORMATS = {"JPEG", "MPO", "AVIF", "HEIF", "PDF"}
# GIF transparency is one palette entry: alpha below this is that entry.
GIF_ALPHA_THRESHOLD = 128


def lossy_refusal(fmt: str) -> str | None:
    """The message refusing lossy format `fmt`, or None for an exact one."""
    if fmt.upper() not in LOSSY_FORMATS:
        return None
    return (f"{fmt.upper()} is lossy: its compression would smear the dithered pixels and add"
            " colours; write PNG, GIF, WebP (lossless), TIFF or BMP, or pass --allow-lossy")


class EncodeError(ValueError):
    """A result the chosen format cannot hold exactly."""


def indexed_image(result: _Uint8Array, palette: Sequence[tuple[int, ...]]) -> Image.Image | None:
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
    ranks: list[npt.NDArray[Any]] = []
    for c in range(3):
        table = np.full(256, len(values[c]), dtype=codes_dtype)
        table[values[c]] = np.arange(len(values[c]), dtype=codes_dtype)
        ranks.append(table)

    def codes(pixels: _Uint8Array) -> npt.NDArray[Any]:
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


def _indexed_by_search(result: _Uint8Array, colors: _Uint8Array) -> Image.Image | None:
    """indexed_image for palettes whose rank table would be too large
    (many distinct values in every channel): a binary search of packed colours."""
    def packed(rgb: _Uint8Array) -> npt.NDArray[np.uint32]:
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


def gif_with_transparency(result: _Uint8Array, palette: Sequence[tuple[int, ...]] | None = None,
                          notes: list[str] | None = None) -> tuple[Image.Image, dict[str, Any]]:
    """(mode "P" image, save keywords) for a result with alpha (H, W, 2 or
    4) as a GIF: pixels whose alpha is below 128 become one transparent
    palette entry, the others opaque. The colours are `palette`'s, in its
    order, when it holds every opaque pixel and leaves room for that entry,
    otherwise the opaque pixels' own. Partial alpha, which GIF cannot hold,
    is noted in `notes`."""
    alpha = result[..., -1]
    colour = result[..., :-1]
    if colour.shape[-1] == 1:
        colour = np.repeat(colour, 3, axis=-1)
    opaque = alpha >= GIF_ALPHA_THRESHOLD
    if notes is not None and np.any((alpha != 0) & (alpha != 255)):
        notes.append("GIF transparency is all or nothing: alpha below 128 written "
                     "transparent, the rest opaque")
    shown = colour[opaque]
    own = [tuple(int(v) for v in c) for c in np.unique(shown.reshape(-1, 3), axis=0)]
    colors = list(dict.fromkeys(palette)) if palette is not None else None
    if colors is None or len(colors) > 255 or not set(own) <= set(colors):
        colors = own
    if len(colors) > 255:
        raise EncodeError(f"a GIF with transparency holds at most 255 colours; this result has"
                          f" {len(colors)} (use --colors, a palette, fewer --levels, or PNG)")
    if not colors:
        colors = [(0, 0, 0)]  # nothing opaque: any colour, never shown
    filled = colour.copy()
    filled[~opaque] = colors[0]
    image = indexed_image(filled, colors)
    transparent = len(colors)
    indices = np.asarray(image).copy()
    indices[~opaque] = transparent
    out = Image.fromarray(indices, "P")
    out.putpalette([v for c in colors + [(0, 0, 0)] for v in c])
    return out, {"optimize": False, "transparency": transparent}


def output_image(result: _Uint8Array, fmt: str, palette: Sequence[tuple[int, ...]] | None = None,
                 levels: int | None = None, notes: list[str] | None = None,
                 ) -> tuple[Image.Image, dict[str, Any]]:
    """(PIL image, save keywords) for the extension's `result` array.
    Anything the file cannot hold as it is goes into `notes` (a list)."""
    fmt = fmt.upper()
    save = {"optimize": False} if fmt == "GIF" else {}
    if fmt == "WEBP":
        # Pillow's default is lossy; `exact` keeps the colour under
        # transparent pixels, which the lossless encoder may otherwise change.
        save = {"lossless": True, "exact": True}
    if fmt == "GIF" and result.ndim == 3 and result.shape[2] in (2, 4):
        return gif_with_transparency(result, palette, notes)
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
                image = indexed_image(result, cube)
                assert image is not None  # the cube holds every pixel's colour
                return image, save
        if fmt == "GIF":
            # GIF holds only palette images: index the result's own colours,
            # so that the file still decodes to exactly the result.
            colors = np.unique(result.reshape(-1, 3), axis=0)
            if len(colors) > 256:
                raise EncodeError(f"GIF holds at most 256 colours; this result has {len(colors)}"
                                  " (use --colors, a palette, fewer --levels, or PNG)")
            image = indexed_image(result, [tuple(int(v) for v in c) for c in colors])
            assert image is not None  # made of the result's own colours
            return image, save
    if channels != 3 and fmt == "JPEG":
        raise EncodeError(f"{fmt} cannot hold an alpha channel; write PNG or drop --keep-alpha")
    return Image.fromarray(result, {2: "LA", 3: "RGB", 4: "RGBA"}[channels]), save
