"""The image written for a dithered result, in the smallest mode that holds
it exactly: indexed with exactly the palette, one bit for black and white,
otherwise the result's own mode. A PNG is indexed also with kept alpha when
at most 256 (colour, alpha) pairs occur (the palette then carries each
entry's alpha), holds 4 or 16 even grey levels in 2 or 4 bits a pixel,
and is written with whichever of a few zlib settings makes it smallest.
WebP is written lossless; formats whose compression changes pixels are
refused unless the caller allows them."""

from __future__ import annotations

import io
import zlib
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
# PNG save settings tried on each file, smallest kept (the first of equals):
# Pillow's defaults, its `optimize` (zlib level 9), and three zlib
# strategies. No one of them wins everywhere: on dithered photos of 4 to 16
# colours (sub-byte pixels) Huffman-only or run-length coding is often 2-10 %
# smaller than the defaults and `optimize` 1-11 % larger, while at 64 or 256
# colours level 9 wins and the strategies lose up to 47 %. Level 9 costs:
# encoding a 16-colour photo took 5.6 times as long for 2.4 % less, so it
# is tried only when the smallest file is asked for (PNG_SMALLEST_TRIALS).
PNG_TRIALS: tuple[dict[str, Any], ...] = (
    {}, {"compress_type": zlib.Z_HUFFMAN_ONLY}, {"compress_type": zlib.Z_RLE})
PNG_SMALLEST_TRIALS: tuple[dict[str, Any], ...] = PNG_TRIALS + (
    {"optimize": True}, {"compress_level": 9, "compress_type": zlib.Z_FILTERED})
# Larger images try the settings on TRIAL_BANDS bands of rows spread down
# the picture, TRIAL_PIXELS pixels in all, not on the whole file: a fifth
# to a half of one encoding's time at 2048 x 2048, and on the bench photos
# the whole-file pick but once (3 bytes larger, of 3.3 MB).
TRIAL_PIXELS = 1 << 17
TRIAL_BANDS = 8


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
    None if some pixel is not in it."""
    found = _palette_indices(result, palette)
    return None if found is None else _palette_image(*found)


def _palette_indices(result: _Uint8Array, palette: Sequence[tuple[int, ...]],
                     ) -> tuple[_Uint8Array, _Uint8Array] | None:
    """(indices (H, W) uint8, colours (n, 3) uint8) of `result` (H, W, 3)
    in `palette` (repeats dropped, first kept), or None if some pixel is
    not in it.

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
        return _indices_by_search(result, colors)
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
    return indices.astype(np.uint8), colors


