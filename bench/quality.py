"""Photos dithered to N colours, ours beside Pillow and libimagequant.

How close each output stays to the photo, each pipeline making its own
palette.

    python bench/quality.py [--size 1024,2048] [--quick] [--markdown]
                            [--photos a,b] [--counts 16,64,256] [--all-variants]
                            [--only main|timing|same-palette] [--crops DIR]

Photos: scikit-image's bundled colour photos (astronaut, coffee, chelsea,
rocket, hubble_deep_field, immunohistochemistry; no download), resized
bicubic to 1024 and 2048 pixels on the long side (--size; --quick is 1024
only). N = 16, 64 and 256 colours.

Pipelines for each photo and N:

- Pillow: Image.quantize(N) (median cut, Floyd-Steinberg), as RGB;
- libimagequant: imagequant.quantize_pil_image(image, max_colors=N), its
  defaults (dithering level 1.0), as RGB. Left out, with a note, when the
  `imagequant` package is missing;
- ours: a palette from dithering_tools.make_palette(photo, N, method=...),
  then dithering_tools.bounded_error_diffusion(photo, "floyd_steinberg",
  palette=..., serpentine=..., strength=...), in the variants of VARIANTS
  ("default" is DEFAULT_DITHER, what the `dither` command does), and one
  with libimagequant's own palette (the colours its output uses), which
  tells its palette from its dithering.

Every figure compares the output with the photo on the sRGB bytes as
float32, through Gaussian blurs (scipy.ndimage.gaussian_filter, each
channel on its own, mirrored edges, cut at 4 sigma):

- tone: the root mean square over pixels and channels of
  blur(output) - blur(photo), sigma 2: how far each neighbourhood's tone
  moved, in byte units (0..255);
- dE mean, dE p95: CIEDE2000 between the two blurs (sigma 2, clipped to
  0..1 and taken to CIELAB by skimage.color.rgb2lab), mean and 95th
  percentile over the pixels: the same, as an eye weighs colour;
- grain: the root mean square of the error band-passed, G(1) - G(3) of
  output - photo (Gaussians of sigma 1 and 3 pixels): the dither's dots at
  the scale the eye sees as noise, without the finest checkerboard (which
  blurs away at any viewing distance) and without the tone error itself;
- smooth grain: the same over the photo's smooth areas only, where grain
  shows most. Smooth: the gradient magnitude of the photo's luminance
  (Rec. 601 weights on the bytes, central differences) stays below
  SMOOTH_GRADIENT bytes per pixel over the 5 x 5 neighbourhood. The photos
  are upscaled, so the threshold is for 1024 px and scales with 1024 / the
  long side, and the same areas count at every size: about 30-45 % of
  astronaut, coffee and chelsea, two thirds of rocket, 5 % of
  immunohistochemistry and none of hubble_deep_field (its dark sky is
  noisy), where the figure is left out.

Lower is better for all five, and the ratios are ours / peer. The summary
gives, for each of our variants, the worst (largest) ratio over every photo,
N and size, and for the default variant the targets beside it.

For each photo and N the 96 x 96 tile where the default variant's tone
error is worst (mean |blur(output) - blur(photo)|) is saved side by side:
photo | ours (default) | Pillow | libimagequant, each 3x (nearest), to
out/quality/<photo>-<N>.png (with -<size> added for all but the largest
size); and at N = 64 the smooth tile where the default variant's grain is
largest, to <photo>-64-smooth.png.

The timing section (--only timing, also part of the default run) times, on
one photo at the largest size, the palette alone (make_palette's default
method beside Pillow's quantize(N, dither=NONE), median cut on every pixel)
and the whole job (ours: make_palette, bounded_error_diffusion and a PNG
written to memory; libimagequant: quantize and the PNG; a `pngquant` found
on PATH: the command on a PNG file, its decoding included), interleaved,
best of TIMING_REPEAT.

--only same-palette is the earlier measure: error diffusion, bounded and
unbounded, to palettes that Pillow made (median cut and octree), beside
Pillow's Floyd-Steinberg with exactly the same palette, on bench.py's
square photos, with the tone error and the share of pixels off by more
than 80 (its own docstring below, same_palette_measure).
"""

import argparse
import io
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

import dithering
import dithering_tools
from dithering_tools import bounded_error_diffusion, palette_making

import bench  # beside this file, which Python puts first on sys.path

try:
    import imagequant
except ImportError:  # the libimagequant columns are left out, with a note
    imagequant = None

PHOTOS = ("astronaut", "coffee", "chelsea", "rocket", "hubble_deep_field",
          "immunohistochemistry")
SIZES = (1024, 2048)
COUNTS = (16, 64, 256)

