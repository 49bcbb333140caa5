# Type information for dithering_tools._native, the package's compiled
# half. Its error_diffusion takes and gives what dithering.error_diffusion
# does (the array overload first, as in that stub: see there why).
from collections.abc import Iterable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from PIL import Image
from typing_extensions import Buffer

_Color: TypeAlias = str | Sequence[SupportsIndex] | npt.NDArray[np.integer]
_Palette: TypeAlias = Iterable[_Color] | npt.NDArray[np.integer]
# Bytes-like: arrays are, though NumPy's stubs say so for Python 3.12 on.
_Bytes: TypeAlias = Buffer | npt.NDArray[Any]

@overload
def error_diffusion(
    image: npt.ArrayLike, method: str = "floyd_steinberg", *, levels: SupportsIndex = 2,
    palette: _Palette | None = None, serpentine: bool | np.bool_ = False,
    strength: SupportsFloat | SupportsIndex = 1.0, linear: bool | np.bool_ = False,
    preserve_alpha: bool | np.bool_ = True,
) -> npt.NDArray[np.uint8]: ...
@overload
def error_diffusion(
    image: Image.Image, method: str = "floyd_steinberg", *, levels: SupportsIndex = 2,
    palette: _Palette | None = None, serpentine: bool | np.bool_ = False,
    strength: SupportsFloat | SupportsIndex = 1.0, linear: bool | np.bool_ = False,
    preserve_alpha: bool | np.bool_ = True,
) -> Image.Image: ...

# Raw bytes in and out; dithering_tools.palette_making wraps both. (Their
# arguments are positional only, though the signatures they report say not.)
def make_palette(
    pixels: _Bytes, stride: SupportsIndex, weights: _Bytes | None, n: SupportsIndex,
    refine: SupportsIndex,
) -> bytes: ...
def activity_weights(
    pixels: _Bytes, height: SupportsIndex, width: SupportsIndex, channels: SupportsIndex,
) -> bytes: ...
