"""Dithering images larger than one machine's memory, or faster than one
machine can, as Dask arrays: ordered and random dither chunk by chunk.

    import dask.array as da
    from dithering_tools.dask_array import ordered_dither, random_dither
    image = da.from_zarr("scan.zarr")               # (H, W) or (H, W, C) uint8
    out = ordered_dither(image, "bayer8x8", levels=4)   # lazy, like any Dask array
    out.to_zarr("scan-dithered.zarr")

What is exact and what is only reproducible:

- Ordered dither reads the threshold tile at (row mod tile height, column
  mod tile width) from the image's origin. A chunk that starts at a
  multiple of the tile's size therefore sees the same thresholds as in a
  whole-image call, and every pixel is dithered on its own, so the result
  is byte for byte the one call on the whole image. Chunks that do not
  start at such offsets are first moved to the nearest ones (the chunk
  count and sizes stay about the same).
- Random dither draws one stream per call, so chunks cannot reproduce a
  whole-image call. Each chunk's seed is derived from the caller's seed and
  the chunk's pixel offset (row, column), so the same seed and the same
  chunk boundaries always give the same bytes, on any cluster and any
  number of workers; other chunk boundaries give another, equally random,
  result. Without a seed one is drawn once per call of this function.
- Error diffusion is refused: see ERROR_DIFFUSION_REFUSED.

Needs dask[array] (`pip install 'dithering-exact[dask]'`).
"""

from __future__ import annotations

import functools
import secrets
from typing import TYPE_CHECKING, Any, NoReturn

import numpy as np

import dithering

if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence
    from typing import SupportsIndex, SupportsInt, TypeAlias

    import numpy.typing as npt
    from dask.array import Array as _DaskArray

    _Palette: TypeAlias = Iterable[str | Sequence[SupportsIndex] | npt.NDArray[np.integer]] | npt.NDArray[np.integer]

# Every built-in matrix (2, 4, 8, 16, and the default) tiles with a period
# dividing 16, so chunk offsets that are multiples of 16 suit all of them.
_BUILTIN_TILE_PERIOD = 16

ERROR_DIFFUSION_REFUSED = (
    "error diffusion cannot run chunk by chunk: each pixel's rounding error is "
    "carried to its neighbours to the right and below, so every pixel depends on "
    "all the pixels before it in scan order, across chunk boundaries; separate "
    "chunks would show seams and differ from the one-image result. Use "
    "ordered_dither or random_dither on a Dask array, or compute the array and "
    "call dithering.error_diffusion once on one machine: one call handles images "
    "as large as that machine's memory (peak = input + output)")


def ordered_dither(image: _DaskArray | npt.ArrayLike, matrix: npt.ArrayLike | None = None, *,
                   levels: int | None = None, palette: _Palette | None = None, strength: float = 1.0,
                   linear: bool = False, preserve_alpha: bool = True) -> _DaskArray:
    """dithering.ordered_dither on a Dask array, chunk by chunk: a lazy
    uint8 Dask array of the same shape, byte for byte the result of one
    call on the whole image. `image`: a 2-D (H, W) or 3-D (H, W, C) uint8
    Dask array (or anything dask.array.asarray takes). The options are
    checked now, with the extension's own messages, not at compute time."""
    image = _checked_image(image)
    options = _options(levels=levels, palette=palette, strength=strength, linear=linear,
                       preserve_alpha=preserve_alpha)
    _probe(image, dithering.ordered_dither, matrix, **options)
    if matrix is None or isinstance(matrix, str) or np.ndim(matrix) == 0:
        period = (_BUILTIN_TILE_PERIOD, _BUILTIN_TILE_PERIOD)
    else:
        period = np.shape(matrix)
        matrix = np.array(matrix)  # a private copy: the caller may change theirs before compute
    image = _aligned(image, period)
    return image.map_blocks(functools.partial(_ordered_block, matrix=matrix, options=options),
                            dtype=np.uint8, meta=np.empty((0,) * image.ndim, np.uint8))


def random_dither(image: _DaskArray | npt.ArrayLike, *, seed: SupportsInt | None = None,
                  levels: int | None = None, palette: _Palette | None = None, strength: float = 1.0,
                  linear: bool = False, preserve_alpha: bool = True) -> _DaskArray:
    """dithering.random_dither on a Dask array, chunk by chunk: a lazy uint8
    Dask array of the same shape. Each chunk is one call with a seed
    derived from `seed` and the chunk's (row, column) offset (see
    chunk_seed), so a given seed and chunking always give the same bytes,
    but not those of one whole-image call."""
    image = _checked_image(image)
    options = _options(levels=levels, palette=palette, strength=strength, linear=linear,
                       preserve_alpha=preserve_alpha)
    _probe(image, dithering.random_dither, seed=0, **options)
    if seed is None:
        seed = secrets.randbits(64)
    seed = _seed_value(seed)
    if image.ndim == 3:
        image = image.rechunk({2: -1})
    return image.map_blocks(functools.partial(_random_block, seed=seed, options=options),
                            dtype=np.uint8, meta=np.empty((0,) * image.ndim, np.uint8))


