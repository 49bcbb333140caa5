"""Tone error of error diffusion to a palette made from a photo, bounded and
unbounded, beside Pillow's Floyd-Steinberg with exactly the same palette.

    python bench/quality.py [--size N] [--markdown]
    (or python bench/bench.py --only quality [--quick])

Photos: scikit-image's astronaut, hubble_deep_field and immunohistochemistry,
upscaled to N x N (default 2048, bicubic, as bench.py does; --quick in
bench.py is 1024). Palettes: made from each photo as bench.py makes them,
Pillow's median cut and fast octree at 16, 64 and 256 colours.

For each photo and palette three dithers of the photo are measured:

- bounded: dithering_tools.bounded_error_diffusion(photo, "floyd_steinberg",
  palette=...), each value clamped to 0..255 before its colour is chosen;
- unbounded: dithering.error_diffusion(photo, "floyd_steinberg", palette=...);
- Pillow: Image.quantize(palette=<the same palette>,
  dither=Image.Dither.FLOYDSTEINBERG). Its output's colours are checked to
  be a subset of the palette (so are ours), or the run stops.

and bounded variants: serpentine, linear light, and the Sierra,
Jarvis-Judice-Ninke and Stucki kernels.

What a dither should keep is the tone of each neighbourhood, not each
pixel, so both figures compare the output and the photo after a Gaussian
blur: sigma 2 pixels, each channel on its own, on the sRGB bytes as
float32, the kernel cut at 4 sigma (radius 8) and the edges mirrored
(numpy's "symmetric" padding, scipy.ndimage's "reflect"). The blur is
linear, so blur(output) - blur(photo) is computed as blur(output - photo).

- tone error: the root mean square of blur(output) - blur(photo) over every
  pixel and channel (in sRGB byte units, 0..255);
- share off by > 80: the share of pixels whose blurred value differs from
  the blurred photo's by more than 80 in at least one channel.

Linear light dithers the tone in linear light, so a measure on sRGB bytes
counts its (intended) difference as error.
"""

import argparse
import sys
import time

import numpy as np
from PIL import Image

import dithering
from dithering_tools import bounded_error_diffusion

import bench  # beside this file, which Python puts first on sys.path

SIGMA = 2.0
FAR = 80
COUNTS = (16, 64, 256)
KINDS = ("median cut", "octree")
VARIANT_COUNTS = COUNTS
VARIANTS = {  # label -> bounded_error_diffusion keyword arguments
    "FS": {},
    "FS serpentine": {"serpentine": True},
    "FS linear": {"linear": True},
    "Sierra": {"method": "sierra"},
    "JJN": {"method": "jarvis_judice_ninke"},
    "Stucki": {"method": "stucki"},
}


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


def gaussian_blur(a, sigma=SIGMA):
    """Separable float32 Gaussian over the first two axes, each channel on
    its own."""
    weights = gaussian_kernel(sigma)
    return blur_axis(blur_axis(a, weights, 0), weights, 1)


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
    return {(kind, count): made[f"{kind} {count}"] for count in COUNTS for kind in KINDS}


def measure(size, log):
    """rows: one dict per photo and palette."""
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
            if count in VARIANT_COUNTS:
                for label, kwargs in VARIANTS.items():
                    if label != "FS":
                        outputs[label] = bounded_error_diffusion(photo, palette=palette,
                                                                 **kwargs)
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


def main_table(rows, markdown):
    head = ["photo", "palette", "bounded", "unbounded", "Pillow", "bounded / Pillow",
            "> 80 bounded %", "> 80 unbounded %", "> 80 Pillow %", "bounded - Pillow (points)"]
    lines = []
    for r in rows:
        b, u, p = r["bounded"], r["unbounded"], r["Pillow"]
        lines.append([r["photo"], f"{r['kind']} {r['count']}", f"{b[0]:.2f}", f"{u[0]:.2f}",
                      f"{p[0]:.2f}", f"{b[0] / p[0]:.3f}", pct(b[1]), pct(u[1]), pct(p[1]),
                      points(b[1], p[1])])
    return render(head, lines, markdown)


