"""Error diffusion to a palette with the carried error bounded.

`dithering.error_diffusion` carries the whole error of every pixel on to
its neighbours and never clamps a value. With a palette that does not
enclose the picture's colours (one made from a photo never holds the
photo's extremes, nor a few colours chosen by taste), the colour chosen for
a bright pixel is darker than the pixel, the surplus is pushed on, piles up
far beyond 0..255 and comes out pixels later as streaks and smears.

`bounded_error_diffusion` is the same dither with one change: each component
of a pixel's value plus the error carried onto it is clamped to 0..255
before the nearest colour is chosen, and the error passed on is the clamped
value minus that colour, so it can never run away. The `dither` command
uses it whenever it diffuses to a palette (`--unbounded` for the module's
own result).

Levels need no bound: 0 and 255 are always levels, so a value beyond them
keeps no more error than was carried onto it, and the error cannot run
away; `dithering.error_diffusion` is the call for levels.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, overload

from . import _native

if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence
    from typing import SupportsFloat, SupportsIndex, TypeAlias

    import numpy as np
    import numpy.typing as npt
    from PIL import Image

    _Palette: TypeAlias = Iterable[str | Sequence[SupportsIndex] | npt.NDArray[np.integer]] | npt.NDArray[np.integer]

__all__ = ["bounded_error_diffusion"]


# An array in gives an array out, a PIL image a PIL image; the array
# overload first, so that where Pillow is missing (Image.Image unresolved)
# arrays still give arrays.
@overload
def bounded_error_diffusion(image: npt.ArrayLike, method: str = ..., *, palette: _Palette,
                            serpentine: bool | np.bool_ = ...,
                            strength: SupportsFloat | SupportsIndex = ..., linear: bool | np.bool_ = ...,
                            preserve_alpha: bool | np.bool_ = ...) -> npt.NDArray[np.uint8]: ...
@overload
def bounded_error_diffusion(image: Image.Image, method: str = ..., *, palette: _Palette,
                            serpentine: bool | np.bool_ = ...,
                            strength: SupportsFloat | SupportsIndex = ..., linear: bool | np.bool_ = ...,
                            preserve_alpha: bool | np.bool_ = ...) -> Image.Image: ...
def bounded_error_diffusion(image: npt.ArrayLike | Image.Image, method: str = "floyd_steinberg", *,
                            palette: _Palette | None, serpentine: bool | np.bool_ = False,
                            strength: SupportsFloat | SupportsIndex = 1.0, linear: bool | np.bool_ = False,
                            preserve_alpha: bool | np.bool_ = True) -> npt.NDArray[np.uint8] | Image.Image:
    """Error diffusion to `palette`, each value clamped to 0..255 first.

    Takes what `dithering.error_diffusion` takes with a palette, checked by
    the same rules with the same messages, and gives the same kind of
    result: a new uint8 array of the image's shape, or a new PIL image of
    its mode for a PIL image.

    Args:
        image: a uint8 NumPy array of shape (H, W, 3), (H, W, 4) or wider,
            a PIL image (modes other than RGB and RGBA are converted to
            RGB), or anything numpy.asarray makes such an array of. Grey
            images are refused, as by dithering: stack them to RGB.
        method: an error-diffusion kernel by name or alias
            ('floyd_steinberg', 'fs', 'jjn', 'sierra-2-4a', ...).
        palette: 2 to 4096 colours, as '#rgb' / '#rrggbb' texts or
            (r, g, b) tuples (or an (n, 3) integer array).
        serpentine: scan every other row right to left.
        strength: 0..1, how much of the error is passed on; 0 is plain
            quantization to the nearest colour.
        linear: work in linear light, where the error and the distances
            to the colours are measured.
        preserve_alpha: accepted as dithering accepts it; to a palette the
            channels after the first three (an RGBA image's alpha) always
            pass through untouched.

    The pixels are `dithering.error_diffusion`'s until a value plus its
    carried error first leaves 0..255; from there on less error is
    carried, and the two part.
    """
    if palette is None:
        # dithering takes None for "no palette", which here would be levels.
        raise TypeError("bounded_error_diffusion() needs a palette; for levels, which need "
                        "no bound, use dithering.error_diffusion")
    return _native.error_diffusion(image, method, palette=palette, serpentine=serpentine,
                                    strength=strength, linear=linear,
                                    preserve_alpha=preserve_alpha)
