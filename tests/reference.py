"""Slow, plain reference of the error-diffusion pipeline, for comparison.

Every pixel operation is one single-precision NumPy operation, done in the
same order as the extension does it, so the two must agree byte for byte.
Nothing here is vectorised in a way that reorders arithmetic: the only array
expressions are element-wise (a window of weights times one error, added
into a window of cells), which round each element exactly as a scalar loop
would.
"""

import functools
import math
from decimal import ROUND_HALF_UP, Decimal, localcontext

import numpy as np

f32 = np.float32


@functools.cache
def powf(base, exponent):
    """base ** exponent correctly rounded to single precision.

    Worked out in decimal at 60 digits, far beyond the 9 a float needs, then
    rounded to the nearest float32 (ties to even) by comparing exact
    decimals, so no platform's power function is involved. The extension
    raises only bases in (0, 1] to 2.4 and 1/2.4; a few of its powers
    differ from the correctly rounded ones in the last bit, and none of
    them moves a level code.
    """
    base, exponent = f32(base), f32(exponent)
    with localcontext() as context:
        context.prec = 60
        exact = Decimal(float(base)) ** Decimal(float(exponent))
        near = f32(float(exact))
        candidates = (np.nextafter(near, f32(-np.inf)), near, np.nextafter(near, f32(np.inf)))
        # Nearest wins; of two as near, the one with an even significand.
        return min(candidates, key=lambda c: (abs(Decimal(float(c)) - exact),
                                              int(c.view(np.uint32)) & 1))


def roundf(x):
    """Rounds a float32 to the nearest whole number, halves away from zero.

    Converting float32 to a Python float is exact, and so is Decimal of a
    float, so the rounding below sees the true value.
    """
    x = float(x)
    if math.isnan(x) or math.isinf(x):
        return f32(x)
    whole = Decimal(x).quantize(Decimal(1), rounding=ROUND_HALF_UP)
    return f32(math.copysign(float(whole), x))


# ---------------------------------------------------------------- colour space


def build_lut(linear):
    """Byte value to working value (0..255 scale)."""
    lut = np.zeros(256, dtype=np.float32)
    for v in range(256):
        if not linear:
            lut[v] = f32(v)
            continue
        c = f32(v) / f32(255)
        if c > f32(0.04045):
            light = powf((c + f32(0.055)) / f32(1.055), f32(2.4))
        else:
            light = c / f32(12.92)
        lut[v] = light * f32(255)
    return lut


# ---------------------------------------------------------------- levels


class Levels:
    def __init__(self, n, lut, linear):
        self.n = n
        self.step = f32(255) / f32(n - 1)
        codes = []
        for i in range(n):
            v = min(f32(255), f32(i) * self.step)
            if linear:
                e = v / f32(255)
                if e <= f32(0.0031308):
                    s = e * f32(12.92)
                else:
                    s = powf(e, f32(0.41666666)) * f32(1.055) + f32(-0.055)
                c = s * f32(255)
            else:
                c = v
            r = roundf(c)
            r = max(f32(0), r)
            r = min(f32(255), r)
            codes.append(int(r))
        self.codes = codes
        self.values = [lut[c] for c in codes]
        self.inv_step = f32(1) / self.step
        self.top = f32(n - 1)

    def quantize(self, v):
        r = roundf(v * self.inv_step)
        # max/min written out so that a NaN passes both unchanged.
        if r < f32(0):
            r = f32(0)
        if r > self.top:
            r = self.top
        return 0 if math.isnan(r) else int(r)


# ---------------------------------------------------------------- palette


class Palette:
    def __init__(self, colors, lut):
        self.colors = [tuple(int(x) for x in color) for color in colors]
        self.working = [tuple(lut[x] for x in color) for color in self.colors]
        self.spread = [f32(0), f32(0), f32(0)]
        for k in range(3):
            distinct = sorted(set(float(w[k]) for w in self.working))
            if len(distinct) > 1:
                self.spread[k] = (f32(distinct[-1]) - f32(distinct[0])) / f32(len(distinct) - 1)

    def nearest(self, c0, c1, c2):
        best = f32(np.inf)
        index = 0
        for j, (w0, w1, w2) in enumerate(self.working):
            d1 = c1 - w1
            d0 = c0 - w0
            d2 = c2 - w2
            d = (d1 * d1 + d0 * d0) + d2 * d2
            if best > d:
                index = j
                best = d
        return index


# ---------------------------------------------------------------- kernels

# name: (divisor, [(dx, dy, weight), ...]) in the stored tap order.
KERNELS = {
    "floyd_steinberg": (16, [(1, 0, 7), (-1, 1, 3), (0, 1, 5), (1, 1, 1)]),
    "false_floyd_steinberg": (8, [(1, 0, 3), (0, 1, 3), (1, 1, 2)]),
    "jarvis_judice_ninke": (48, [
        (1, 0, 7), (2, 0, 5),
        (-2, 1, 3), (-1, 1, 5), (0, 1, 7), (1, 1, 5), (2, 1, 3),
        (-2, 2, 1), (-1, 2, 3), (0, 2, 5), (1, 2, 3), (2, 2, 1)]),
    "stucki": (42, [
        (1, 0, 8), (2, 0, 4),
        (-2, 1, 2), (-1, 1, 4), (0, 1, 8), (1, 1, 4), (2, 1, 2),
        (-2, 2, 1), (-1, 2, 2), (0, 2, 4), (1, 2, 2), (2, 2, 1)]),
    "atkinson": (8, [(1, 0, 1), (2, 0, 1), (-1, 1, 1), (0, 1, 1), (1, 1, 1), (0, 2, 1)]),
    "burkes": (32, [(1, 0, 8), (2, 0, 4), (-2, 1, 2), (-1, 1, 4), (0, 1, 8), (1, 1, 4), (2, 1, 2)]),
    "sierra": (32, [
        (1, 0, 5), (2, 0, 3),
        (-2, 1, 2), (-1, 1, 4), (0, 1, 5), (1, 1, 4), (2, 1, 2),
        (-1, 2, 2), (0, 2, 3), (1, 2, 2)]),
    "sierra_two_row": (16, [(1, 0, 4), (2, 0, 3), (-2, 1, 1), (-1, 1, 2), (0, 1, 3), (1, 1, 2), (2, 1, 1)]),
    "sierra_lite": (4, [(1, 0, 2), (-1, 1, 1), (0, 1, 1)]),
}


