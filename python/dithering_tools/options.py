"""What to do to every image of a batch, and the one call into the extension
that does the dithering."""

from __future__ import annotations

import dataclasses
import functools
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import dithering

from .bounded import bounded_error_diffusion
from .palette_making import DEFAULT_STRENGTH

if TYPE_CHECKING:
    import numpy.typing as npt

# How an input's alpha channel is treated: flattened onto white before
# dithering (the output has none), passed through untouched, or dithered
# like the colour channels (the extension's preserve_alpha=False).
ALPHA_MODES = ("flatten", "keep", "dither")


@dataclasses.dataclass(frozen=True)
class DitherOptions:
    """How dither_files, dither_file and the command dither each image:
    the method (a kernel, a matrix name, "random", or a custom `matrix`),
    the target (`levels` per channel, a `palette`, or `colors` made from
    each image by `quantizer`), the dithering's own settings (`strength`,
    `linear`, `serpentine`, `seed`), what happens to alpha (`alpha`: one of
    "flatten", "keep", "dither"), preparation (`grayscale`, `resize`,
    `scale`) and the output (`format`, `force`, `allow_lossy`,
    `skip_existing`, `make_folders`, `strip`, `smallest`). Every field has the command's
    default (but `make_folders`: the command makes only its batch's own
    folder unless asked); the command's options map onto them."""

    method: str = "floyd_steinberg"
    matrix: npt.ArrayLike | None = None  # a custom threshold matrix (ordered dither); replaces method
    levels: int | None = None     # None: the extension's default, 2
    palette: Sequence[str | Sequence[int]] | None = None  # '#rrggbb' texts or (r, g, b) tuples
    colors: int | None = None     # make a palette of this many colours from each image
    quantizer: str = "variance"   # palette maker for `colors` (palette_making.METHODS)
    # None: the default for the case. With `colors`, a share of the error
    # (palette_making.DEFAULT_STRENGTH) on a serpentine scan: on photos this keeps
    # smooth areas calmer than the whole error on a raster scan, at a small
    # cost in tone; otherwise the whole error, left to right.
    strength: float | None = None
    linear: bool = False
    serpentine: bool | None = None
    seed: int | None = None
    # Error diffusion to a palette: the module's own pass, whose error is
    # never clamped, instead of bounded_error_diffusion (bounded.py).
    unbounded: bool = False
    alpha: str = "flatten"
    grayscale: bool = False
    resize: tuple[int | None, int | None] | None = None
    # With both sides of `resize`: fit inside that box keeping the aspect
    # (as the command's WxH does), instead of exactly that size.
    resize_fit: bool = False
    scale: float | None = None
    force: bool = False
    format: str | None = None     # output format; None: from the output's extension
    # Write formats whose compression changes the dithered pixels (JPEG...);
    # refused otherwise.
    allow_lossy: bool = False
    # An output that already exists is left as it is and its input skipped
    # (a batch finished after an interruption), where `force` would replace it.
    skip_existing: bool = False
    # Make an output's missing folders; false: such an output fails.
    make_folders: bool = True
    # Write the pixels alone: not even the input's colour profile and
    # resolution (its EXIF is never copied).
    strip: bool = False
    # Try slower PNG compression too (zlib level 9): never larger than
    # Pillow's best settings make, at several times the encoding time.
    smallest: bool = False

    @property
    def wants_palette(self) -> bool:
        return self.palette is not None or self.colors is not None

    @property
    def chosen_strength(self) -> float:
        """`strength`, or its default for the case: 0.9 with `colors`, else 1."""
        if self.strength is not None:
            return self.strength
        return DEFAULT_STRENGTH if self.colors is not None else 1.0

    @property
    def chosen_serpentine(self) -> bool:
        """`serpentine`, or its default for the case: on with `colors`, else off."""
        if self.serpentine is not None:
            return self.serpentine
        return self.colors is not None


@functools.lru_cache(maxsize=64)
def is_error_diffusion(method: str) -> bool:
    """Whether dithering.dither diffuses the error for `method`: it tries
    the error-diffusion names and aliases before 'random' and the matrix
    names, and error_diffusion accepts exactly those."""
    try:
        dithering.error_diffusion(np.zeros((1, 1), np.uint8), method)
    except ValueError:
        return False
    return True


def bounds_error(options: DitherOptions, palette: Sequence[str | Sequence[int]] | None) -> bool:
    """Whether the error is bounded: error diffusion to a palette (levels
    other than 2 with one are refused by dithering.dither itself), unless
    the options ask for the module's own pass."""
    return (palette is not None and options.matrix is None and not options.unbounded
            and options.levels in (None, 2) and is_error_diffusion(options.method))


def dither_array(array: npt.NDArray[np.uint8], options: DitherOptions,
                 palette: Sequence[str | Sequence[int]] | None = None) -> npt.NDArray[np.uint8]:
    """The extension's result for one prepared image (uint8 array), with
    `palette` (the image's own, under --colors) or the options' palette;
    error diffusion to a palette is bounded unless options.unbounded."""
    palette = options.palette if palette is None else palette
    common: dict[str, Any] = {"palette": palette, "strength": options.chosen_strength, "linear": options.linear,
              "preserve_alpha": options.alpha != "dither"}
    if bounds_error(options, palette):
        return bounded_error_diffusion(array, options.method, serpentine=options.chosen_serpentine,
                                       **common)
    if options.levels is not None:
        common["levels"] = options.levels
    if options.matrix is not None:
        return dithering.ordered_dither(array, options.matrix, **common)
    return dithering.dither(array, options.method, serpentine=options.chosen_serpentine,
                            seed=options.seed, **common)


def check_options(options: DitherOptions) -> None:
    """Raises the extension's own ValueError or TypeError if it would refuse
    these options, by dithering a tiny image with them: a batch stops before
    its first file rather than failing on every one of them."""
    probe = np.zeros((2, 2, 3), dtype=np.uint8)
    stand_in = ["#000000", "#ffffff"] if options.colors is not None else None
    dither_array(probe, options, stand_in)
