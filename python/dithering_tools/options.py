"""What to do to every image of a batch, and the one call into the extension
that does the dithering."""

import dataclasses
from typing import Any

import numpy as np

import dithering

# How an input's alpha channel is treated: flattened onto white before
# dithering (the output has none), passed through untouched, or dithered
# like the colour channels (the extension's preserve_alpha=False).
ALPHA_MODES = ("flatten", "keep", "dither")


@dataclasses.dataclass(frozen=True)
class DitherOptions:
    method: str = "floyd_steinberg"
    matrix: Any = None            # a custom threshold matrix (ordered dither); replaces method
    levels: int | None = None     # None: the extension's default, 2
    palette: list | None = None   # '#rrggbb' texts or (r, g, b) tuples
    colors: int | None = None     # make a palette of this many colours from each image
    quantizer: str = "median-cut"
    strength: float = 1.0
    linear: bool = False
    serpentine: bool = False
    seed: int | None = None
    alpha: str = "flatten"
    grayscale: bool = False
    resize: tuple[int | None, int | None] | None = None
    scale: float | None = None
    force: bool = False
    format: str | None = None     # output format; None: from the output's extension

    @property
    def wants_palette(self):
        return self.palette is not None or self.colors is not None


def dither_array(array, options, palette=None):
    """The extension's result for one prepared image (uint8 array), with
    `palette` (the image's own, under --colors) or the options' palette."""
    palette = options.palette if palette is None else palette
    common = {"palette": palette, "strength": options.strength, "linear": options.linear,
              "preserve_alpha": options.alpha != "dither"}
    if options.levels is not None:
        common["levels"] = options.levels
    if options.matrix is not None:
        return dithering.ordered_dither(array, options.matrix, **common)
    return dithering.dither(array, options.method, serpentine=options.serpentine,
                            seed=options.seed, **common)


def check_options(options):
    """Raises the extension's own ValueError or TypeError if it would refuse
    these options, by dithering a tiny image with them: a batch stops before
    its first file rather than failing on every one of them."""
    probe = np.zeros((2, 2, 3), dtype=np.uint8)
    stand_in = ["#000000", "#ffffff"] if options.colors is not None else None
    dither_array(probe, options, stand_in)
