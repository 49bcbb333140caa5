"""Slow, plain reference of ordered and random dither, for comparison.

Every operation is one single-precision NumPy scalar operation in the order
the extension does it; the generator is computed with Python integers.
"""

import numpy as np

from reference import Levels, Palette, build_lut, f32

MASK64 = (1 << 64) - 1
GOLDEN_GAMMA = 0x9E3779B97F4A7C15
SEED_MIX = 0xD1B54A32D192ED03


def bayer_indices(n):
    """The n x n Bayer index matrix, built by the recursive tiling."""
    m = np.zeros((1, 1), dtype=np.int64)
    while m.shape[0] < n:
        m = np.block([[4 * m, 4 * m + 2], [4 * m + 3, 4 * m + 1]])
    return m


def bayer(n):
    cells = f32(n * n)
    return [[(f32(v) + f32(0.5)) / cells for v in row] for row in bayer_indices(n).tolist()]


def from_indices(values):
    values = np.asarray(values).astype(np.int64)
    denominator = f32(max(values.size, int(values.max()) + 1))
    return [[(f32(v) + f32(0.5)) / denominator for v in row] for row in values.tolist()]


def from_thresholds(values):
    cap = f32(0.9999999)
    return [[min(f32(v), cap) for v in row] for row in np.asarray(values, np.float64).tolist()]


def splitmix_units(seed, count):
    """The random dither's t for the first `count` pixels after seeding."""
    state = (seed & MASK64) ^ SEED_MIX
    out = []
    for _ in range(count):
        state = (state + GOLDEN_GAMMA) & MASK64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        z = z ^ (z >> 31)
        out.append(f32(z >> 40) * f32(2.0**-24) - f32(0.5))
    return out


def _dither(image, offsets_unit, levels, palette, strength, linear, preserve_alpha):
    """offsets_unit(n, x, y) -> u for pixel n at (x, y): u = t - 0.5."""
    image = np.asarray(image)
    height, width = image.shape[:2]
    channels = image.shape[2] if image.ndim == 3 else 1
    pixels = image.reshape(height, width, channels).copy()
    lut = build_lut(linear)
    strength = f32(strength)
    if palette is None:
        target = Levels(levels, lut, linear)
        amp = strength * target.step
        alpha = channels - 1 if preserve_alpha and image.ndim == 3 and channels in (2, 4) else None
    else:
        target = Palette(palette, lut)
        amps = [target.spread[k] * strength for k in range(3)]
    for y in range(height):
        for x in range(width):
            u = offsets_unit(y * width + x, x, y)
            p = pixels[y, x]
            if palette is None:
                offset = u * amp
                for c in range(channels):
                    if c != alpha:
                        p[c] = target.codes[target.quantize(lut[p[c]] + offset)]
            else:
                c0, c1, c2 = (amps[k] * u + lut[p[k]] for k in range(3))
                p[:3] = target.colors[target.nearest(c0, c1, c2)]
    return pixels.reshape(image.shape)


def ordered_dither(image, thresholds, *, levels=2, palette=None, strength=1.0, linear=False,
                   preserve_alpha=True):
    rows, cols = len(thresholds), len(thresholds[0])

    def unit(n, x, y):
        return thresholds[y % rows][x % cols] + f32(-0.5)

    return _dither(image, unit, levels, palette, strength, linear, preserve_alpha)


def random_dither(image, seed, *, levels=2, palette=None, strength=1.0, linear=False,
                  preserve_alpha=True):
    image = np.asarray(image)
    units = splitmix_units(seed, image.shape[0] * image.shape[1])
    return _dither(image, lambda n, x, y: units[n], levels, palette, strength, linear,
                   preserve_alpha)
