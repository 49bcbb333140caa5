"""Throughput of the dithering functions beside Pillow, in one run.

    python bench/bench.py [--repeat N] [--quick]

Images are made with a fixed seed: a 4096x4096 grayscale and a 2048x2048 RGB
picture (smooth gradients plus fine noise). Each case is timed --repeat times
and the median is reported in megapixels per second, next to the same work
done by Pillow where Pillow has an equivalent, with the ratio ours / Pillow.
The two-thread rows run the same call on two images at once and report the
throughput relative to one thread. Peak memory is the growth of the process's
peak resident set during one call, beside the input size.
"""

import argparse
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

import dithering

try:
    from PIL import Image
except ImportError:  # Pillow is optional: its columns stay empty
    Image = None


def make_gray(size, rng):
    y, x = np.mgrid[0:size, 0:size].astype(np.float32) / size
    smooth = 127.5 + 100 * np.sin(6 * x) * np.cos(4 * y) + 20 * (x - y)
    noise = rng.normal(0, 12, (size, size))
    return np.clip(smooth + noise, 0, 255).astype(np.uint8)


def make_rgb(size, rng):
    channels = [make_gray(size, rng) for _ in range(3)]
    channels[1] = channels[1][::-1].copy()
    channels[2] = channels[2].T.copy()
    return np.dstack(channels)


def make_palette(count, rng):
    return [tuple(int(v) for v in rng.integers(0, 256, 3)) for _ in range(count)]