# (palette method, serpentine, strength) of the `dither` command's default
# with --colors.
DEFAULT_DITHER = (palette_making.DEFAULT_METHOD, True, palette_making.DEFAULT_STRENGTH)
# The palette of libimagequant's own output, dithered by us.
LIQ_PALETTE = "imagequant's"
VARIANTS = {  # label -> (palette method, serpentine, strength)
    "default": DEFAULT_DITHER,
    "variance raster 1.0": ("variance", False, 1.0),
    "variance serp 1.0": ("variance", True, 1.0),
    "variance serp 0.8": ("variance", True, 0.8),
    "median-cut": ("median-cut", False, 1.0),  # the command's earlier default
    "octree": ("octree", False, 1.0),
    "liq palette": (LIQ_PALETTE,) + DEFAULT_DITHER[1:],
}
# Above 1024 px every output costs four times as much to measure, so the
# larger sizes run these only (--all-variants for all of them).
LARGE_VARIANTS = ("default", "median-cut", "liq palette")
PEERS = ("Pillow", "libimagequant")

BLUR_SIGMA = 2.0
GRAIN_SIGMAS = (1.0, 3.0)
TRUNCATE = 4.0
# Luminance gradient, bytes per pixel at 1024 px on the long side, below
# which (over a 5 x 5 neighbourhood) a pixel counts as smooth.
SMOOTH_GRADIENT = 3.0
SMOOTH_WINDOW = 5
# Below this share of smooth pixels a photo has no smooth-grain figure.
MIN_SMOOTH_SHARE = 0.01
METRICS = ("tone", "dE mean", "dE p95", "grain", "smooth grain")
SHORT = {"tone": "tone", "dE mean": "dE", "dE p95": "dE95", "grain": "grain",
         "smooth grain": "smooth"}
TARGETS = {  # (peer, metric) -> the largest ratio ours / peer the default may have
    ("libimagequant", "tone"): 0.95,
    ("libimagequant", "dE mean"): 1.0,
    ("libimagequant", "smooth grain"): 1.1,
    ("Pillow", "tone"): 0.6,
    ("Pillow", "smooth grain"): 0.8,
}

TILE = 96
ZOOM = 3
GAP = 4
CROP_COUNT = 64  # N of the smooth-area crop
SMOOTH_TILE_SHARE = 0.75  # of its pixels smooth, for the smooth-area crop
# The checkout's out/ (which `make clean` removes), wherever the bench runs from.
CROP_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "out",
                        "quality")
TIMING_REPEAT = 3


