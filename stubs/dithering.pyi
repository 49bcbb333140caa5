# Type information for the compiled `dithering` module.
#
# The aliases below are the stub's own (underscored): the module has no such
# names, so none may be importable from it.
from collections.abc import Iterable, Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from PIL import Image

__version__: str
__all__ = [
    "__version__", "dither", "ordered_dither", "error_diffusion", "random_dither",
    "available_matrices", "available_methods",
]

_MethodName: TypeAlias = Literal[
    "floyd_steinberg", "false_floyd_steinberg", "jarvis_judice_ninke", "stucki",
    "atkinson", "burkes", "sierra", "sierra_two_row", "sierra_lite",
]
_MatrixName: TypeAlias = Literal["bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"]
# A colour: '#rgb' / '#rrggbb' text or three integers 0..255.
_Color: TypeAlias = str | Sequence[SupportsIndex] | npt.NDArray[np.integer]
_Palette: TypeAlias = Iterable[_Color] | npt.NDArray[np.integer]
_Matrix: TypeAlias = (
    _MatrixName | str | int | SupportsIndex | npt.ArrayLike
)
_Uint8Array: TypeAlias = npt.NDArray[np.uint8]

# Aliases and other spellings are accepted too ('fs', 'JJN', 'Bayer-8'),
# hence `str` beside the literal names.
#
# Each function's array overload comes before its PIL one: where Pillow is
# not installed, `Image.Image` is unresolved (Any), and an Any parameter
# first would match every call and make every result Any. A PIL image is no
# array-like (it has no __array__, only __array_interface__), so with Pillow
# it passes the first overload by and takes the second.
@overload
def dither(
    image: npt.ArrayLike, method: _MethodName | _MatrixName | Literal["random"] | str = "floyd_steinberg", *,
    levels: SupportsIndex = 2, palette: _Palette | None = None, serpentine: bool | np.bool_ = False,
    seed: SupportsIndex | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> _Uint8Array: ...
@overload
def dither(
    image: Image.Image, method: _MethodName | _MatrixName | Literal["random"] | str = "floyd_steinberg", *,
    levels: SupportsIndex = 2, palette: _Palette | None = None, serpentine: bool | np.bool_ = False,
    seed: SupportsIndex | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> Image.Image: ...

@overload
def ordered_dither(
    image: npt.ArrayLike, matrix: _Matrix | None = None, *, levels: SupportsIndex = 2,
    palette: _Palette | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> _Uint8Array: ...
@overload
def ordered_dither(
    image: Image.Image, matrix: _Matrix | None = None, *, levels: SupportsIndex = 2,
    palette: _Palette | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> Image.Image: ...

@overload
def error_diffusion(
    image: npt.ArrayLike, method: _MethodName | str = "floyd_steinberg", *, levels: SupportsIndex = 2,
    palette: _Palette | None = None, serpentine: bool | np.bool_ = False,
    strength: SupportsFloat | SupportsIndex = 1.0, linear: bool | np.bool_ = False,
    preserve_alpha: bool | np.bool_ = True,
) -> _Uint8Array: ...
@overload
def error_diffusion(
    image: Image.Image, method: _MethodName | str = "floyd_steinberg", *, levels: SupportsIndex = 2,
    palette: _Palette | None = None, serpentine: bool | np.bool_ = False,
    strength: SupportsFloat | SupportsIndex = 1.0, linear: bool | np.bool_ = False,
    preserve_alpha: bool | np.bool_ = True,
) -> Image.Image: ...

@overload
def random_dither(
    image: npt.ArrayLike, *, levels: SupportsIndex = 2, palette: _Palette | None = None,
    seed: SupportsIndex | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> _Uint8Array: ...
@overload
def random_dither(
    image: Image.Image, *, levels: SupportsIndex = 2, palette: _Palette | None = None,
    seed: SupportsIndex | None = None, strength: SupportsFloat | SupportsIndex = 1.0,
    linear: bool | np.bool_ = False, preserve_alpha: bool | np.bool_ = True,
) -> Image.Image: ...

def available_methods() -> list[str]: ...
def available_matrices() -> list[str]: ...
