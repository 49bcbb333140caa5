"""Thread scaling and per-call cost of the dithering functions.

    python bench/scaling.py [--sizes 256,1024,2048,4096] [--seconds S]

Each case runs on 1, 2 and (where the machine has four cores) 4 threads
at once, every thread on its own copy of the image, each making enough
calls in a row to take about S seconds (default 0.3), so that starting the
threads is noise. Reported: throughput of N threads relative to one, the
best of three rounds. NumPy's `copy` of the same image stands beside them
as the memory-bound reference, and `a.sum()` as a compute-bound one.

Then the per-call cost: the time of a 16x16 call, and Floyd-Steinberg's
throughput at 256x256 against its throughput at 2048x2048 (a fixed cost per
call shows as a lower rate on the small image).

Cases: Floyd-Steinberg to 2 levels, Jarvis-Judice-Ninke to 4 levels,
ordered (Bayer 8) and random dither of grayscale images; Floyd-Steinberg to
16, 64 and 256 colours of a photo's own median-cut palette (the module's
dither and the companion's bounded one), and ordered and random dither to
64 colours. Photos need scikit-image and Pillow (bench/requirements.txt);
without them the palette cases use a synthetic RGB image.
"""

import argparse
import os
import statistics
import sys
import threading
import time

import numpy as np

import dithering
from dithering_tools import bounded_error_diffusion

sys.path.insert(0, os.path.dirname(__file__))
import bench  # noqa: E402  (beside this file)


def rate(fn, images, seconds):
    """Pixels per second of len(images) threads, each calling fn on its own
    image for about `seconds`."""
    once = min(timed(lambda: fn(images[0])) for _ in range(3))
    calls = max(2, round(seconds / max(once, 1e-7)))
    barrier = threading.Barrier(len(images) + 1)

    def run(image):
        barrier.wait()
        for _ in range(calls):
            fn(image)

    threads = [threading.Thread(target=run, args=(image,)) for image in images]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    took = time.perf_counter() - start
    return len(images) * calls * images[0].shape[0] * images[0].shape[1] / took


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def scaling(fn, image, thread_counts, seconds):
    """{threads: best throughput over three rounds} for one case."""
    copies = [image.copy() for _ in range(max(thread_counts))]
    fn(copies[0])  # first use: tables, NumPy's API
    return {n: max(rate(fn, copies[:n], seconds) for _ in range(3)) for n in thread_counts}


def photo(size):
    photos = bench.load_photos(size) if bench.Image else {}
    if "astronaut" in photos:
        return photos["astronaut"], "astronaut"
    return bench.make_rgb(size, np.random.default_rng(7)), "synthetic RGB"


def median_cut(image, count):
    if bench.Image is None:
        return bench.make_palette(count, np.random.default_rng(count))
    flat = bench.Image.fromarray(image).quantize(
        colors=count, method=bench.Image.Quantize.MEDIANCUT).getpalette()[:3 * count]
    return [tuple(flat[i:i + 3]) for i in range(0, len(flat), 3)]


def cases_for(size):
    gray = bench.make_gray(size, np.random.default_rng(size))
    rgb, label = photo(size)
    cases = [
        ("numpy copy (memory-bound peer)", gray, np.copy),
        ("numpy sum (compute-bound peer)", gray, lambda a: a.sum()),
        ("FS gray, 2 levels", gray, lambda a: dithering.error_diffusion(a)),
        ("JJN gray, 4 levels", gray,
         lambda a: dithering.error_diffusion(a, "jarvis_judice_ninke", levels=4)),
        ("ordered gray, Bayer 8", gray, lambda a: dithering.ordered_dither(a, 8)),
        ("random gray", gray, lambda a: dithering.random_dither(a, seed=1)),
    ]
    palettes = {count: median_cut(rgb, count) for count in (16, 64, 256)}
    for count, palette in palettes.items():
        cases.append((f"FS {label}, {count} colours", rgb,
                      lambda a, p=palette: dithering.error_diffusion(a, palette=p)))
        cases.append((f"FS bounded {label}, {count} colours", rgb,
                      lambda a, p=palette: bounded_error_diffusion(a, palette=p)))
    cases.append((f"ordered {label}, 64 colours", rgb,
                  lambda a, p=palettes[64]: dithering.ordered_dither(a, 8, palette=p)))
    cases.append((f"random {label}, 64 colours", rgb,
                  lambda a, p=palettes[64]: dithering.random_dither(a, palette=p, seed=1)))
    return cases


def per_call_cost():
    gray16 = np.full((16, 16), 100, np.uint8)
    small = bench.make_gray(256, np.random.default_rng(1))
    large = bench.make_gray(2048, np.random.default_rng(2))
    call = dithering.error_diffusion
    call(gray16)
    tiny = statistics.median(min(timed(lambda: call(gray16)) for _ in range(200))
                             for _ in range(5))
    small_rate = max(rate(call, [small], 0.3) for _ in range(3))
    large_rate = max(rate(call, [large], 0.3) for _ in range(3))
    print(f"per call: FS gray 16x16 {tiny * 1e6:.1f} us;"
          f" 256x256 {small_rate / 1e6:.0f} Mpx/s, 2048x2048 {large_rate / 1e6:.0f} Mpx/s"
          f" ({small_rate / large_rate:.2f} of the large image's rate)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="256,1024,2048,4096")
    parser.add_argument("--seconds", type=float, default=0.3,
                        help="calls per thread in a row, in seconds")
    args = parser.parse_args(argv)
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    thread_counts = [1, 2] + ([4] if cores >= 4 else [])
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"dithering {dithering.__version__}, Python {sys.version.split()[0]}"
          f" ({'GIL' if gil else 'free-threaded'}), numpy {np.__version__}, {cores} cores;"
          f" throughput of N threads / one thread, best of 3")
    if gil:
        print("(the GIL serializes the Python between calls: run on a free-threaded"
              " interpreter for the module's own scaling)")
    header = "".join(f"{f'{n} thr':>9}" for n in thread_counts[1:])
    for size in (int(s) for s in args.sizes.split(",")):
        print(f"\n{size}x{size}{'':<38}{'Mpx/s':>9}{header}")
        for name, image, fn in cases_for(size):
            result = scaling(fn, image, thread_counts, args.seconds)
            ratios = "".join(f"{result[n] / result[1]:>8.2f}x" for n in thread_counts[1:])
            print(f"  {name:<46}{result[1] / 1e6:>9.1f}{ratios}", flush=True)
    print()
    per_call_cost()


if __name__ == "__main__":
    main()
