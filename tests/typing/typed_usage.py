"""Uses every function of the module, and dithering_tools' public API, the
way a typed caller would.

Checked with `mypy --strict` by tests/test_typing.py: the installed stub and
the package's own annotations must make every line below type-check and
give the revealed types asserted there, in this order.
"""

import threading
from pathlib import Path

import numpy as np
import numpy.typing as npt
from PIL import Image

import dithering
import dithering_tools
from dithering_tools import (
    DitherOptions, FileResult, Job, bounded_error_diffusion, dither_file, dither_files,
    dither_files_on_cluster, load_matrix, load_palette, make_palette, quantize, shared_palette,
)
from dithering_tools.dask_array import chunk_seed

gray = np.zeros((4, 4), np.uint8)
rgb = np.zeros((4, 4, 3), np.uint8)

diffused: npt.NDArray[np.uint8] = dithering.error_diffusion(gray, "floyd_steinberg", levels=4)
serpentine = dithering.error_diffusion(rgb, "jjn", palette=["#000", (255, 255, 255)], serpentine=True)
ordered = dithering.ordered_dither(gray, "bayer4x4", strength=0.5, linear=True)
custom = dithering.ordered_dither(gray, np.array([[0, 2], [3, 1]]))
sized = dithering.ordered_dither(gray, 8, preserve_alpha=False)
noisy = dithering.random_dither(gray, seed=2**70, levels=3)
any_method = dithering.dither(rgb, "random", seed=1, palette=np.array([[0, 0, 0], [255, 0, 0]]))
picture: Image.Image = dithering.dither(Image.new("RGB", (4, 4)), "atkinson")
pil_ordered: Image.Image = dithering.ordered_dither(Image.new("L", (4, 4)))
pil_random: Image.Image = dithering.random_dither(Image.new("LA", (4, 4)), seed=0)
pil_diffused: Image.Image = dithering.error_diffusion(Image.new("RGBA", (4, 4)))
names: list[str] = dithering.available_methods() + dithering.available_matrices()
version: str = dithering.__version__

reveal_type(serpentine)  # noqa: F821 (mypy builtin)
reveal_type(picture)

# dithering_tools: arrays give arrays, PIL images give PIL images.
bounded = bounded_error_diffusion(rgb, "fs", palette=["#0f380f", "#306230"], serpentine=True)
pil_bounded = bounded_error_diffusion(Image.new("RGB", (4, 4)), palette=[(0, 0, 0), (255, 255, 255)])
colours = make_palette(rgb, 4, method="variance", weights=None, refine=2)
indices, palette = quantize(rgb, 4, dither=False)
indexed = quantize(Image.new("RGB", (4, 4)), 4, strength=0.5)
reveal_type(bounded)
reveal_type(pil_bounded)
reveal_type(colours)
reveal_type(indices)
reveal_type(indexed)

loaded = load_palette("gameboy")
matrix = load_matrix(Path("matrix.csv"))
reveal_type(loaded)
reveal_type(matrix)

options = DitherOptions(method="atkinson", palette=loaded, colors=None, strength=0.9, resize=(64, None))
jobs = [Job(Path("in.png"), Path("out.png")), Job(b"\x89PNG", Path("b.png"), label="-")]
stop = threading.Event()
for result in dither_files(jobs, options, workers=2, stop=stop):
    outcome: tuple[str, bool, str | None, int | None] = (result.input, result.ok, result.error, result.output_bytes)
one: FileResult = dither_file(jobs[0], options)
shared, failures = shared_palette([Path("a.png"), b"..."], DitherOptions(colors=16), workers=1)
on_cluster = dither_files_on_cluster(jobs, options, "local:2")
reveal_type(dither_files(jobs, options))
reveal_type(shared)
reveal_type(failures)
reveal_type(next(on_cluster))
seed: int = chunk_seed(1, 0, 512)
lazy: list[str] = dir(dithering_tools)