def kernel_rows(name, strength):
    """Per kernel row an 8-cell window for column x - 2 .. x + 5."""
    divisor, taps = KERNELS[name]
    forward = np.zeros((3, 8), dtype=np.float32)
    mirrored = np.zeros((3, 8), dtype=np.float32)
    row_used = [False, False, False]
    for dx, dy, weight in taps:
        c = (f32(weight) / f32(divisor)) * f32(strength)
        forward[dy, dx + 2] = c
        mirrored[dy, 2 - dx] = c
        if not c == f32(0):
            row_used[dy] = True
    return forward, mirrored, row_used


# ---------------------------------------------------------------- passes


def _scan(height, width, serpentine, rows):
    """Yields (y, x, window set) in scan order."""
    forward, mirrored, _ = rows
    for y in range(height):
        if serpentine and y % 2 == 1:
            for x in range(width - 1, -1, -1):
                yield y, x, mirrored
        else:
            for x in range(width):
                yield y, x, forward


def _levels_pass(pixels, height, width, channels, c, levels, lut, rows, serpentine):
    _, _, row_used = rows
    buffers = [np.zeros(width + 8, dtype=np.float32) for _ in range(3)]
    last_y = 0
    for y, x, windows in _scan(height, width, serpentine, rows):
        if y != last_y:
            buffers[0][:] = f32(0)
            buffers = [buffers[1], buffers[2], buffers[0]]
            last_y = y
        p = (y * width + x) * channels + c
        v = lut[pixels[p]] + buffers[0][x + 2]
        if levels.n == 2:
            i = 0 if (v < f32(127.5) or math.isnan(v)) else 1
        else:
            i = levels.quantize(v)
        pixels[p] = levels.codes[i]
        e = v - levels.values[i]
        for dy in range(3):
            if row_used[dy]:
                buffers[dy][x:x + 8] += windows[dy] * e


def bound(v):
    """The bounded pass's clamp of a value to the working range: the two
    comparisons in that order, so that NaN would become 0."""
    v = v if v > f32(0) else f32(0)
    return v if v < f32(255) else f32(255)


def _palette_pass(pixels, height, width, channels, palette, lut, rows, serpentine, bounded):
    _, _, row_used = rows
    buffers = [np.zeros((width + 8, 3), dtype=np.float32) for _ in range(3)]
    last_y = 0
    for y, x, windows in _scan(height, width, serpentine, rows):
        if y != last_y:
            buffers[0][:] = f32(0)
            buffers = [buffers[1], buffers[2], buffers[0]]
            last_y = y
        p = (y * width + x) * channels
        v = [lut[pixels[p + k]] + buffers[0][x + 2, k] for k in range(3)]
        if bounded:
            v = [bound(c) for c in v]
        j = palette.nearest(v[0], v[1], v[2])
        for k in range(3):
            pixels[p + k] = palette.colors[j][k]
        e = np.array([v[k] - palette.working[j][k] for k in range(3)], dtype=np.float32)
        for dy in range(3):
            if row_used[dy]:
                buffers[dy][x:x + 8] += windows[dy][:, None] * e[None, :]


def error_diffusion(image, method="floyd_steinberg", *, levels=2, palette=None,
                    serpentine=False, strength=1.0, linear=False, preserve_alpha=True,
                    bounded=False):
    """Dithers a uint8 array of shape (H, W) or (H, W, C).

    `method` is a canonical kernel name and `palette` a list of (r, g, b)
    integer triples; the arguments are assumed valid. With `bounded`, the
    palette pass clamps each component of a value plus its carried error to
    0..255 before the search, and passes on the clamped value minus the
    chosen colour (dithering_tools.bounded_error_diffusion).
    """
    image = np.asarray(image)
    assert image.dtype == np.uint8 and image.ndim in (2, 3)
    height, width = image.shape[:2]
    channels = image.shape[2] if image.ndim == 3 else 1
    pixels = image.flatten().tolist()
    lut = build_lut(linear)
    rows = kernel_rows(method, f32(strength))
    if palette is None:
        alpha = None
        if preserve_alpha and image.ndim == 3 and channels in (2, 4):
            alpha = channels - 1
        target = Levels(levels, lut, linear)
        for c in range(channels):
            if c != alpha:
                _levels_pass(pixels, height, width, channels, c, target, lut, rows, serpentine)
    else:
        assert channels >= 3
        target = Palette(palette, lut)
        _palette_pass(pixels, height, width, channels, target, lut, rows, serpentine, bounded)
    return np.array(pixels, dtype=np.uint8).reshape(image.shape)