def dither(image: _DaskArray | npt.ArrayLike, method: str | int = "bayer8x8", *,
           seed: SupportsInt | None = None, **options: Any) -> _DaskArray:
    """Ordered or random dither of a Dask array by name, as
    dithering.dither names methods: a matrix name (or size), or 'random'.
    An error-diffusion method raises ValueError(ERROR_DIFFUSION_REFUSED)."""
    if isinstance(method, str) and _normalized(method) == "random":
        return random_dither(image, seed=seed, **options)
    probe = np.zeros((2, 2), np.uint8)
    try:
        dithering.ordered_dither(probe, method)
    except (ValueError, TypeError):
        # Given a size (no method name), these two raise the extension's
        # TypeError, as they do its ValueError for an unknown name.
        try:
            dithering.error_diffusion(probe, method)  # type: ignore[arg-type]
        except (ValueError, TypeError):
            # The extension's own message for an unknown name.
            dithering.dither(probe, method)  # type: ignore[arg-type]
            raise
        raise ValueError(ERROR_DIFFUSION_REFUSED) from None
    return ordered_dither(image, method, **options)


def chunk_seed(seed: SupportsInt, row: int, column: int) -> int:
    """The seed of the chunk whose first pixel is at (row, column): 64 bits
    of NumPy's SeedSequence of (seed, row, column), a hash whose algorithm
    NumPy keeps fixed, so neighbouring chunks get unrelated streams and the
    same inputs give the same seed on every machine and version."""
    state = np.random.SeedSequence([_seed_value(seed), int(row), int(column)])
    return int(state.generate_state(1, np.uint64)[0])


def error_diffusion(image: object, method: str = "floyd_steinberg", **options: object) -> NoReturn:
    """Always raises ValueError(ERROR_DIFFUSION_REFUSED): there to say why."""
    raise ValueError(ERROR_DIFFUSION_REFUSED)


def _ordered_block(block: npt.NDArray[np.uint8], *, matrix: npt.ArrayLike | None,
                   options: dict[str, Any]) -> npt.NDArray[np.uint8]:
    return dithering.ordered_dither(block, matrix, **options)


def _random_block(block: npt.NDArray[np.uint8], *, seed: int, options: dict[str, Any],
                  block_info: dict[Any, Any] | None = None) -> npt.NDArray[np.uint8]:
    assert block_info is not None  # dask passes it to a function that takes it
    (row, _), (column, _) = block_info[0]["array-location"][:2]
    return dithering.random_dither(block, seed=chunk_seed(seed, row, column), **options)


def _checked_image(image: _DaskArray | npt.ArrayLike) -> _DaskArray:
    import dask.array as da

    image = da.asarray(image)
    if image.dtype != np.uint8:
        raise TypeError(f"expected a uint8 image, got dtype {image.dtype}")
    if image.ndim not in (2, 3):
        raise ValueError(f"expected a 2-D (H, W) or 3-D (H, W, C) image, got shape {image.shape}")
    if any(np.isnan(size) for size in image.shape):
        raise ValueError("the image's shape must be known: call compute_chunk_sizes() first")
    return image


def _options(**given: object) -> dict[str, Any]:
    # levels=None leaves the extension's default, as its own signature does.
    return {name: value for name, value in given.items() if value is not None}


def _probe(image: _DaskArray, function: Callable[..., object], *args: object, **options: Any) -> None:
    """Runs `function` on a tiny image of the same channel count, so that
    bad options fail now with the extension's message, not on a worker."""
    channels = image.shape[2:] if image.ndim == 3 else ()
    function(np.zeros((2, 2, *channels), np.uint8), *args, **options)


def _seed_value(seed: SupportsInt) -> int:
    seed = int(seed)
    if not 0 <= seed < 2**64:
        raise ValueError(f"seed must be in [0, 2**64), got {seed}")
    return seed


def _normalized(name: str) -> str:
    return "".join(c for c in name.lower() if c not in "-_ ")


def _aligned(image: _DaskArray, period: tuple[int, ...]) -> _DaskArray:
    """`image` rechunked so that every chunk starts at a multiple of the
    tile's height and width (each boundary moved to the nearest one), and
    with all channels of a pixel in one chunk; unchanged if already so."""
    chunks = {axis: _aligned_chunks(image.chunks[axis], period[axis]) for axis in (0, 1)}
    if image.ndim == 3:
        chunks[2] = (image.shape[2],)
    if all(chunks[axis] == image.chunks[axis] for axis in chunks):
        return image
    return image.rechunk(chunks)


def _aligned_chunks(sizes: Sequence[int], period: int) -> tuple[int, ...]:
    total = sum(sizes)
    boundaries = np.cumsum(sizes)[:-1]
    moved = {int(round(b / period)) * period for b in boundaries}
    edges = [0, *sorted(b for b in moved if 0 < b < total), total]
    return tuple(int(b - a) for a, b in zip(edges, edges[1:]))