def log(text):
    print("  " + text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- photos

def load_photos(long_side, names=PHOTOS):
    """{name: (H, W, 3) uint8} resized bicubic to `long_side` on the long
    side, or {} without scikit-image."""
    try:
        import skimage.data
    except ImportError:
        return {}
    photos = {}
    for name in names:
        picture = Image.fromarray(getattr(skimage.data, name)()).convert("RGB")
        scale = long_side / max(picture.size)
        size = (round(picture.width * scale), round(picture.height * scale))
        photos[name] = np.asarray(picture.resize(size, Image.Resampling.BICUBIC))
    return photos


# ---------------------------------------------------------------- palettes

def palette_maker():
    """(make(photo, count, method) -> (k, 3) uint8 array, None)."""
    return (lambda photo, count, method:
            dithering_tools.make_palette(photo, count, method=method)), None


def used_palette(image):
    """The colours a mode "P" image uses, as a (k, 3) uint8 array."""
    flat = image.getpalette()
    used = sorted(index for _, index in image.getcolors(256))
    return np.array([flat[3 * i:3 * i + 3] for i in used], dtype=np.uint8)


def pillow_quantize(photo, count):
    """Pillow's quantize(count): median cut, Floyd-Steinberg; (RGB, colours)."""
    quantized = Image.fromarray(photo).quantize(count)
    return np.asarray(quantized.convert("RGB")), len(quantized.getcolors(256))


def liq_quantize(photo, count):
    """libimagequant with its defaults; (RGB, palette it uses)."""
    quantized = imagequant.quantize_pil_image(Image.fromarray(photo), max_colors=count)
    return np.asarray(quantized.convert("RGB")), used_palette(quantized)


# ---------------------------------------------------------------- metrics

def blur(a, sigma):
    """Gaussian of `sigma` pixels over the first two axes of float32 `a`,
    each channel on its own, mirrored edges, cut at 4 sigma."""
    import scipy.ndimage
    return scipy.ndimage.gaussian_filter(a, sigma=(sigma, sigma, 0), mode="reflect",
                                         truncate=TRUNCATE)


def lab_of(blurred):
    from skimage.color import rgb2lab
    return rgb2lab(np.clip(blurred / 255, 0, 1))


def smooth_mask(photo):
    """Pixels whose 5 x 5 neighbourhood has a luminance gradient below
    SMOOTH_GRADIENT (scaled to the photo's size) everywhere."""
    import scipy.ndimage
    luma = photo.astype(np.float32) @ np.array([0.299, 0.587, 0.114], dtype=np.float32)
    dy, dx = np.gradient(luma)
    steepest = scipy.ndimage.maximum_filter(np.hypot(dx, dy), size=SMOOTH_WINDOW,
                                            mode="reflect")
    return steepest < SMOOTH_GRADIENT * 1024 / max(photo.shape[:2])


class Reference:
    """What every output of one photo is compared with, computed once."""

    def __init__(self, photo):
        f = photo.astype(np.float32)
        self.blur = blur(f, BLUR_SIGMA)
        self.lab = lab_of(self.blur)
        self.band = blur(f, GRAIN_SIGMAS[0]) - blur(f, GRAIN_SIGMAS[1])
        self.smooth = smooth_mask(photo)
        self.smooth_share = float(self.smooth.mean())


def rms(a):
    return float(np.sqrt(np.mean(np.square(a), dtype=np.float64)))


def measure_output(output, ref):
    """({metric: value}, maps) of one output against the photo; maps holds
    per pixel the mean over channels of |tone difference| and of the
    squared band-passed error, for the crops."""
    from skimage.color import deltaE_ciede2000
    f = output.astype(np.float32)
    blurred = blur(f, BLUR_SIGMA)
    tone_diff = blurred - ref.blur
    delta_e = deltaE_ciede2000(ref.lab, lab_of(blurred))
    band = blur(f, GRAIN_SIGMAS[0]) - blur(f, GRAIN_SIGMAS[1]) - ref.band
    figures = {
        "tone": rms(tone_diff),
        "dE mean": float(np.mean(delta_e, dtype=np.float64)),
        "dE p95": float(np.percentile(delta_e, 95)),
        "grain": rms(band),
        "smooth grain": (rms(band[ref.smooth]) if ref.smooth_share >= MIN_SMOOTH_SHARE
                         else float("nan")),
    }
    maps = {"tone": np.abs(tone_diff).mean(axis=2), "grain": np.square(band).mean(axis=2)}
    return figures, maps


# ---------------------------------------------------------------- crops

def tile_sums(a):
    """Sums of `a` over every TILE x TILE window, indexed by its top-left."""
    s = np.zeros((a.shape[0] + 1, a.shape[1] + 1), dtype=np.float64)
    np.cumsum(np.cumsum(a, axis=0, dtype=np.float64), axis=1, out=s[1:, 1:])
    return s[TILE:, TILE:] - s[:-TILE, TILE:] - s[TILE:, :-TILE] + s[:-TILE, :-TILE]


def worst_tone_tile(tone_map):
    """Top-left of the tile with the largest mean |blur(out) - blur(photo)|."""
    sums = tile_sums(tone_map)
    return np.unravel_index(np.argmax(sums), sums.shape)


def grainiest_smooth_tile(grain_map, smooth):
    """Top-left of the tile, at least SMOOTH_TILE_SHARE smooth, whose smooth
    pixels have the largest mean squared grain; None if there is none."""
    counts = tile_sums(smooth.astype(np.float32))
    sums = tile_sums(np.where(smooth, grain_map, 0))
    score = np.where(counts >= SMOOTH_TILE_SHARE * TILE * TILE, sums / np.maximum(counts, 1), -1)
    if score.max() < 0:
        return None
    return np.unravel_index(np.argmax(score), score.shape)


def save_crops(path, images, corner):
    """The TILE x TILE crop at `corner` of each image, ZOOM x nearest, side
    by side with GAP white pixels between them."""
    y, x = corner
    panels = [np.repeat(np.repeat(im[y:y + TILE, x:x + TILE], ZOOM, 0), ZOOM, 1)
              for im in images]
    side = TILE * ZOOM
    canvas = np.full((side, len(panels) * side + (len(panels) - 1) * GAP, 3), 255, np.uint8)
    for i, panel in enumerate(panels):
        canvas[:, i * (side + GAP):i * (side + GAP) + side] = panel
    os.makedirs(os.path.dirname(path), exist_ok=True)
    Image.fromarray(canvas).save(path)


# ---------------------------------------------------------------- the main section

def variants_for(size, all_variants):
    names = VARIANTS if all_variants or size <= 1024 else LARGE_VARIANTS
    return {label: VARIANTS[label] for label in names
            if imagequant or VARIANTS[label][0] != LIQ_PALETTE}


def measure_photo(name, photo, size, counts, variants, make, missing, crops):
    """rows (one per count) of every pipeline's figures on `photo`; saves
    its crops when `crops` is (folder, suffix of the file names)."""
    ref = Reference(photo)
    rows = []
    for count in counts:
        start = time.perf_counter()
        outputs, colours = {}, {}
        outputs["Pillow"], colours["Pillow"] = pillow_quantize(photo, count)
        palettes = {}
        if imagequant:
            outputs["libimagequant"], palettes[LIQ_PALETTE] = liq_quantize(photo, count)
            colours["libimagequant"] = len(palettes[LIQ_PALETTE])
        for label, (method, serpentine, strength) in variants.items():
            if method in missing:
                continue
            if method not in palettes:
                try:
                    palettes[method] = make(photo, count, method)
                except (ValueError, TypeError) as error:
                    missing[method] = str(error)
                    log(f"palette method {method!r} left out: {error}")
                    continue
            outputs[label] = bounded_error_diffusion(photo, "floyd_steinberg",
                                                     palette=palettes[method],
                                                     serpentine=serpentine, strength=strength)
            colours[label] = len(palettes[method])
        row = {"size": size, "photo": name, "count": count, "smooth": ref.smooth_share,
               "colours": colours, "figures": {}}
        crop_variant = next((label for label in variants if label in outputs), None)
        for who, output in outputs.items():
            row["figures"][who], maps = measure_output(output, ref)
            if who == crop_variant and crops is not None:
                peers = [outputs[p] for p in PEERS if p in outputs]
                corner = worst_tone_tile(maps["tone"])
                folder, suffix = crops
                save_crops(os.path.join(folder, f"{name}-{count}{suffix}.png"),
                           [photo, output] + peers, corner)
                if count == CROP_COUNT:
                    corner = grainiest_smooth_tile(maps["grain"], ref.smooth)
                    if corner is None:
                        log(f"{name}: no tile {SMOOTH_TILE_SHARE:.0%} smooth, no smooth crop")
                    else:
                        save_crops(os.path.join(folder, f"{name}-{count}-smooth{suffix}.png"),
                                   [photo, output] + peers, corner)
            del maps
        rows.append(row)
        log(f"{name} {size} N={count}: {len(outputs)} outputs measured in"
            f" {time.perf_counter() - start:.1f} s")
    return rows


def fmt(value, digits=2):
    return "–" if value is None or value != value else f"{value:.{digits}f}"


def ratio(rows_figures, who, peer, metric):
    ours, theirs = rows_figures.get(who), rows_figures.get(peer)
    if ours is None or theirs is None:
        return float("nan")
    return ours[metric] / theirs[metric] if theirs[metric] else float("nan")


def figures_table(rows, pipelines, markdown):
    """Every pipeline's five figures, one line per photo, N and pipeline."""
    head = ["photo", "N", "pipeline", "colours", "tone", "dE mean", "dE p95", "grain",
            "smooth grain"]
    lines = []
    for r in rows:
        for who in pipelines:
            if who in r["figures"]:
                f = r["figures"][who]
                lines.append([r["photo"], str(r["count"]), who, str(r["colours"][who])]
                             + [fmt(f[m], 3 if "grain" in m else 2) for m in METRICS])
    return render(head, lines, markdown, left=3)


def ratios_table(rows, variants, peers, markdown):
    """Ours / each peer, per metric, one line per photo, N and variant."""
    head = ["photo", "N", "variant"] + [f"{SHORT[m]} / {p[:3]}" for m in METRICS for p in peers]
    lines = []
    for r in rows:
        for label in variants:
            if label in r["figures"]:
                lines.append([r["photo"], str(r["count"]), label]
                             + [fmt(ratio(r["figures"], label, p, m), 3)
                                for m in METRICS for p in peers])
    return render(head, lines, markdown, left=3)


def worst(rows, label, peer, metric):
    """(largest ratio ours / peer, where) over `rows`, NaNs left out."""
    found = [(ratio(r["figures"], label, peer, metric),
              f"{r['photo']} {r['count']} @{r['size']}") for r in rows]
    found = [(v, w) for v, w in found if v == v]
    return max(found) if found else (float("nan"), "")


def geometric_mean(rows, label, peer, metric):
    values = [ratio(r["figures"], label, peer, metric) for r in rows]
    values = [v for v in values if v == v and v > 0]
    return float(np.exp(np.mean(np.log(values)))) if values else float("nan")


def summary_table(rows, variants, peers, markdown, statistic):
    """Per variant, `statistic` of the ratios over every photo, N and size."""
    head = ["variant", "rows"] + [f"{SHORT[m]} / {p[:3]}" for m in METRICS for p in peers]
    lines = []
    for label in variants:
        present = [r for r in rows if label in r["figures"]]
        if present:
            lines.append([label, str(len(present))]
                         + [fmt(statistic(present, label, p, m), 3)
                            for m in METRICS for p in peers])
    return render(head, lines, markdown, left=1)


def targets_table(rows, label, peers, markdown):
    """The default variant's worst ratios beside the targets."""
    head = ["peer", "metric", "where", "worst ratio", "target", "met"]
    lines = []
    for peer in peers:
        for metric in METRICS:
            if peer == "libimagequant" and (peer, metric) not in TARGETS:
                continue
            value, where = worst(rows, label, peer, metric)
            target = TARGETS.get((peer, metric))
            met = "" if target is None or value != value else ("yes" if value <= target else "NO")
            lines.append([peer, metric, where, fmt(value, 3),
                          "" if target is None else f"<= {target:g}", met])
    return render(head, lines, markdown, left=3)


def main_section(args, markdown):
    make, note = palette_maker()
    missing = {}
    if note:
        print(f"note: {note}")
        missing["variance"] = "no make_palette"
    if not imagequant:
        print("note: the imagequant package is missing: no libimagequant columns"
              " (pip install -r bench/requirements-quality.txt)")
    rows, used_variants = [], {}
    for size in args.sizes:
        photos = load_photos(size, args.photos)
        if not photos:
            sys.exit("needs scikit-image for the photos: pip install -r bench/requirements.txt")
        variants = variants_for(size, args.all_variants)
        crops = None if args.no_crops else (
            args.crops, "" if size == max(args.sizes) else f"-{size}")
        size_rows = []
        for name, photo in photos.items():
            size_rows += measure_photo(name, photo, size, args.counts, variants, make,
                                       missing, crops)
        rows += size_rows
        present = [v for v in variants if any(v in r["figures"] for r in size_rows)]
        used_variants.update(dict.fromkeys(present))
        peers = [p for p in PEERS if any(p in r["figures"] for r in size_rows)]
        smooth = {r["photo"]: r["smooth"] for r in size_rows}
        shares = ", ".join(f"{name} {photo.shape[1]}x{photo.shape[0]} {100 * smooth[name]:.0f} %"
                           for name, photo in photos.items())
        print(f"\n## {size} px on the long side\n\nSmooth share: {shares}\n")
        print(figures_table(size_rows, list(PEERS) + present, markdown))
        print(f"\nOurs / peer ({', '.join(peers)}):\n")
        print(ratios_table(size_rows, present, peers, markdown))
    for method, why in missing.items():
        print(f"note: palette method {method!r} left out: {why}")
    peers = [p for p in PEERS if any(p in r["figures"] for r in rows)]
    sizes = " and ".join(str(s) for s in args.sizes)
    print(f"\n## Summary over every photo, N and size ({sizes})\n\nWorst ratio ours / peer:\n")
    print(summary_table(rows, used_variants, peers, markdown,
                        lambda rs, *k: worst(rs, *k)[0]))
    print("\nGeometric mean of the ratios:\n")
    print(summary_table(rows, used_variants, peers, markdown, geometric_mean))
    label = "default" if "default" in used_variants else next(iter(used_variants), None)
    if label:
        if label != "default":
            print(f"\nnote: no default variant (palette method {DEFAULT_DITHER[0]!r}"
                  f" missing); the targets are shown for {label!r} instead")
        print(f"\nTargets, variant {label!r} (palette, serpentine, strength:"
              f" {', '.join(map(str, VARIANTS[label]))}):\n")
        print(targets_table(rows, label, peers, markdown))
    if not args.no_crops:
        print(f"\nCrops (photo | ours {label} | {' | '.join(peers)}, {TILE} px at {ZOOM}x):"
              f" {args.crops}/")


# ---------------------------------------------------------------- timing

def best_interleaved(runs, repeat):
    """{label: (wall seconds, CPU seconds)} of each callable's fastest run,
    run in turns (one round to warm up first) so that a change of machine
    load hits them alike. CPU time counts this process's threads and its
    finished child processes, so CPU / wall is the cores a run kept busy."""
    for run in runs.values():
        run()
    best = {label: (float("inf"), 0.0) for label in runs}
    for _ in range(repeat):
        for label, run in runs.items():
            cpu, wall = cpu_seconds(), time.perf_counter()
            run()
            wall, cpu = time.perf_counter() - wall, cpu_seconds() - cpu
            best[label] = min(best[label], (wall, cpu))
    return best


def cpu_seconds():
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def cores(timed):
    wall, cpu = timed
    return f"{cpu / wall:.1f}"


def png_bytes(image, **save):
    buffer = io.BytesIO()
    image.save(buffer, "PNG", **save)
    return buffer.getvalue()


def timing_section(args):
    """Palette and whole-job times on one photo at the largest size."""
    from dithering_tools.encode import output_image
    make, note = palette_maker()
    method = DEFAULT_DITHER[0] if not note else "median-cut"
    _, serpentine, strength = DEFAULT_DITHER
    size = max(args.sizes)
    name = args.photos[0]
    photo = load_photos(size, [name])[name]
    picture = Image.fromarray(photo)
    pngquant = shutil.which("pngquant")
    print(f"\n## Timing: {name} {photo.shape[1]}x{photo.shape[0]}, best of {TIMING_REPEAT},"
          f" interleaved\n")
    if note:
        print(f"note: {note}; ours is {method!r}")
    if not pngquant:
        print("note: no pngquant on PATH: no pngquant column")
    else:
        version = subprocess.run([pngquant, "--version"], capture_output=True, text=True)
        print(f"pngquant {version.stdout.split()[0] if version.stdout else '?'} ({pngquant})")

    def our_job(count):
        palette = make(photo, count, method)
        out = bounded_error_diffusion(photo, "floyd_steinberg", palette=palette,
                                      serpentine=serpentine, strength=strength)
        image, save = output_image(out, "PNG", palette=[tuple(int(v) for v in c)
                                                        for c in palette])
        return png_bytes(image, **save)

    lines = []
    with tempfile.TemporaryDirectory() as tmp:
        source, target = os.path.join(tmp, "in.png"), os.path.join(tmp, "out.png")
        picture.save(source)
        for count in args.counts:
            palette = best_interleaved({
                "ours": lambda: make(photo, count, method),
                "Pillow": lambda: picture.quantize(count, dither=Image.Dither.NONE),
            }, TIMING_REPEAT)
            jobs = {"ours": lambda: our_job(count)}
            if imagequant:
                jobs["libimagequant"] = lambda: png_bytes(
                    imagequant.quantize_pil_image(picture, max_colors=count))
            if pngquant:
                jobs["pngquant"] = lambda: subprocess.run(
                    [pngquant, "--force", "--output", target, str(count), "--", source],
                    check=True)
            job = best_interleaved(jobs, TIMING_REPEAT)
            line = [str(count), f"{palette['ours'][0]:.3f}", f"{palette['Pillow'][0]:.3f}",
                    f"{palette['ours'][0] / palette['Pillow'][0]:.2f}",
                    f"{job['ours'][0]:.3f}", cores(job["ours"])]
            for peer in ("libimagequant", "pngquant"):
                line += ([f"{job[peer][0]:.3f}", cores(job[peer]),
                          f"{job['ours'][0] / job[peer][0]:.2f}"]
                         if peer in job else ["–", "–", "–"])
            lines.append(line)
            log(f"timing N={count} done")
    head = ["N", "palette ours s", "Pillow median cut s", "ours / Pillow", "job ours s",
            "cores", "libimagequant s", "cores", "ours / liq", "pngquant s", "cores",
            "ours / pngquant"]
    print(render(head, lines, args.markdown, left=1))
    print("\n(palette: make_palette beside Pillow's quantize(N, dither=NONE) on every pixel;"
          " job: ours = palette + bounded diffusion + PNG in memory, libimagequant ="
          " quantize + PNG in memory, pngquant = the command on a PNG file, decoding,"
          " process start and writing included; cores: CPU seconds / wall seconds)")


# ---------------------------------------------------------------- same palette

def gaussian_kernel(sigma):
    radius = int(4 * sigma + 0.5)
    x = np.arange(-radius, radius + 1, dtype=np.float64)
    weights = np.exp(-0.5 * (x / sigma) ** 2)
    return (weights / weights.sum()).astype(np.float32)


def blur_axis(a, weights, axis):
    """Convolves float32 `a` with `weights` along `axis`, mirrored edges."""
    radius = len(weights) // 2
    pad = [(0, 0)] * a.ndim
    pad[axis] = (radius, radius)
    padded = np.pad(a, pad, mode="symmetric")
    n = a.shape[axis]
    out = np.zeros_like(a)
    term = np.empty_like(a)
    for k, w in enumerate(weights):
        window = padded[(slice(None),) * axis + (slice(k, k + n),)]
        np.multiply(window, w, out=term)
        out += term
    return out


def gaussian_blur(a, sigma=BLUR_SIGMA):
    """Separable float32 Gaussian over the first two axes, each channel on
    its own."""
    weights = gaussian_kernel(sigma)
    return blur_axis(blur_axis(a, weights, 0), weights, 1)


FAR = 80
SAME_PALETTE_COUNTS = (16, 64, 256)
KINDS = ("median cut", "octree")
SAME_PALETTE_VARIANTS = {  # label -> bounded_error_diffusion keyword arguments
    "FS": {},
    "FS serpentine": {"serpentine": True},
    "FS linear": {"linear": True},
    "Sierra": {"method": "sierra"},
    "JJN": {"method": "jarvis_judice_ninke"},
    "Stucki": {"method": "stucki"},
}


def tone_error(output, photo):
    """(tone error, share of pixels off by more than FAR) of `output`."""
    diff = gaussian_blur(output.astype(np.float32) - photo.astype(np.float32))
    rmse = float(np.sqrt(np.mean(np.square(diff, dtype=np.float64))))
    far = float(np.mean(np.abs(diff).max(axis=2) > FAR))
    return rmse, far


def check_colours(output, palette, who):
    """Stops the run unless every colour of `output` is in `palette`."""
    allowed = np.zeros(1 << 24, dtype=bool)
    p = np.asarray(palette, dtype=np.uint32)
    allowed[(p[:, 0] << 16) | (p[:, 1] << 8) | p[:, 2]] = True
    o = output.reshape(-1, 3).astype(np.uint32)
    if not allowed[(o[:, 0] << 16) | (o[:, 1] << 8) | o[:, 2]].all():
        sys.exit(f"{who}: the output has colours that are not in the palette")


def pillow_fs(photo, palette):
    dithered = Image.fromarray(photo).quantize(palette=bench.pillow_palette_image(palette),
                                               dither=Image.Dither.FLOYDSTEINBERG)
    return np.asarray(dithered.convert("RGB"))


def palettes_of(photo):
    """{(kind, count): palette} as bench.py makes them."""
    made = bench.photo_palettes(photo)
    return {(kind, count): made[f"{kind} {count}"]
            for count in SAME_PALETTE_COUNTS for kind in KINDS}


def same_palette_measure(size):
    """rows: one dict per photo and palette, of bench.py's photos upscaled
    to size x size and dithered three ways to the same palette made by
    Pillow (median cut and octree): bounded (bounded_error_diffusion, and
    its variants of SAME_PALETTE_VARIANTS), unbounded
    (dithering.error_diffusion) and Pillow's quantize FS. Each output's
    colours are checked to be the palette's. Figures: the RMS of
    blur(output) - blur(photo) (sigma 2, sRGB bytes) and the share of
    pixels off by more than FAR in a channel after that blur."""
    rows = []
    for name, photo in bench.load_photos(size).items():
        start = time.perf_counter()
        palettes = palettes_of(photo)
        log(f"{name}: palettes made in {time.perf_counter() - start:.1f} s")
        for (kind, count), palette in palettes.items():
            start = time.perf_counter()
            outputs = {
                "bounded": bounded_error_diffusion(photo, palette=palette),
                "unbounded": dithering.error_diffusion(photo, palette=palette),
                "Pillow": pillow_fs(photo, palette),
            }
            for label, kwargs in SAME_PALETTE_VARIANTS.items():
                if label != "FS":
                    outputs[label] = bounded_error_diffusion(photo, palette=palette, **kwargs)
            row = {"photo": name, "kind": kind, "count": count}
            for who, output in outputs.items():
                check_colours(output, palette, f"{name} {kind} {count} {who}")
                row[who] = tone_error(output, photo)
            row["FS"] = row["bounded"]
            rows.append(row)
            log(f"{name} {kind} {count}: {len(outputs)} dithers measured in"
                f" {time.perf_counter() - start:.1f} s")
    return rows


def pct(share):
    return f"{100 * share:.2f}"


def points(a, b):
    """a - b in percentage points, signed, with no -0.00."""
    return f"{round(100 * (a - b), 2) + 0.0:+.2f}"


def same_palette_table(rows, markdown):
    head = ["photo", "palette", "bounded", "unbounded", "Pillow", "bounded / Pillow",
            "> 80 bounded %", "> 80 unbounded %", "> 80 Pillow %", "bounded - Pillow (points)"]
    lines = []
    for r in rows:
        b, u, p = r["bounded"], r["unbounded"], r["Pillow"]
        lines.append([r["photo"], f"{r['kind']} {r['count']}", f"{b[0]:.2f}", f"{u[0]:.2f}",
                      f"{p[0]:.2f}", f"{b[0] / p[0]:.3f}", pct(b[1]), pct(u[1]), pct(p[1]),
                      points(b[1], p[1])])
    return render(head, lines, markdown)


def same_palette_variant_table(rows, markdown):
    head = ["photo", "palette", "Pillow"] + [f"{v} / Pillow" for v in SAME_PALETTE_VARIANTS]
    lines = []
    for r in rows:
        p = r["Pillow"][0]
        lines.append([r["photo"], f"{r['kind']} {r['count']}", f"{p:.2f}"]
                     + [f"{r[v][0] / p:.3f}" for v in SAME_PALETTE_VARIANTS])
    # Summary lines: geometric mean of the ratios, worst ratio, worst >80 share.
    ratios = {v: np.array([r[v][0] / r["Pillow"][0] for r in rows])
              for v in SAME_PALETTE_VARIANTS}
    lines.append(["geometric mean", "", ""]
                 + [f"{np.exp(np.mean(np.log(ratios[v]))):.3f}" for v in SAME_PALETTE_VARIANTS])
    lines.append(["worst", "", ""] + [f"{ratios[v].max():.3f}" for v in SAME_PALETTE_VARIANTS])
    lines.append(["beats Pillow", "", ""]
                 + [f"{int((ratios[v] < 1).sum())} of {len(rows)}"
                    for v in SAME_PALETTE_VARIANTS])
    lines.append(["worst > 80 share - Pillow's (points)", "", ""]
                 + [max((points(r[v][1], r["Pillow"][1]) for r in rows), key=float)
                    for v in SAME_PALETTE_VARIANTS])
    return render(head, lines, markdown)


def same_palette_verdict(rows, size, who):
    """Whether `who`'s tone error is within 3 % of Pillow's on every photo
    and palette, and its > FAR share within Pillow's + 0.1 point."""
    ratio_ = max(r[who][0] / r["Pillow"][0] for r in rows)
    worst_ = max((points(r[who][1], r["Pillow"][1]) for r in rows), key=float)
    over = [f"{r['photo']} {r['kind']} {r['count']}" for r in rows
            if r[who][0] > 1.03 * r["Pillow"][0]]
    far = [f"{r['photo']} {r['kind']} {r['count']}" for r in rows
           if 100 * (r[who][1] - r["Pillow"][1]) > 0.1]

    def which(names):
        return "; over: " + (", ".join(names) if len(names) <= 3
                             else f"{len(names)} of {len(rows)}") if names else ""

    return (f"{size}x{size}: bounded {who} tone error at most {ratio_:.3f}x Pillow's"
            f" ({'within' if not over else 'NOT within'} 3 %{which(over)});"
            f" its > {FAR} share at most {worst_} points from Pillow's"
            f" ({'within' if not far else 'NOT within'} +0.1{which(far)})")


def same_palette_section(args):
    for size in args.sizes:
        rows = same_palette_measure(size)
        if not rows:
            sys.exit("needs scikit-image for the photos: pip install -r bench/requirements.txt")
        print(f"\n## Same palette as Pillow, {size}x{size}: Floyd-Steinberg, tone error"
              f" (RMSE of the blurred difference) and share of pixels off by > {FAR}\n")
        print(same_palette_table(rows, args.markdown))
        print("\nBounded variants, tone error / Pillow's:\n")
        print(same_palette_variant_table(rows, args.markdown))
        print()
        for who in SAME_PALETTE_VARIANTS:
            print(same_palette_verdict(rows, size, who))


# ---------------------------------------------------------------- output

def render(head, lines, markdown, left=2):
    """A table, the first `left` columns flush left and the rest right."""
    if markdown:
        out = ["| " + " | ".join(head) + " |",
               "|" + "|".join(["---"] * left + ["---:"] * (len(head) - left)) + "|"]
        out += ["| " + " | ".join(cell.replace("_", "\\_") for cell in line) + " |"
                for line in lines]
        return "\n".join(out)
    widths = [max(len(str(x)) for x in col) for col in zip(head, *lines)]

    def row(cells):
        return "  ".join(c.ljust(w) if i < left else c.rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths)))

    return "\n".join([row(head)] + [row(line) for line in lines])


