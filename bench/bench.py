"""Throughput of the dithering functions beside Pillow and NumPy, in one run.

    python bench/bench.py [--repeat N] [--quick]
                          [--only diffusion|threshold|photos|cli|quality]

Images are made with a fixed seed: a 4096x4096 grayscale and a 2048x2048 RGB
picture (smooth gradients plus fine noise; --quick uses 1024x1024 and
512x512). Each case is timed --repeat times and the median is reported in
megapixels per second, next to the peer doing the same kind of work and the
ratio ours / peer:

- error diffusion (every kernel, 2 and 4 levels, and serpentine) beside
  Pillow's convert('1') (Floyd-Steinberg to one bit) on the same image; RGB
  error diffusion beside the same convert('1') per pixel, on a grayscale
  image with as many pixels;
- palette Floyd-Steinberg beside Pillow's quantize with the same palette
  (Pillow palettes hold at most 256 colours, so 4096 has no peer);
- ordered dither beside NumPy comparing with the threshold matrix already
  tiled to the image size, (gray > tiled) as uint8;
- random dither beside NumPy comparing with a fresh uniform byte draw,
  (gray > rng.integers(...)) as uint8, the draw included;
- photos (needs scikit-image, `pip install -r bench/requirements.txt`):
  scikit-image's astronaut, hubble_deep_field and immunohistochemistry
  upscaled to 2048x2048, with palettes made from each photo the way users
  make them: Pillow's median cut and fast octree at 16, 64 and 256 colours,
  and 4096 colours drawn from the photo's own pixels. Palette error
  diffusion (raster and serpentine, each as the module's own and bounded,
  the companion package's bounded_error_diffusion, which the dither
  command uses), ordered (Bayer 8) and random dither
  beside Pillow's quantize FS with the same palette; 4096 colours beside
  Pillow's FS with the 256-colour median-cut palette. Real palettes crowd
  into the photo's gamut, which uniform random palettes do not.

`--only cli` runs bench/bench_cli.py instead: the `dither` command on PNG
files beside Pillow's own decoding and encoding, and its batch speed-up
from --jobs 1 to --jobs 2 (not part of the default run: it writes a few
hundred megabytes of PNG files and takes minutes).

`--only scaling` runs bench/scaling.py instead: every kind of call on 1, 2
(and 4) threads at once, each on its own image, at 256x256 to 4096x4096,
beside NumPy's copy and sum, and the cost of one small call (not part of
the default run either).

`--only quality` runs bench/quality.py instead (with --quick at 1024 px,
else 2048 px): not a timing but the pictures of the `dither` command's
--colors beside Pillow's quantize and libimagequant, each with its own
palette, and the palette's and the whole job's time beside theirs (not part
of the default run either).

Then each of our cases runs as two concurrent calls on two images, reported
as throughput relative to one call; and the peak memory of one call (the
growth of the peak resident set of a fresh process), beside the input size.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import dithering
from dithering_tools import bounded_error_diffusion

try:
    from PIL import Image
except ImportError:  # Pillow is optional: its peers are left out
    Image = None

KERNELS = ("floyd_steinberg", "false_floyd_steinberg", "jarvis_judice_ninke", "stucki",
           "atkinson", "burkes", "sierra", "sierra_two_row", "sierra_lite")


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


def two_thread_speedup(fn, inputs, repeat):
    """Throughput of two concurrent calls, one on each of two images,
    relative to one call. Each thread makes enough calls in a row to take
    about 50 ms, so that starting a thread does not weigh on fast cases."""
    once = median_seconds(lambda: fn(inputs[0]), repeat)
    calls = max(1, round(0.05 / once))

    def run(image):
        for _ in range(calls):
            fn(image)

    one = median_seconds(lambda: run(inputs[0]), repeat)

    def pair():
        threads = [threading.Thread(target=run, args=(image,)) for image in inputs]
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


class Case:
    """One of our calls, `run(image)`, on `inputs` (two images of the same
    content, for the two-thread row), and the key of its peer, if any."""

    def __init__(self, name, pixels, run, inputs, peer=None):
        self.name, self.pixels, self.run, self.inputs, self.peer = name, pixels, run, inputs, peer


class Peer:
    """A peer call, timed once however many cases stand beside it; `pixels`
    is the pixel count of its own image, so that a peer on another image
    (Pillow's grayscale convert beside RGB cases) compares per pixel."""

    def __init__(self, label, pixels, run):
        self.label, self.pixels, self.run = label, pixels, run
        self.mpx = None

    def measure(self, repeat):
        if self.mpx is None:
            self.run()  # warm up
            self.mpx = self.pixels / median_seconds(self.run, repeat) / 1e6
        return self.mpx


def two(image):
    return [image, image.copy()]


def error_diffusion_cases(gray, rgb, rng):
    """(cases, peers) of the error-diffusion group."""
    peers = {}
    gray_pair, rgb_pair = two(gray), two(rgb)
    rgb_pixels = rgb.shape[0] * rgb.shape[1]
    if Image:
        gray_image = Image.fromarray(gray)
        peers["convert1"] = Peer("Pillow convert('1')", gray.size,
                                 lambda: gray_image.convert("1"))
        # The RGB cases are weighed per pixel against Pillow's one-bit
        # grayscale dither on an image with as many pixels.
        rgb_gray_image = Image.fromarray(np.ascontiguousarray(rgb[..., 0]))
        peers["convert1 per px"] = Peer("Pillow convert('1') per px", rgb_pixels,
                                        lambda: rgb_gray_image.convert("1"))
    convert1 = "convert1" if Image else None
    per_px = "convert1 per px" if Image else None

    cases = []
    for levels in (2, 4):
        for method in KERNELS:
            cases.append(Case(f"diffusion gray {method} {levels}", gray.size,
                              lambda img, m=method, n=levels: dithering.error_diffusion(
                                  img, m, levels=n), gray_pair, convert1))
    cases.append(Case("diffusion gray floyd_steinberg serpentine 2", gray.size,
                      lambda img: dithering.error_diffusion(img, serpentine=True),
                      gray_pair, convert1))
    for levels in (2, 4):
        cases.append(Case(f"diffusion rgb floyd_steinberg {levels}", rgb_pixels,
                          lambda img, n=levels: dithering.error_diffusion(img, levels=n),
                          rgb_pair, per_px))
    rgb_image = Image.fromarray(rgb) if Image else None
    for count in (16, 256, 4096):
        palette = make_palette(count, rng)
        key = None
        if Image and count <= 256:
            key = f"quantize {count}"
            pal_image = pillow_palette_image(palette)
            peers[key] = Peer("Pillow quantize FS", rgb_pixels,
                              lambda p=pal_image: rgb_image.quantize(
                                  palette=p, dither=Image.Dither.FLOYDSTEINBERG))
        cases.append(Case(f"diffusion rgb floyd_steinberg palette {count}", rgb_pixels,
                          lambda img, p=palette: dithering.error_diffusion(img, palette=p),
                          rgb_pair, key))
    return cases, peers


def bayer8_thresholds():
    """The 8x8 Bayer thresholds as a user would write them for NumPy."""
    m = np.zeros((1, 1), dtype=np.int64)
    while m.shape[0] < 8:
        m = np.block([[4 * m, 4 * m + 2], [4 * m + 3, 4 * m + 1]])
    return (m + 0.5) / m.size


def threshold_dither_cases(gray, rgb, rng):
    """(cases, peers) of ordered and random dither, beside the NumPy
    two-level forms a user would write."""
    h, w = gray.shape
    # Tiled once, outside the timing: the cheapest ordered dither NumPy has.
    tiled = np.tile((bayer8_thresholds() * 256).astype(np.uint8), (h // 8, w // 8))
    generator = np.random.default_rng(1)
    peers = {
        "numpy tiled": Peer("NumPy gray > tiled", gray.size,
                            lambda: (gray > tiled).view(np.uint8)),
        "numpy random": Peer("NumPy gray > rng bytes", gray.size,
                             lambda: (gray > generator.integers(
                                 0, 256, gray.shape, dtype=np.uint8)).view(np.uint8)),
    }
    gray_pair = two(gray)
    cases = []
    for levels in (2, 4):
        cases.append(Case(f"ordered gray bayer8 {levels}", gray.size,
                          lambda img, n=levels: dithering.ordered_dither(img, levels=n),
                          gray_pair, "numpy tiled"))
    for levels in (2, 4):
        cases.append(Case(f"random gray {levels}", gray.size,
                          lambda img, n=levels: dithering.random_dither(img, levels=n, seed=1),
                          gray_pair, "numpy random"))
    return cases, peers


PHOTOS = ("astronaut", "hubble_deep_field", "immunohistochemistry")


def load_photos(size):
    """The sample photos upscaled to size x size, or {} without scikit-image."""
    try:
        import skimage.data
    except ImportError:
        return {}
    photos = {}
    for name in PHOTOS:
        picture = Image.fromarray(getattr(skimage.data, name)()).convert("RGB")
        photos[name] = np.asarray(picture.resize((size, size), Image.Resampling.BICUBIC))
    return photos


def photo_palettes(photo):
    """{label: palette} made from the photo itself."""
    picture = Image.fromarray(photo)
    palettes = {}
    for count in (16, 64, 256):
        for method, label in ((Image.Quantize.MEDIANCUT, "median cut"),
                              (Image.Quantize.FASTOCTREE, "octree")):
            flat = picture.quantize(colors=count, method=method).getpalette()[:3 * count]
            palettes[f"{label} {count}"] = [tuple(flat[i:i + 3]) for i in range(0, len(flat), 3)]
    pixels = photo.reshape(-1, 3)
    drawn = np.random.default_rng(4096).choice(len(pixels), 4096, replace=False)
    palettes["pixels 4096"] = [tuple(int(v) for v in pixels[i]) for i in drawn]
    return palettes


def photo_cases(photos):
    """(cases, peers) of palettes on photos, every peer Pillow's quantize FS
    with the same palette (the 256-colour median cut one for 4096)."""
    cases, peers = [], {}
    for name, photo in photos.items():
        picture = Image.fromarray(photo)
        pixels = photo.shape[0] * photo.shape[1]
        pair = two(photo)
        short = name.split("_")[0][:10]
        palettes = photo_palettes(photo)
        for label, palette in palettes.items():
            count = len(palette)
            key = f"{name} FS {label if count <= 256 else 'median cut 256'}"
            if key not in peers:
                peer_palette = pillow_palette_image(palette if count <= 256
                                                    else palettes["median cut 256"])
                peers[key] = Peer(f"Pillow FS {count if count <= 256 else 256}", pixels,
                                  lambda p=peer_palette, pic=picture: pic.quantize(
                                      palette=p, dither=Image.Dither.FLOYDSTEINBERG))
            cases.append(Case(f"photo {short} FS {label}", pixels,
                              lambda img, p=palette: dithering.error_diffusion(img, palette=p),
                              pair, key))
            cases.append(Case(f"photo {short} FS bounded {label}", pixels,
                              lambda img, p=palette: bounded_error_diffusion(img, palette=p),
                              pair, key))
            if label in ("median cut 16", "median cut 256", "octree 256", "pixels 4096"):
                cases.append(Case(f"photo {short} FS serpentine {label}", pixels,
                                  lambda img, p=palette: dithering.error_diffusion(
                                      img, palette=p, serpentine=True), pair, key))
                cases.append(Case(f"photo {short} FS serp. bounded {label}", pixels,
                                  lambda img, p=palette: bounded_error_diffusion(
                                      img, palette=p, serpentine=True), pair, key))
                cases.append(Case(f"photo {short} bayer8 {label}", pixels,
                                  lambda img, p=palette: dithering.ordered_dither(
                                      img, 8, palette=p), pair, key))
                cases.append(Case(f"photo {short} random {label}", pixels,
                                  lambda img, p=palette: dithering.random_dither(
                                      img, palette=p, seed=1), pair, key))
    return cases, peers


PHOTO_PEAK_PROBE = """
import sys, numpy as np, dithering
def kib(field):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(field + ":"))
image = np.load(sys.argv[1])
palette = [tuple(c) for c in np.load(sys.argv[2]).tolist()]
dithering.error_diffusion(np.zeros((8, 8), np.uint8))  # load NumPy's C API first
before = kib("VmRSS")
result = dithering.%s(image, palette=palette)
print((kib("VmHWM") - before) * 1024)
"""


def photo_call_memory(photo, palette, function):
    """Peak resident-set growth (bytes) of one call on `photo`, in a fresh
    process."""
    with tempfile.TemporaryDirectory() as tmp:
        image_path, palette_path = os.path.join(tmp, "i.npy"), os.path.join(tmp, "p.npy")
        np.save(image_path, photo)
        np.save(palette_path, np.array(palette, dtype=np.uint8))
        try:
            out = subprocess.run([sys.executable, "-c", PHOTO_PEAK_PROBE % function,
                                  image_path, palette_path],
                                 capture_output=True, text=True, check=True).stdout
            return int(out)
        except (subprocess.CalledProcessError, ValueError):
            return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="runs per case (median)")
    parser.add_argument("--quick", action="store_true", help="quarter-size images")
    parser.add_argument("--only", action="append",
                        choices=["diffusion", "threshold", "photos", "cli", "quality",
                                 "scaling"],
                        help="run only this group of cases (repeatable); cli, quality and"
                             " scaling are never run unless named")
    args = parser.parse_args()
    if args.only and "cli" in args.only:
        import bench_cli  # beside this file, which Python puts first on sys.path
        bench_cli.main(["--repeat", str(args.repeat)] + (["--quick"] if args.quick else []))
        args.only.remove("cli")
        if not args.only:
            return
    if args.only and "scaling" in args.only:
        import scaling  # beside this file
        scaling.main(["--sizes", "256,1024" if args.quick else "256,1024,2048,4096"])
        args.only.remove("scaling")
        if not args.only:
            return
    if args.only and "quality" in args.only:
        import quality  # beside this file
        quality.main(["--size", "1024" if args.quick else "2048"])
        args.only.remove("quality")
        if not args.only:
            return

    rng = np.random.default_rng(20261207)
    gray = make_gray(1024 if args.quick else 4096, rng)
    rgb = make_rgb(512 if args.quick else 2048, rng)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"dithering {dithering.__version__}, Python {sys.version.split()[0]}"
          f" ({'GIL' if gil else 'free-threaded'}), numpy {np.__version__}"
          + (f", Pillow {Image.__version__}" if Image else ", no Pillow")
          + f"; gray {gray.shape[1]}x{gray.shape[0]}, rgb {rgb.shape[1]}x{rgb.shape[0]}"
          + f", median of {args.repeat}")

    groups = {"diffusion": error_diffusion_cases, "threshold": threshold_dither_cases}
    cases, peers = [], {}
    for group in args.only or list(groups) + ["photos"]:
        if group == "photos":
            photos = load_photos(512 if args.quick else 2048) if Image else {}
            if not photos:
                print("photos: skipped (needs Pillow and scikit-image: bench/requirements.txt)")
                continue
            group_cases, group_peers = photo_cases(photos)
        else:
            group_cases, group_peers = groups[group](gray, rgb, rng)
        cases += group_cases
        peers.update(group_peers)

    print(f"{'case':<46}{'Mpx/s':>9}  {'peer':<28}{'Mpx/s':>9}{'ours/peer':>11}")
    for case in cases:
        def call(c=case):
            return c.run(c.inputs[0])
        call()  # warm up: first-use loading, page faults
        ours = case.pixels / median_seconds(call, args.repeat) / 1e6
        line = f"{case.name:<46}{ours:>9.1f}"
        if case.peer:
            peer = peers[case.peer]
            peer_mpx = peer.measure(args.repeat)
            line += f"  {peer.label:<28}{peer_mpx:>9.1f}{ours / peer_mpx:>10.2f}x"
        print(line, flush=True)

    print()
    for case in cases:
        speedup = two_thread_speedup(case.run, case.inputs, args.repeat)
        print(f"{case.name:<46} two threads: {speedup:.2f}x one thread", flush=True)
    for shape, kwargs in [(gray.shape, {}), (rgb.shape, {"palette": make_palette(16, rng)})]:
        growth = peak_call_memory(shape, **kwargs)
        if growth is not None:
            size = np.prod(shape) / 2**20
            print(f"peak memory of one call on {list(shape)}: {growth / 2**20:.1f} MiB"
                  f" (input {size:.1f} MiB + output {size:.1f} MiB)")
    if "photos" in (args.only or ["photos"]) and Image:
        for name, photo in load_photos(512 if args.quick else 2048).items():
            palette = photo_palettes(photo)["pixels 4096"]
            size = photo.nbytes / 2**20
            for function in ("error_diffusion", "ordered_dither"):
                growth = photo_call_memory(photo, palette, function)
                if growth is not None:
                    print(f"peak memory of {function} on {name}, 4096 colours:"
                          f" {growth / 2**20:.1f} MiB, of which search"
                          f" {(growth - photo.nbytes) / 2**20:.1f} MiB beyond the output"
                          f" ({size:.1f} MiB)")
            break


if __name__ == "__main__":
    main()
