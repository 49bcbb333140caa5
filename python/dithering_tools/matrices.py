"""Custom threshold matrices from files: NumPy .npy, or a text grid (one row
per line, values separated by commas or blanks). Integers are Bayer-style
indices, floats thresholds in [0, 1]; the extension checks the values."""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt


class MatrixFileError(ValueError):
    """A matrix file that cannot be read as a 2-D grid of numbers."""


def load_matrix(path: str | os.PathLike[str]) -> npt.NDArray[Any]:
    """The threshold matrix in the file at `path` (.npy, or a text grid), as
    ordered_dither's `matrix` takes it; MatrixFileError if it is no 2-D grid
    of numbers."""
    path = Path(path)
    try:
        if path.suffix.lower() == ".npy":
            # No pickles: a matrix file is data, never code.
            matrix: npt.NDArray[Any] = np.load(path, allow_pickle=False)
            return matrix
        text = path.read_text(encoding="utf-8")
    except (OSError, ValueError, UnicodeDecodeError) as error:
        raise MatrixFileError(f"{path}: {error}") from None
    rows = [re.split(r"[\s,;]+", line.strip()) for line in text.splitlines()
            if line.strip() and not line.lstrip().startswith("#")]
    if not rows:
        raise MatrixFileError(f"{path}: no numbers")
    if len({len(row) for row in rows}) != 1:
        raise MatrixFileError(f"{path}: rows of different lengths")
    # A grid of integers stays integer (indices); any decimal makes it floats.
    is_integer = all(re.fullmatch(r"[+-]?\d+", v) for row in rows for v in row)
    try:
        return np.array(rows, dtype=np.int64 if is_integer else np.float64)
    except ValueError:
        raise MatrixFileError(f"{path}: not a grid of numbers") from None