def package_version(name):
    from importlib import metadata
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "?"


def number_list(text):
    return [int(v) for v in text.split(",") if v]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=number_list, default=None,
                        help="long side(s) in pixels, comma separated (default 1024,2048)")
    parser.add_argument("--quick", action="store_true", help="1024 px only")
    parser.add_argument("--counts", type=number_list, default=list(COUNTS),
                        help="palette sizes N (default 16,64,256)")
    parser.add_argument("--photos", type=lambda t: [v for v in t.split(",") if v],
                        default=list(PHOTOS), help="scikit-image photos, comma separated")
    parser.add_argument("--all-variants", action="store_true",
                        help=f"every variant above 1024 px too (else {', '.join(LARGE_VARIANTS)})")
    parser.add_argument("--only", action="append", choices=["main", "timing", "same-palette"],
                        help="run only this section (repeatable; default main and timing)")
    parser.add_argument("--no-crops", action="store_true", help="save no crops")
    parser.add_argument("--crops", default=CROP_DIR, help="folder of the crops (out/quality)")
    parser.add_argument("--markdown", action="store_true", help="print Markdown tables")
    args = parser.parse_args(argv)
    args.sizes = args.size or ([1024] if args.quick else list(SIZES))
    sys.stdout.reconfigure(line_buffering=True)  # in step with the progress on stderr
    sections = args.only or ["main", "timing"]

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    try:
        import scipy
        import skimage
    except ImportError:
        sys.exit("needs scikit-image and scipy: pip install -r bench/requirements-quality.txt")
    liq = f"imagequant {package_version('imagequant')}" if imagequant else "no imagequant"
    print(f"dithering {dithering.__version__}, Python {sys.version.split()[0]}"
          f" ({'GIL' if gil else 'free-threaded'}), numpy {np.__version__},"
          f" Pillow {Image.__version__}, scikit-image {skimage.__version__},"
          f" scipy {scipy.__version__}, {liq}; sizes {', '.join(map(str, args.sizes))};"
          f" N {', '.join(map(str, args.counts))}", flush=True)
    start = time.perf_counter()
    if "same-palette" in sections:
        same_palette_section(args)
    if "main" in sections:
        main_section(args, args.markdown)
    if "timing" in sections:
        timing_section(args)
    print(f"\n({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
