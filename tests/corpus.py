"""A fixed corpus of dithering calls whose output bytes must never change.

Every algorithm, kernel, matrix, seed, level count, palette size, option and
odd image size the module offers, on inputs generated here from integers
alone, so that they are the same bytes on every machine and with every NumPy
(NumPy's own generators may change their streams between releases, and its
float functions differ in the last bit between processors). The SHA-256 of
every input and every output is recorded once in data/corpus_digests.json
(tools/record-corpus-digests.py) and checked by test_corpus_digests.py in
every lane, so one lane on another processor, compiler or vector path that
gives other bytes fails by the case's name.
"""

import hashlib
from dataclasses import dataclass, field

import numpy as np
from PIL import Image

import dithering

METHODS = (
    "floyd_steinberg", "false_floyd_steinberg", "jarvis_judice_ninke", "stucki",
    "atkinson", "burkes", "sierra", "sierra_two_row", "sierra_lite",
)
BAYER = ("bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16")

MASK = np.uint64(0xFFFFFFFFFFFFFFFF)


def splitmix64(seed, count):
    """`count` SplitMix64 outputs from `seed`, in wrapping uint64 arithmetic."""
    with np.errstate(over="ignore"):
        state = np.uint64(seed) + np.arange(1, count + 1, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
        z = state
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return (z ^ (z >> np.uint64(31))) & MASK


def noise(seed, shape):
    """Uniform bytes."""
    count = int(np.prod(shape))
    return (splitmix64(seed, count) >> np.uint64(56)).astype(np.uint8).reshape(shape)


def picture(height, width, channels):
    """A small photo-like picture: smooth gradients, a soft bright disc, a
    dark corner, hard edges and a little grain; integer arithmetic only."""
    y, x = np.mgrid[0:height, 0:width].astype(np.int64)
    w1, h1 = max(width - 1, 1), max(height - 1, 1)
    r = x * 255 // w1
    g = y * 255 // h1
    b = (x + y) * 255 // (w1 + h1)
    cx, cy, radius2 = width * 2 // 3, height // 3, max((min(width, height) // 3) ** 2, 1)
    disc = np.maximum(0, 255 - ((x - cx) ** 2 + (y - cy) ** 2) * 255 // radius2)
    corner = np.where((x < width // 4) & (y > height * 3 // 4), 200, 0)
    edge = np.where((x // 8 + y // 8) % 5 == 0, 48, 0)
    grain = noise(width * 1000 + height, (height, width)).astype(np.int64) % 17 - 8
    red, green, blue, alpha = [np.clip((p * 3 + disc * 2) // 5 - corner + edge + grain, 0, 255)
                               for p in (r, g, b, (r + g) // 2)]
    gray = (red + green + blue) // 3
    planes = {0: [gray], 1: [gray], 2: [gray, alpha], 3: [red, green, blue], 4: [red, green, blue, alpha]}
    out = np.stack(planes[channels], axis=-1).astype(np.uint8)
    return out[..., 0] if channels == 0 else out


def ramp(height, width):
    """A horizontal grey ramp over the whole byte range."""
    row = (np.arange(width, dtype=np.int64) * 255 // max(width - 1, 1)).astype(np.uint8)
    return np.tile(row, (height, 1))


def colours(seed, count):
    """`count` colours spread over the whole cube, as an (n, 3) array."""
    return noise(seed, (count, 3))


def clustered_colours(seed, count):
    """Most colours crowded round a few centres (a photo's own palette is
    like that), a few far apart, and some repeated exactly."""
    spread = max(count // 16, 1)
    centres = noise(seed, (4, 3)).astype(np.int64)
    near = noise(seed + 1, (count - spread, 3)).astype(np.int64) % 25 - 12
    crowd = np.clip(centres[np.arange(count - spread) % 4] + near, 0, 255)
    out = np.concatenate([crowd, colours(seed + 2, spread)]).astype(np.uint8)
    out[1::97] = out[0]  # exact duplicates: the first of equals must win
    return out


def image_colours(image, count):
    """`count` of the picture's own pixels, as users build big palettes."""
    pixels = image.reshape(-1, 3)
    return pixels[np.arange(count) * 7919 % len(pixels)]


INPUTS = {
    "gray-1x1": lambda: noise(1, (1, 1)),
    "gray-7x13": lambda: noise(2, (7, 13)),
    "gray-257x3": lambda: noise(3, (257, 3)),
    "gray-3x257": lambda: noise(4, (3, 257)),
    "ramp-24x256": lambda: ramp(24, 256),
    "picture-gray-40x67": lambda: picture(40, 67, 0),
    "picture-gray-1-channel-17x9": lambda: picture(17, 9, 1),
    "picture-la-19x23": lambda: picture(19, 23, 2),
    "picture-rgb-1x1": lambda: picture(1, 1, 3),
    "picture-rgb-7x13": lambda: picture(7, 13, 3),
    "picture-rgb-33x70": lambda: picture(33, 70, 3),
    "picture-rgb-257x3": lambda: picture(257, 3, 3),
    "picture-rgba-21x18": lambda: picture(21, 18, 4),
    "noise-rgb-20x24": lambda: noise(5, (20, 24, 3)),
}

PALETTES = {
    "2": lambda: ["#000", "#fff"],
    "4-greens": lambda: ["#0f380f", "#306230", "#8bac0f", "#9bbc0f"],
    "7-e-paper": lambda: [(0, 0, 0), (255, 255, 255), (255, 0, 0), (0, 255, 0),
                          (0, 0, 255), (255, 255, 0), (255, 128, 0)],
    "16": lambda: colours(16, 16),
    "64": lambda: colours(64, 64),
    "256": lambda: colours(256, 256),
    "256-clustered": lambda: clustered_colours(2560, 256),
    "4096": lambda: colours(4096, 4096),
    "4096-clustered": lambda: clustered_colours(40960, 4096),
    "4096-own-pixels": lambda: image_colours(picture(64, 64, 3), 4096),
}

CUSTOM_MATRICES = {
    "indices-3x5": lambda: (np.arange(15, dtype=np.int64) * 7 % 15).reshape(3, 5),
    "thresholds-2x3": lambda: np.array([[0.1, 0.6, 0.35], [0.85, 0.0, 0.999]]),
}


@dataclass(frozen=True)
class Case:
    function: str
    image: str
    args: tuple = ()
    options: dict = field(default_factory=dict)
    # Passed as a PIL image, and the PIL image returned digested as an array.
    pil: bool = False

    @property
    def name(self):
        words = [self.function, *map(str, self.args), ("pil-" if self.pil else "") + self.image]
        words += [f"{k}={v}" for k, v in sorted(self.options.items())]
        return "/".join(words)

    def call(self, image):
        options = dict(self.options)
        if "palette" in options:
            options["palette"] = PALETTES[options["palette"]]()
        args = [CUSTOM_MATRICES[a]() if a in CUSTOM_MATRICES else a for a in self.args]
        if not self.pil:
            return getattr(dithering, self.function)(image, *args, **options)
        out = getattr(dithering, self.function)(Image.fromarray(image), *args, **options)
        assert isinstance(out, Image.Image)
        return np.asarray(out)


def cases():
    """Every case, in a fixed order with unique names."""
    out = []
    add = out.append
    # Every kernel, both scan orders, on a picture tall enough for the rows
    # in vector lanes, on a short wide one, and in colour.
    for method in METHODS:
        for serpentine in (False, True):
            add(Case("error_diffusion", "picture-gray-40x67", (method,), {"serpentine": serpentine}))
            add(Case("error_diffusion", "picture-rgb-33x70", (method,),
                     {"serpentine": serpentine, "levels": 3}))
            add(Case("error_diffusion", "picture-rgb-7x13", (method,),
                     {"serpentine": serpentine, "palette": "16"}))
        add(Case("error_diffusion", "gray-3x257", (method,), {"levels": 4}))
        add(Case("error_diffusion", "picture-rgb-33x70", (method,), {"palette": "256-clustered"}))
    # Level counts, linear light, strength, odd sizes.
    for levels in (2, 3, 4, 5, 7, 16, 255, 256):
        for linear in (False, True):
            add(Case("error_diffusion", "ramp-24x256", ("floyd_steinberg",), {"levels": levels, "linear": linear}))
            add(Case("error_diffusion", "noise-rgb-20x24", ("stucki",), {"levels": levels, "linear": linear}))
    for strength in (0.0, 0.25, 0.5, 0.8, 1.0):
        add(Case("error_diffusion", "picture-gray-40x67", ("jarvis_judice_ninke",), {"strength": strength}))
        add(Case("error_diffusion", "picture-rgb-33x70", ("atkinson",),
                 {"strength": strength, "linear": True, "levels": 4}))
        add(Case("error_diffusion", "picture-rgb-33x70", ("sierra",), {"strength": strength, "palette": "64"}))
    for image in ("gray-1x1", "gray-7x13", "gray-257x3", "picture-gray-1-channel-17x9",
                  "picture-rgb-1x1", "picture-rgb-257x3"):
        add(Case("error_diffusion", image, ("burkes",), {"levels": 3}))
        add(Case("error_diffusion", image, ("burkes",), {"serpentine": True, "linear": True}))
    # Every palette size, with and without linear light.
    for palette in PALETTES:
        for linear in (False, True):
            add(Case("error_diffusion", "picture-rgb-33x70", ("floyd_steinberg",),
                     {"palette": palette, "linear": linear}))
        add(Case("error_diffusion", "noise-rgb-20x24", ("sierra_lite",), {"palette": palette, "serpentine": True}))
    # Alpha passed through or dithered like any channel.
    for image in ("picture-la-19x23", "picture-rgba-21x18"):
        for preserve_alpha in (True, False):
            add(Case("error_diffusion", image, ("floyd_steinberg",), {"preserve_alpha": preserve_alpha}))
            add(Case("ordered_dither", image, ("bayer4x4",), {"preserve_alpha": preserve_alpha, "levels": 3}))
            add(Case("random_dither", image, (), {"preserve_alpha": preserve_alpha, "seed": 9}))
    add(Case("error_diffusion", "picture-rgba-21x18", ("stucki",), {"palette": "7-e-paper"}))
    add(Case("ordered_dither", "picture-rgba-21x18", ("bayer8x8",), {"palette": "256"}))

    # Ordered dither: every Bayer size and custom matrices, levels and palettes.
    for matrix in (*BAYER, *CUSTOM_MATRICES):
        for image in ("picture-gray-40x67", "gray-257x3", "picture-rgb-33x70"):
            add(Case("ordered_dither", image, (matrix,)))
        add(Case("ordered_dither", "picture-rgb-33x70", (matrix,), {"levels": 5, "linear": True}))
        add(Case("ordered_dither", "picture-rgb-7x13", (matrix,), {"palette": "4-greens"}))
    for levels in (2, 3, 8, 256):
        add(Case("ordered_dither", "ramp-24x256", ("bayer8x8",), {"levels": levels}))
    for strength in (0.0, 0.3, 1.0):
        add(Case("ordered_dither", "picture-rgb-33x70", ("bayer16x16",), {"strength": strength, "levels": 3}))
    for palette in PALETTES:
        add(Case("ordered_dither", "picture-rgb-33x70", ("bayer4x4",), {"palette": palette}))
        add(Case("ordered_dither", "noise-rgb-20x24", ("bayer2x2",), {"palette": palette, "linear": True}))
    for image in ("gray-1x1", "gray-7x13", "picture-rgb-1x1", "picture-rgb-257x3"):
        add(Case("ordered_dither", image, ("bayer8x8",), {"levels": 4}))

    # Random dither: seeds, levels, palettes.
    for seed in (0, 1, 42, 2**32 + 7, 2**64 - 1):
        add(Case("random_dither", "picture-gray-40x67", (), {"seed": seed}))
        add(Case("random_dither", "picture-rgb-33x70", (), {"seed": seed, "levels": 4}))
    for levels in (2, 3, 16, 256):
        add(Case("random_dither", "ramp-24x256", (), {"seed": 5, "levels": levels, "linear": levels == 3}))
    for strength in (0.0, 0.6):
        add(Case("random_dither", "picture-rgb-33x70", (), {"seed": 6, "strength": strength}))
    for palette in PALETTES:
        add(Case("random_dither", "picture-rgb-33x70", (), {"seed": 7, "palette": palette}))
    for image in ("gray-1x1", "gray-7x13", "picture-rgb-257x3"):
        add(Case("random_dither", image, (), {"seed": 8}))

    # The dispatcher, once per kind.
    add(Case("dither", "picture-rgb-33x70", ("jjn",), {"serpentine": True, "palette": "16"}))
    add(Case("dither", "picture-rgb-33x70", ("Bayer-8",), {"levels": 3}))
    add(Case("dither", "picture-rgb-33x70", ("random",), {"seed": 3, "palette": "7-e-paper"}))

    # PIL images in and out.
    add(Case("error_diffusion", "picture-rgb-33x70", ("sierra_two_row",), {"palette": "16"}, pil=True))
    add(Case("ordered_dither", "picture-gray-40x67", ("bayer8x8",), {"levels": 3}, pil=True))
    add(Case("random_dither", "picture-rgba-21x18", (), {"seed": 4}, pil=True))

    names = [c.name for c in out]
    dup = [n for n in names if names.count(n) > 1]
    assert not dup, f"case names must be unique: {dup}"
    return out


def digest(array):
    """SHA-256 of an array's shape, type and bytes."""
    array = np.ascontiguousarray(array)
    h = hashlib.sha256(f"{array.dtype.str} {array.shape}\n".encode())
    h.update(array.tobytes())
    return h.hexdigest()


def run(case):
    """(input digest, output digest) of one case."""
    image = INPUTS[case.image]()
    return digest(image), digest(case.call(image))
