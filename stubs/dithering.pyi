# Type information for the compiled `dithering` module.
from collections.abc import Iterable, Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from PIL import Image

__version__: str
__all__: list[str]

MethodName: TypeAlias = Literal[
    "floyd_steinberg", "false_floyd_steinberg", "jarvis_judice_ninke", "stucki",
    "atkinson", "burkes", "sierra", "sierra_two_row", "sierra_lite",
]
MatrixName: TypeAlias = Literal["bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"]
# A colour: '#rgb' / '#rrggbb' text or three integers 0..255.
Color: TypeAlias = str | Sequence[SupportsIndex] | npt.NDArray[np.integer]
Palette: TypeAlias = Iterable[Color] | npt.NDArray[np.integer]
Matrix: TypeAlias = (
    MatrixName | str | int | SupportsIndex | npt.ArrayLike
)
Uint8Array: TypeAlias = npt.NDArray[np.uint8]

# Aliases and other spellings are accepted too ('fs', 'JJN', 'Bayer-8'),
# hence `str` beside the literal names.
@overload
def dither(
    image: Image.Image, method: MethodName | MatrixName | Literal["random"] | str = "floyd_steinberg", *,
    levels: SupportsIndex = 2, palette: Palette | None = None, serpentine: bool | np.bool_ = False,
    seed: SupportsIndex | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> Image.Image: ...
@overload
def dither(
    image: npt.ArrayLike, method: MethodName | MatrixName | Literal["random"] | str = "floyd_steinberg", *,
    levels: SupportsIndex = 2, palette: Palette | None = None, serpentine: bool | np.bool_ = False,
    seed: SupportsIndex | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> Uint8Array: ...

@overload
def ordered_dither(
    image: Image.Image, matrix: Matrix | None = None, *, levels: SupportsIndex = 2,
    palette: Palette | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> Image.Image: ...
@overload
def ordered_dither(
    image: npt.ArrayLike, matrix: Matrix | None = None, *, levels: SupportsIndex = 2,
    palette: Palette | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> Uint8Array: ...

@overload
def error_diffusion(
    image: Image.Image, method: MethodName | str = "floyd_steinberg", *, levels: SupportsIndex = 2,
    palette: Palette | None = None, serpentine: bool | np.bool_ = False,
    strength: SupportsFloat | SupportsIndex = 1.0, linear: bool | np.bool_ = False,
    preserve_alpha: bool | np.bool_ = True,
) -> Image.Image: ...
@overload
def error_diffusion(
    image: npt.ArrayLike, method: MethodName | str = "floyd_steinberg", *, levels: SupportsIndex = 2,
    palette: Palette | None = None, serpentine: bool | np.bool_ = False,
    strength: SupportsFloat | SupportsIndex = 1.0, linear: bool | np.bool_ = False,
    preserve_alpha: bool | np.bool_ = True,
) -> Uint8Array: ...

@overload
def random_dither(
    image: Image.Image, *, levels: SupportsIndex = 2, palette: Palette | None = None,
    seed: SupportsIndex | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> Image.Image: ...
@overload
def random_dither(
    image: npt.ArrayLike, *, levels: SupportsIndex = 2, palette: Palette | None = None,
    seed: SupportsIndex | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> Uint8Array: ...

def available_methods() -> list[str]: ...
def available_matrices() -> list[str]: ...