def median_seconds(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def two_thread_speedup(fn, repeat):
    """Throughput of two concurrent calls relative to one call."""
    one = median_seconds(fn, repeat)

    def pair():
        threads = [threading.Thread(target=fn) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    two = median_seconds(pair, repeat)
    return 2 * one / two


PEAK_PROBE = """
import sys, numpy as np, dithering
def kib(field):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(field + ":"))
image = np.zeros(%r, dtype=np.uint8)
image[...] = np.arange(image.shape[1], dtype=np.uint8)[:, None] if image.ndim == 3 else 7
dithering.error_diffusion(np.zeros((8, 8), np.uint8))  # load NumPy's C API first
before = kib("VmRSS")
result = dithering.error_diffusion(image, **%r)
print((kib("VmHWM") - before) * 1024)
"""


def peak_call_memory(shape, **kwargs):
    """Peak resident-set growth (bytes) of one call, in a fresh process so
    that memory the allocator kept from earlier calls cannot hide it."""
    try:
        out = subprocess.run([sys.executable, "-c", PEAK_PROBE % (shape, kwargs)],
                             capture_output=True, text=True, check=True).stdout
        return int(out)
    except (subprocess.CalledProcessError, ValueError):
        return None


def pillow_palette_image(palette):
    flat = [v for color in palette for v in color]
    image = Image.new("P", (1, 1))
    image.putpalette(flat + flat[:3] * (256 - len(palette)))
    return image


class Report:
    def __init__(self):
        gil = getattr(sys, "_is_gil_enabled", lambda: True)()
        print(f"dithering {dithering.__version__}, Python {sys.version.split()[0]}"
              f" ({'GIL' if gil else 'free-threaded'}), numpy {np.__version__}"
              + (f", Pillow {Image.__version__}" if Image else ", no Pillow"))
        print(f"{'case':<50}{'Mpx/s':>9}{'peer Mpx/s':>12}{'ratio':>8}")

    def row(self, name, pixels, seconds, peer_seconds=None):
        ours = pixels / seconds / 1e6
        line = f"{name:<50}{ours:>9.1f}"
        if peer_seconds:
            peer = pixels / peer_seconds / 1e6
            line += f"{peer:>12.1f}{ours / peer:>7.2f}x"
        print(line, flush=True)


def error_diffusion_cases(gray, rgb, rng):
    """(name, pixels, our call, Pillow's call or None)."""
    cases = []
    gray_image = Image.fromarray(gray) if Image else None
    rgb_image = Image.fromarray(rgb) if Image else None
    for method in ("floyd_steinberg", "jarvis_judice_ninke", "atkinson"):
        peer = (lambda: gray_image.convert("1")) if Image and method == "floyd_steinberg" else None
        cases.append((f"error_diffusion gray {method} 2 levels", gray.size,
                      lambda m=method: dithering.error_diffusion(gray, m), peer))
    cases.append(("error_diffusion gray fs serpentine 2 levels", gray.size,
                  lambda: dithering.error_diffusion(gray, serpentine=True), None))
    cases.append(("error_diffusion gray fs 4 levels", gray.size,
                  lambda: dithering.error_diffusion(gray, levels=4), None))
    pixels = rgb.shape[0] * rgb.shape[1]
    cases.append(("error_diffusion rgb fs 4 levels", pixels,
                  lambda: dithering.error_diffusion(rgb, levels=4), None))
    for count in (16, 256):
        palette = make_palette(count, rng)
        peer = None
        if Image:
            pal_image = pillow_palette_image(palette)
            peer = (lambda p=pal_image: rgb_image.quantize(
                palette=p, dither=Image.Dither.FLOYDSTEINBERG))
        cases.append((f"error_diffusion rgb fs palette {count}", pixels,
                      lambda p=palette: dithering.error_diffusion(rgb, palette=p), peer))
    return cases


def bayer8_thresholds():
    """The 8x8 Bayer thresholds as a user would write them for NumPy."""
    m = np.zeros((1, 1), dtype=np.int64)
    while m.shape[0] < 8:
        m = np.block([[4 * m, 4 * m + 2], [4 * m + 3, 4 * m + 1]])
    return (m + 0.5) / m.size


def threshold_dither_cases(gray, rgb, rng):
    """Ordered and random dither with NumPy baselines a user would write."""
    cases = []
    h, w = gray.shape
    thresholds = bayer8_thresholds()
    tiled_u8 = np.tile((thresholds * 256).astype(np.uint8), (h // 8, w // 8))
    tiled_f32 = np.tile((thresholds - 0.5).astype(np.float32), (h // 8, w // 8))
    lut = np.arange(256, dtype=np.uint8)[::-1].copy()
    generator = np.random.default_rng(1)

    def numpy_bayer_2():
        return np.where(gray >= tiled_u8, 255, 0).astype(np.uint8)

    def numpy_bayer_4():
        v = gray.astype(np.float32) + tiled_f32 * np.float32(85)
        return (np.clip(np.rint(v / np.float32(85)), 0, 3) * 85).astype(np.uint8)

    def numpy_random_2():
        return np.where(gray >= generator.integers(0, 256, gray.shape, dtype=np.uint8), 255, 0).astype(np.uint8)

    custom = rng.random((5, 7))
    cases += [
        ("numpy: lut[arr] (one-pass limit)", gray.size, lambda: lut[gray], None),
        ("numpy: bayer8 2 levels, pre-tiled (gray >= tiled)", gray.size, numpy_bayer_2, None),
        ("numpy: bayer8 4 levels, float32", gray.size, numpy_bayer_4, None),
        ("numpy: random threshold 2 levels", gray.size, numpy_random_2, None),
        ("ordered gray bayer8 2 levels", gray.size, lambda: dithering.ordered_dither(gray), None),
        ("ordered gray bayer8 4 levels", gray.size, lambda: dithering.ordered_dither(gray, levels=4), None),
        ("ordered gray custom 5x7 float 2 levels", gray.size,
         lambda: dithering.ordered_dither(gray, custom), None),
        ("random gray 2 levels", gray.size, lambda: dithering.random_dither(gray, seed=1), None),
        ("random gray 4 levels", gray.size, lambda: dithering.random_dither(gray, levels=4, seed=1), None),
    ]
    pixels = rgb.shape[0] * rgb.shape[1]
    palette = make_palette(16, rng)
    peer = None
    if Image:
        rgb_image, pal_image = Image.fromarray(rgb), pillow_palette_image(palette)
        peer = lambda: rgb_image.quantize(palette=pal_image, dither=Image.Dither.FLOYDSTEINBERG)
    cases += [
        ("ordered rgb bayer8 2 levels", pixels, lambda: dithering.ordered_dither(rgb), None),
        ("ordered rgb bayer8 4 levels", pixels, lambda: dithering.ordered_dither(rgb, levels=4), None),
        ("ordered rgb bayer8 palette 16", pixels,
         lambda: dithering.ordered_dither(rgb, palette=palette), peer),
        ("random rgb 2 levels", pixels, lambda: dithering.random_dither(rgb, seed=1), None),
        ("random rgb palette 16", pixels,
         lambda: dithering.random_dither(rgb, palette=palette, seed=1), None),
    ]
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="runs per case (median)")
    parser.add_argument("--quick", action="store_true", help="quarter-size images")
    parser.add_argument("--only", action="append", choices=["diffusion", "threshold"],
                        help="run only this group of cases (repeatable)")
    args = parser.parse_args()

    rng = np.random.default_rng(20261207)
    gray = make_gray(1024 if args.quick else 4096, rng)
    rgb = make_rgb(512 if args.quick else 2048, rng)
    report = Report()
    groups = {"diffusion": error_diffusion_cases, "threshold": threshold_dither_cases}
    cases = []
    for group in args.only or list(groups):
        cases += groups[group](gray, rgb, rng)
    for name, pixels, ours, peer in cases:
        ours()  # warm up: first-use loading, page faults
        seconds = median_seconds(ours, args.repeat)
        peer_seconds = median_seconds(peer, args.repeat) if peer else None
        report.row(name, pixels, seconds, peer_seconds)

    print()
    for name, pixels, ours, _ in cases:
        if name.startswith("numpy"):
            continue
        print(f"{name:<50} two threads: {two_thread_speedup(ours, args.repeat):.2f}x one thread")
    for shape, kwargs in [(gray.shape, {}), (rgb.shape, {"palette": make_palette(16, rng)})]:
        growth = peak_call_memory(shape, **kwargs)
        if growth is not None:
            size = np.prod(shape) / 2**20
            print(f"peak memory of one call on {list(shape)}: {growth / 2**20:.1f} MiB"
                  f" (input {size:.1f} MiB + output {size:.1f} MiB)")

if __name__ == "__main__":
    main()