def _indices_by_search(result: _Uint8Array, colors: _Uint8Array,
                       ) -> tuple[_Uint8Array, _Uint8Array] | None:
    """_palette_indices for palettes whose rank table would be too large
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
    return order[positions].astype(np.uint8), colors


def _palette_image(indices: _Uint8Array, colors: _Uint8Array) -> Image.Image:
    """Mode "P" from indices and (n, 3) RGB or (n, 4) RGBA colours: an RGBA
    palette is written to PNG as PLTE plus each entry's alpha (tRNS). The
    palette holds exactly n entries, so Pillow writes a PNG at the fewest
    bits a pixel (1, 2, 4 or 8) that index them."""
    image = Image.fromarray(indices, "P")
    image.putpalette(colors.ravel().tolist(), "RGBA" if colors.shape[1] == 4 else "RGB")
    return image


def _compacted(indices: _Uint8Array, colors: _Uint8Array, by_luminance: bool = True,
               ) -> tuple[_Uint8Array, _Uint8Array]:
    """(indices, colours) with the unused colours dropped and the rest in
    order of luminance (then alpha, then their order before), or in their
    order before. Fewer entries can mean fewer bits a pixel, and
    neighbouring pixels of a dither are mostly colours of similar
    lightness, so their indices end up close: at 16 colours of the bench
    photos the PNG shrinks by up to 17 %, at 4 by up to 12 %, though on
    some photos the order before wins by 1-2 %; at 64 and 256 colours the
    order makes no difference (within 0.2 %)."""
    counts = np.bincount(indices.ravel(), minlength=len(colors))
    used = np.flatnonzero(counts)
    order = used
    if by_luminance:
        rgb = colors[used, :3].astype(np.int64)
        keys = [299 * rgb[:, 0] + 587 * rgb[:, 1] + 114 * rgb[:, 2]]
        if colors.shape[1] == 4:
            keys.insert(0, colors[used, 3])
        order = used[np.lexsort(keys)]
    new_index = np.zeros(len(colors), dtype=np.uint8)
    new_index[order] = np.arange(len(order), dtype=np.uint8)
    return new_index[indices], colors[order]


def _indexed_with_alpha(result: _Uint8Array, palette: Sequence[tuple[int, ...]] | None,
                        ) -> Image.Image | None:
    """A mode "P" image with an RGBA palette holding `result` (H, W, 2 or
    4) exactly, colour under transparent pixels included, or None when
    more than 256 distinct (colour, alpha) pairs occur."""
    alpha = result[..., -1]
    if result.shape[2] == 2:
        colour_index = result[..., 0]
        colors = np.repeat(np.arange(256, dtype=np.uint8)[:, None], 3, axis=1)
    else:
        found = _rgb_indices(result[..., :3], palette)
        if found is None:
            return None
        colour_index, colors = found
    pairs = colour_index.astype(np.uint16) << 8
    pairs |= alpha
    counts = np.bincount(pairs.ravel(), minlength=1 << 16)
    used = np.flatnonzero(counts)
    if len(used) > 256:
        return None
    entry_of_pair = np.zeros(1 << 16, dtype=np.uint8)
    entry_of_pair[used] = np.arange(len(used), dtype=np.uint8)
    entries = np.column_stack([colors[used >> 8], (used & 255).astype(np.uint8)])
    return _palette_image(*_compacted(entry_of_pair[pairs], entries))


def _rgb_indices(result: _Uint8Array, palette: Sequence[tuple[int, ...]] | None,
                 ) -> tuple[_Uint8Array, _Uint8Array] | None:
    """(indices, colours) of an (H, W, 3) result in `palette`, or, without
    one, in the cube of the values each channel holds (levels), or None
    when neither holds it in 256 entries."""
    if palette is not None:
        return _palette_indices(result, palette) if len(set(palette)) <= 256 else None
    # Levels: each channel holds a few values, and their every combination
    # (at most 6**3 = 216) can be the palette.
    present = [np.flatnonzero(np.bincount(result[..., c].ravel(), minlength=256))
               for c in range(3)]
    if len(present[0]) * len(present[1]) * len(present[2]) > 256:
        return None
    cube = [(int(r), int(g), int(b)) for r in present[0] for g in present[1] for b in present[2]]
    found = _palette_indices(result, cube)
    assert found is not None  # the cube holds every pixel's colour
    return found


def png_choice(images: Sequence[Image.Image], save: dict[str, Any] | None = None,
               smallest: bool = False) -> tuple[Image.Image, dict[str, Any]]:
    """(image, keywords) that save as the smallest PNG (the first of equals)
    of `images`, the same pixels in different palette orders, each with the
    keywords `save` besides: the first with each of PNG_TRIALS (with
    `smallest`, PNG_SMALLEST_TRIALS), the others with Pillow's defaults
    (and `optimize`) only, so that the file is never larger than Pillow
    makes of any of them with its defaults (and with `smallest`, with
    `optimize` too). Tried on the whole image up to TRIAL_PIXELS pixels, on
    bands of its rows beyond (where that promise holds for the bands)."""
    trials = PNG_SMALLEST_TRIALS if smallest else PNG_TRIALS
    others = [0, trials.index({"optimize": True})] if smallest else [0]
    best: tuple[int, int, int] | None = None
    for number, image in enumerate(images):
        sample = _trial_sample(image)
        for trial, settings in enumerate(trials):
            if number and trial not in others:
                continue
            stream = io.BytesIO()
            sample.save(stream, format="PNG", **(save or {}), **settings)
            if best is None or stream.tell() < best[0]:
                best = (stream.tell(), number, trial)
    assert best is not None
    return images[best[1]], {**(save or {}), **trials[best[2]]}


def _trial_sample(image: Image.Image) -> Image.Image:
    """`image`, or beyond TRIAL_PIXELS pixels TRIAL_BANDS bands of its rows
    spread from top to bottom, one under the other."""
    width, height = image.size
    rows = max(1, TRIAL_PIXELS // (width * TRIAL_BANDS))
    if width * height <= TRIAL_PIXELS or height <= rows * TRIAL_BANDS:
        return image
    # A crop keeps the mode and palette; each band is pasted over it.
    sample = image.crop((0, 0, width, rows * TRIAL_BANDS))
    starts = np.linspace(0, height - rows, TRIAL_BANDS).astype(int)
    for band, top in enumerate(starts):
        sample.paste(image.crop((0, int(top), width, int(top) + rows)), (0, band * rows))
    return sample


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
                 levels: int | None = None, notes: list[str] | None = None, *,
                 keep_palette: bool = True, smallest: bool = False) -> tuple[Image.Image, dict[str, Any]]:
    """(PIL image, save keywords) for the extension's `result` array.
    Anything the file cannot hold as it is goes into `notes` (a list).

    An indexed file carries `palette` as it is (repeats dropped), unused
    colours and order included, unless `keep_palette` is false (a palette
    made from the picture, whose order means nothing): then, as for the
    palettes made here (levels, a GIF's own colours, kept alpha), unused
    colours are dropped and the rest ordered for compression. A PNG is
    saved with the settings that make it smallest of a few fast ones, of
    slower ones too with `smallest` (see png_choice)."""
    images, save = _output_images(result, fmt.upper(), palette, levels, notes, keep_palette)
    if fmt.upper() == "PNG":
        return png_choice(images, save, smallest)
    return images[0], save


def _output_images(result: _Uint8Array, fmt: str, palette: Sequence[tuple[int, ...]] | None,
                   levels: int | None, notes: list[str] | None, keep_palette: bool,
                   ) -> tuple[list[Image.Image], dict[str, Any]]:
    """([image, the same in other palette orders...], save keywords)."""
    save: dict[str, Any] = {"optimize": False} if fmt == "GIF" else {}
    if fmt == "WEBP":
        # Pillow's default is lossy; `exact` keeps the colour under
        # transparent pixels, which the lossless encoder may otherwise change.
        save = {"lossless": True, "exact": True}
    if fmt == "GIF" and result.ndim == 3 and result.shape[2] in (2, 4):
        gif, gif_save = gif_with_transparency(result, palette, notes)
        return [gif], gif_save
    if result.ndim == 2:
        if palette is None and levels in (None, 2) and fmt in ONE_BIT_FORMATS:
            # Two grey levels are 0 and 255: one bit per pixel, no loss.
            return [Image.fromarray(result).convert("1", dither=Image.Dither.NONE)], save
        if fmt == "PNG":
            # 4 and 16 evenly spaced levels (multiples of 85 or 17) are
            # exactly the greys of a 2- or 4-bit grey PNG (written so by
            # Pillow 13 and newer; older ones ignore `bits`: 8 bits, exact).
            present = np.flatnonzero(np.bincount(result.ravel(), minlength=256))
            bits = next((b for b in (1, 2, 4) if not np.any(present % (255 // ((1 << b) - 1)))), 8)
            if bits < 8:
                save = {"bits": bits}
        return [Image.fromarray(result, "L")], save
    channels = result.shape[2]
    if fmt == "PNG" and channels in (2, 4):
        image = _indexed_with_alpha(result, palette)
        if image is not None:
            return [image], save
    if channels == 3 and fmt in INDEXED_FORMATS:
        found = _rgb_indices(result, palette)
        if found is None and fmt == "GIF":
            # GIF holds only palette images: index the result's own colours,
            # so that the file still decodes to exactly the result.
            colors = np.unique(result.reshape(-1, 3), axis=0)
            if len(colors) > 256:
                raise EncodeError(f"GIF holds at most 256 colours; this result has {len(colors)}"
                                  " (use --colors, a palette, fewer --levels, or PNG)")
            found = _palette_indices(result, [tuple(int(v) for v in c) for c in colors])
            assert found is not None  # made of the result's own colours
            palette = None
        if found is not None:
            if palette is not None and keep_palette:
                return [_palette_image(*found)], save
            variants = [_compacted(*found)]
            if fmt == "PNG":
                variants.append(_compacted(*found, by_luminance=False))
            return [_palette_image(*v) for v in variants], save
    if channels != 3 and fmt == "JPEG":
        raise EncodeError(f"{fmt} cannot hold an alpha channel; write PNG or drop --keep-alpha")
    return [Image.fromarray(result, {2: "LA", 3: "RGB", 4: "RGBA"}[channels])], save