def variant_table(rows, markdown):
    rows = [r for r in rows if r["count"] in VARIANT_COUNTS]
    head = ["photo", "palette", "Pillow"] + [f"{v} / Pillow" for v in VARIANTS]
    lines = []
    for r in rows:
        p = r["Pillow"][0]
        lines.append([r["photo"], f"{r['kind']} {r['count']}", f"{p:.2f}"]
                     + [f"{r[v][0] / p:.3f}" for v in VARIANTS])
    # Summary lines: geometric mean of the ratios, worst ratio, worst >80 share.
    ratios = {v: np.array([r[v][0] / r["Pillow"][0] for r in rows]) for v in VARIANTS}
    lines.append(["geometric mean", "", ""]
                 + [f"{np.exp(np.mean(np.log(ratios[v]))):.3f}" for v in VARIANTS])
    lines.append(["worst", "", ""] + [f"{ratios[v].max():.3f}" for v in VARIANTS])
    lines.append(["beats Pillow", "", ""]
                 + [f"{int((ratios[v] < 1).sum())} of {len(rows)}" for v in VARIANTS])
    lines.append(["worst > 80 share - Pillow's (points)", "", ""]
                 + [max((points(r[v][1], r["Pillow"][1]) for r in rows), key=float)
                    for v in VARIANTS])
    return render(head, lines, markdown)


def render(head, lines, markdown):
    if markdown:
        out = ["| " + " | ".join(head) + " |",
               "|" + "|".join(["---"] * 2 + ["---:"] * (len(head) - 2)) + "|"]
        out += ["| " + " | ".join(line) + " |" for line in lines]
        return "\n".join(out)
    widths = [max(len(str(x)) for x in col) for col in zip(head, *lines)]
    fmt = lambda cells: "  ".join(  # noqa: E731
        c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))
    return "\n".join([fmt(head)] + [fmt(line) for line in lines])


def verdict(rows, size, who):
    """Whether `who`'s tone error is within 3 % of Pillow's on every photo
    and palette, and its > FAR share within Pillow's + 0.1 point."""
    ratio = max(r[who][0] / r["Pillow"][0] for r in rows)
    worst = max((points(r[who][1], r["Pillow"][1]) for r in rows), key=float)
    over = [f"{r['photo']} {r['kind']} {r['count']}" for r in rows
            if r[who][0] > 1.03 * r["Pillow"][0]]
    far = [f"{r['photo']} {r['kind']} {r['count']}" for r in rows
           if 100 * (r[who][1] - r["Pillow"][1]) > 0.1]
    def which(names):
        return "; over: " + (", ".join(names) if len(names) <= 3
                             else f"{len(names)} of {len(rows)}") if names else ""

    return (f"{size}x{size}: bounded {who} tone error at most {ratio:.3f}x Pillow's"
            f" ({'within' if not over else 'NOT within'} 3 %{which(over)});"
            f" its > {FAR} share at most {worst} points from Pillow's"
            f" ({'within' if not far else 'NOT within'} +0.1{which(far)})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=2048,
                        help="photo size in pixels (default 2048; 1024 for a quick run)")
    parser.add_argument("--markdown", action="store_true", help="print Markdown tables")
    args = parser.parse_args(argv)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"dithering {dithering.__version__}, Python {sys.version.split()[0]}"
          f" ({'GIL' if gil else 'free-threaded'}), numpy {np.__version__},"
          f" Pillow {Image.__version__}; photos {args.size}x{args.size};"
          f" Gaussian sigma {SIGMA:g} on sRGB bytes, > {FAR} in any channel", flush=True)
    start = time.perf_counter()
    rows = measure(args.size, lambda text: print("  " + text, file=sys.stderr, flush=True))
    if not rows:
        sys.exit("needs scikit-image for the photos: pip install -r bench/requirements.txt")
    print(f"\nFloyd-Steinberg, tone error (RMSE of the blurred difference) and share of"
          f" pixels off by > {FAR}:\n")
    print(main_table(rows, args.markdown))
    print("\nBounded variants, tone error / Pillow's:\n")
    print(variant_table(rows, args.markdown))
    print()
    for who in VARIANTS:
        print(verdict(rows, args.size, who))
    print(f"({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
