"""Uses every function of the module the way a typed caller would.

Checked with `mypy --strict` by tests/test_typing.py: the installed stub must
make every line below type-check and give the revealed types asserted there.
"""

import numpy as np
import numpy.typing as npt
from PIL import Image

import dithering

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
