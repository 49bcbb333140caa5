"""Palettes made from pictures, and pictures reduced to them in one call.

    from dithering_tools import make_palette, quantize
    palette = make_palette(photo, 64)          # (64, 3) uint8 colours
    out = dithering.error_diffusion(photo, palette=palette)
    indexed = quantize(Image.open("photo.png"), 64)   # a "P" image

make_palette's own method, "variance", cuts the picture's colour histogram
where the squared error falls most (boxes of cells, the worst box cut
first, each at its best cut), counts pixels in smooth areas more than
pixels among detail (where error hides), polishes the colours with a few
steps of Lloyd's method, and makes sure every colour is the nearest one
for some pixel. It is native, exact and deterministic: the same picture
gives the same palette on every machine. Pillow's quantizers remain as
methods "median-cut", "octree" and "libimagequant" (where Pillow has it).
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, cast, overload

import numpy as np

from . import _native

if TYPE_CHECKING:
    import numpy.typing as npt
    from PIL import Image

    _Uint8Array = npt.NDArray[np.uint8]

METHODS = ("variance", "median-cut", "octree", "libimagequant")
DEFAULT_METHOD = "variance"
# Lloyd steps after the splits. The splits leave each colour at the mean
# of a box whose walls are cut on the histogram's cells; a few steps move
# the colours to the means of the pixels actually nearest to them, which
# lowers the tone error of photos by a few per cent; past four steps the
# gain is below a per cent.
DEFAULT_REFINE_STEPS = 4
# The share of each pixel's error that quantize() and the dither command
# (with --colors) pass on, on a serpentine scan. On the quality bench's
# photos (bench/quality.py, 1024 px) the whole error on a raster scan left
# 1.19x libimagequant's grain in smooth areas (geometric mean); 0.9 on a
# serpentine scan leaves 0.94x, and its tone error is lower too (0.80x
# against 0.88x), since less of the dither's noise survives the blur; 0.85
# is calmer still by 1 % but 2 % further off in tone.
DEFAULT_STRENGTH = 0.9
MIN_COLORS, MAX_COLORS = 2, 4096
PILLOW_MAX_COLORS = 256

# Pixels a palette is made from by Pillow's quantizers. Pillow's median
# cut takes about two seconds on a 4-megapixel photo, ten times its
# dithering and decoding; an even sample of 2**18 pixels gives nearly the
# same palette in a tenth of the time. (The variance method sees every
# pixel: it takes a few hundredths of a second.)
PALETTE_SAMPLE_PIXELS = 1 << 18


def available_methods() -> list[str]:
    """The methods this installation has: libimagequant only where Pillow
    was built with it."""
    from PIL import features
    return [name for name in METHODS
            if name != "libimagequant" or features.check("libimagequant")]


def make_palette(image: npt.ArrayLike | Image.Image, n: int | np.integer[Any], *,
                 method: str = DEFAULT_METHOD, weights: npt.ArrayLike | None = "activity",
                 refine: int | np.integer[Any] = DEFAULT_REFINE_STEPS) -> _Uint8Array:
    """At most `n` distinct colours for `image`, as a (k, 3) uint8 array,
    k <= n, which every dithering function takes as its `palette`.

    Args:
        image: a PIL image or a uint8 array: (H, W) grey, (H, W, 2) grey and
            alpha, (H, W, 3), (H, W, 4) with alpha, or wider (channels
            after the third not read). Pixels whose alpha is 0 are left
            out (all of them, for an image that has no other).
        n: 2..4096 colours (2..256 for Pillow's methods).
        method: "variance" (ours), or Pillow's "median-cut", "octree" or
            "libimagequant".
        weights: how much each pixel counts, for "variance": "activity"
            (more in smooth areas than among detail), None (every pixel
            alike), or an (H, W) array of non-negative numbers, scaled so
            that the largest is 255 and rounded (a uint8 array is taken as
            it is).
        refine: Lloyd steps after the splits, for "variance" (0..1000).

    With "variance": an image of at most n distinct colours (counting
    pixels of positive weight) gets exactly those; otherwise n colours,
    each the nearest colour (by squared distance in sRGB bytes, as the
    dithering functions measure without linear light) of at least one
    pixel. Colours come heaviest first. A one-colour image gives one
    colour; the dithering functions want two, which quantize() handles.
    """
    if method not in METHODS:
        raise ValueError(f"unknown method {method!r}; choose from {', '.join(METHODS)}")
    top = MAX_COLORS if method == "variance" else PILLOW_MAX_COLORS
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or not MIN_COLORS <= n <= top:
        raise ValueError(f"n must be an integer from {MIN_COLORS} to {top} for method "
                         f"{method!r}, got {n!r}")
    if method != "variance":
        if not (isinstance(weights, str) and weights == "activity"):
            raise ValueError("weights apply to the variance method only")
        return _pillow_palette(image, int(n), method)
    rgb, alpha = _rgb_and_alpha(image)
    pixel_weights = _pixel_weights(rgb, weights)
    if alpha is not None:
        if pixel_weights is None:
            pixel_weights = np.ones(alpha.shape, dtype=np.uint8)
        pixel_weights = np.where(alpha == 0, np.uint8(0), pixel_weights)
    if isinstance(refine, bool) or not isinstance(refine, (int, np.integer)):
        raise TypeError(f"refine must be an integer, got {refine!r}")
    if rgb.size == 0:
        raise ValueError("the image has no pixels")
    colors = _native.make_palette(rgb, 3, None if pixel_weights is None
                                  else np.ascontiguousarray(pixel_weights), int(n), int(refine))
    return np.frombuffer(colors, dtype=np.uint8).reshape(-1, 3).copy()


def palette_list(colors: Iterable[Iterable[int | np.integer[Any]]]) -> list[tuple[int, ...]]:
    """make_palette's colours as (r, g, b) tuples, as the command keeps
    them; one colour twice, since the dithering functions want two."""
    palette = [tuple(int(v) for v in c) for c in colors]
    return palette * 2 if len(palette) == 1 else palette


def activity_weights(rgb: npt.ArrayLike) -> _Uint8Array:
    """The "activity" weights of an (H, W, 3) uint8 array: 1..16 per pixel,
    16 where its 3 x 3 neighbourhood is flat, falling as it gets busier."""
    rgb = np.ascontiguousarray(rgb, dtype=np.uint8)
    height, width = rgb.shape[:2]
    return np.frombuffer(_native.activity_weights(rgb, height, width, 3),
                         dtype=np.uint8).reshape(height, width)


def _rgb_and_alpha(image: npt.ArrayLike | Image.Image) -> tuple[_Uint8Array, _Uint8Array | None]:
    """(H, W, 3) contiguous uint8 colours and the (H, W) alpha or None."""
    try:
        from PIL import Image
    except ImportError:
        Image = None  # type: ignore[assignment]
    if Image is not None and isinstance(image, Image.Image):
        has_alpha = image.mode in ("RGBA", "LA", "PA", "La", "RGBa") or (
            image.mode == "P" and "transparency" in image.info)
        image = image.convert("RGBA" if has_alpha else "RGB")
    array = np.asarray(image)
    if array.dtype != np.uint8:
        raise TypeError(f"the image must be uint8, got {array.dtype}")
    if array.ndim == 2:
        array = array[:, :, None]
    if array.ndim != 3 or array.shape[2] == 0:
        raise ValueError(f"the image must be (H, W) or (H, W, C), got shape {array.shape}")
    channels = array.shape[2]
    alpha = array[:, :, channels - 1] if channels in (2, 4) else None
    colour = array[:, :, :1].repeat(3, axis=2) if channels <= 2 else array[:, :, :3]
    return np.ascontiguousarray(colour), alpha


def _pixel_weights(rgb: _Uint8Array, weights: npt.ArrayLike | None) -> _Uint8Array | None:
    if weights is None:
        return None
    if isinstance(weights, str):
        if weights != "activity":
            raise ValueError(f"weights must be 'activity', None or an array, got {weights!r}")
        return activity_weights(rgb)
    array = np.asarray(weights)
    if array.shape != rgb.shape[:2]:
        raise ValueError(f"weights must have the image's shape {rgb.shape[:2]}, "
                         f"got {array.shape}")
    if array.dtype == np.uint8:
        return array
    if array.dtype.kind not in "iuf":
        raise TypeError(f"weights must be numbers, got {array.dtype}")
    values = array.astype(np.float64)
    if not np.isfinite(values).all() or (values < 0).any():
        raise ValueError("weights must be finite and non-negative")
    top = values.max(initial=0.0)
    if top == 0:
        raise ValueError("every weight is 0")
    scaled: _Uint8Array = np.rint(values * (255.0 / top)).astype(np.uint8)
    return scaled


def _pillow_palette(image: npt.ArrayLike | Image.Image, n: int, method: str,
                    sample_pixels: int = PALETTE_SAMPLE_PIXELS) -> _Uint8Array:
    """Pillow's quantizer's colours: the ones it uses, in its index order,
    made from an even sample of at most `sample_pixels` pixels."""
    from PIL import Image
    methods = {"median-cut": Image.Quantize.MEDIANCUT, "octree": Image.Quantize.FASTOCTREE,
               "libimagequant": Image.Quantize.LIBIMAGEQUANT}
    if not isinstance(image, Image.Image):
        rgb, _ = _rgb_and_alpha(image)
        image = Image.fromarray(rgb)
    if image.width * image.height > sample_pixels:
        image = Image.fromarray(downscaled_sample(image, sample_pixels))
    quantized = image.convert("RGB").quantize(colors=n, method=methods[method],
                                              dither=Image.Dither.NONE)
    flat, counts = quantized.getpalette(), quantized.getcolors(256)
    # A "P" image always has a palette, and at most 256 colours, as indices.
    assert flat is not None and counts is not None
    used = sorted(cast(int, index) for _, index in counts)
    return np.array([flat[3 * i:3 * i + 3] for i in used], dtype=np.uint8).reshape(-1, 3)


def downscaled_sample(image: Image.Image, pixel_share: float) -> _Uint8Array:
    """An even sample of about `pixel_share` of the pixels of PIL `image`,
    as an (h, w, 3) array: real pixels, not averages, so no colour is made
    up. A batch's shared palette is made from one such sample of every
    image, so the batch is never held in memory at once."""
    from PIL import Image
    scale = min(1.0, (pixel_share / (image.width * image.height)) ** 0.5)
    size = (max(1, round(image.width * scale)), max(1, round(image.height * scale)))
    return np.asarray(image.convert("RGB").resize(size, Image.Resampling.NEAREST))


def palette_of_samples(samples: Sequence[_Uint8Array], n: int, method: str = DEFAULT_METHOD) -> _Uint8Array:
    """One palette for the pixels of all `samples` ((h, w, 3) arrays),
    each sample's activity weights taken on the sample itself, all stacked
    into a single column (no padding, so no colour is counted that no
    image has)."""
    pixels = np.concatenate([s.reshape(-1, 3) for s in samples])
    if method != "variance":
        return make_palette(pixels.reshape(-1, 1, 3), n, method=method)
    weights = np.concatenate([activity_weights(s).reshape(-1) for s in samples])
    return make_palette(pixels.reshape(-1, 1, 3), n, weights=weights.reshape(-1, 1))


# A PIL image in gives a "P" image; an array gives (indices, palette). The
# array overload first: where Pillow is missing, Image.Image is unresolved
# (Any) and would match everything.
@overload
def quantize(image: npt.ArrayLike, n: int, *, method: str = ..., dither: bool = ...,
             kernel: str = ..., serpentine: bool = ..., strength: float | None = ...,
             palette: npt.ArrayLike | None = ...,
             ) -> tuple[npt.NDArray[np.uint8 | np.uint16], _Uint8Array]: ...
@overload
def quantize(image: Image.Image, n: int, *, method: str = ..., dither: bool = ...,
             kernel: str = ..., serpentine: bool = ..., strength: float | None = ...,
             palette: npt.ArrayLike | None = ...) -> Image.Image: ...
def quantize(image: npt.ArrayLike | Image.Image, n: int, *, method: str = DEFAULT_METHOD,
             dither: bool = True, kernel: str = "floyd_steinberg", serpentine: bool = True,
             strength: float | None = None, palette: npt.ArrayLike | None = None,
             ) -> tuple[npt.NDArray[np.uint8 | np.uint16], _Uint8Array] | Image.Image:
    """`image` reduced to at most `n` colours of its own, in one call: the
    palette from make_palette(image, n, method=method), then bounded error
    diffusion to it (dithering_tools.bounded_error_diffusion) with `kernel`,
    `serpentine` and `strength` (default 0.9: the whole error would add
    grain to smooth areas), or plain
    nearest colours with dither=False. A given `palette` is used instead of
    making one.

    Returns, for a PIL image, a "P" image (its palette the colours, its
    pixels their indices; n must then be at most 256); for an array,
    (indices, palette): an (H, W) array of indices into palette (uint8,
    or uint16 past 256 colours) and the (k, 3) uint8 colours. Alpha is not
    kept: transparent pixels count for no colour, and take one anyway.
    """
    from .bounded import bounded_error_diffusion
    try:
        from PIL import Image
    except ImportError:
        Image = None  # type: ignore[assignment]
    is_pil = Image is not None and isinstance(image, Image.Image)
    if is_pil and n > PILLOW_MAX_COLORS:
        raise ValueError(f"a PIL image holds at most {PILLOW_MAX_COLORS} colours, got n={n}")
    if palette is None:
        palette = make_palette(image, n, method=method)
    else:
        palette = np.asarray(palette, dtype=np.uint8).reshape(-1, 3)
    rgb, _ = _rgb_and_alpha(image)
    # The dithering functions want two colours; one colour twice is its
    # own palette still, and every pixel takes the first.
    colours = palette if len(palette) >= 2 else np.concatenate([palette, palette])
    out = bounded_error_diffusion(rgb, kernel, palette=colours, serpentine=serpentine,
                                  strength=(DEFAULT_STRENGTH if strength is None else strength)
                                  if dither else 0.0)
    indices = indices_of(out, palette)
    if not is_pil:
        return indices, palette
    indexed = Image.frombytes("P", (indices.shape[1], indices.shape[0]), indices.tobytes())
    indexed.putpalette(palette.reshape(-1).tolist())
    return indexed


def indices_of(rgb: _Uint8Array, palette: _Uint8Array) -> npt.NDArray[np.uint8 | np.uint16]:
    """The index into `palette` of every pixel of (H, W, 3) `rgb`, each of
    which must be one of its colours (the first of equal colours)."""
    keys = _keys(palette)
    order = np.argsort(keys, kind="stable")
    sorted_keys = keys[order]
    pixel_keys = _keys(rgb.reshape(-1, 3)).reshape(rgb.shape[:2])
    at = np.searchsorted(sorted_keys, pixel_keys)
    dtype = np.uint8 if len(palette) <= 256 else np.uint16
    return order[np.minimum(at, len(order) - 1)].astype(dtype)


def _keys(colours: npt.ArrayLike) -> npt.NDArray[np.integer[Any]]:
    c = np.asarray(colours, dtype=np.uint32)
    return (c[..., 0] << 16) | (c[..., 1] << 8) | c[..., 2]
