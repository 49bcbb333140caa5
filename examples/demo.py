"""Dithers a photo with every method, and shows the `dither` command beside
the Python call that does the same.

    python examples/demo.py [--out DIR] [--size N]

The photo is scikit-image's `astronaut` (a public-domain NASA portrait),
resized to N x N. It is dithered with the nine error-diffusion kernels, the
four Bayer matrices and random dither, each to 2 grey levels per channel, to
4 levels per channel and to the PICO-8 palette, in sRGB and in linear
light. Every result is saved as its own PNG, and all of them side by side,
labelled, in contact_sheet.png. Then a few of them are made again by the
`dither` command, which must write exactly the same pixels.

Last, the photo at its own 512 x 512 goes to 16 colours made from it by
dithering_tools.make_palette (what `dither --colors 16` makes), with
Floyd-Steinberg on a serpentine scan passing on 0.9 of the error (the
command's defaults with --colors) three ways: bounded
(dithering_tools.bounded_error_diffusion, what the command does), unbounded
(dithering.error_diffusion, `--unbounded`) and Pillow's quantize with the
same palette (its whole error, left to right). The same 160 x 160 crop of
each (the mission patch), scaled 2x with nearest neighbour, is saved as
palette16_*.png.
"""

import argparse
import shlex
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

import dithering
from dithering_tools import DitherOptions, bounded_error_diffusion, load_palette, make_palette

TARGETS = {  # label -> (file name part, keyword arguments, command-line options)
    "2 levels": ("2", {"levels": 2}, ["--levels", "2"]),
    "4 levels": ("4", {"levels": 4}, ["--levels", "4"]),
    "PICO-8": ("pico8", {"palette": load_palette("pico8")}, ["--palette", "pico8"]),
}


# The crop of the palette comparison (left, top, right, bottom) in the
# 512 x 512 photo, and the scale it is shown at.
PALETTE_CROP = (80, 336, 240, 496)
PALETTE_CROP_SCALE = 2


def astronaut(size=None):
    """The photo, resized to size x size (None: its own 512 x 512)."""
    try:
        import skimage.data
    except ImportError:
        sys.exit("the demo needs scikit-image: pip install -r bench/requirements.txt"
                 " (make demo does it)")
    photo = Image.fromarray(skimage.data.astronaut()).convert("RGB")
    if size is not None:
        photo = photo.resize((size, size), Image.Resampling.LANCZOS)
    return np.asarray(photo)


def methods():
    """Every method name `dither` takes, with the seed random dither needs
    to give the same picture every run."""
    names = dithering.available_methods() + dithering.available_matrices()
    return [(name, {}) for name in names] + [("random", {"seed": 1})]


def contact_sheet(rows, tile_size):
    """Lays out rows of (label, PIL image) tiles with a caption under each."""
    caption = 14
    columns = max(len(row) for row in rows)
    sheet = Image.new("RGB", (columns * tile_size, len(rows) * (tile_size + caption)), "white")
    draw = ImageDraw.Draw(sheet)
    for r, row in enumerate(rows):
        for c, (label, image) in enumerate(row):
            left, top = c * tile_size, r * (tile_size + caption)
            sheet.paste(image.convert("RGB").resize((tile_size, tile_size), Image.NEAREST),
                        (left, top))
            draw.text((left + 3, top + tile_size + 1), label, fill="black")
    return sheet


def python_call(method, kwargs):
    shown = {k: ("PICO8" if k == "palette" else v) for k, v in kwargs.items()}
    return f"dithering.dither(photo, {method!r}" + "".join(
        f", {k}={v}" for k, v in shown.items()) + ")"


def command_line_examples(out, original, results):
    """Runs the `dither` command for a few gallery entries and checks that
    it writes exactly what the Python call returned."""
    examples = [("floyd_steinberg", "2 levels", False), ("atkinson", "4 levels", True),
                ("bayer8x8", "PICO-8", False), ("random", "2 levels", False)]
    print("\nThe same from the command line (each output decoded and compared):")
    for method, target, linear in examples:
        part, kwargs, options = TARGETS[target]
        extra = dict(methods())[method]
        kwargs = {**kwargs, **extra, **({"linear": True} if linear else {})}
        written = out / f"cli_{method}_{part}{'_linear' if linear else ''}.png"
        args = ["dither", str(original), "-o", str(written), "--force", "-q", "-m", method,
                *options, *(["--linear"] if linear else []),
                *(["--seed", str(extra["seed"])] if "seed" in extra else [])]
        subprocess.run([sys.executable, "-m", "dithering_tools", *args[1:]], check=True)
        with Image.open(written) as image:
            same = np.array_equal(np.asarray(image.convert("RGB")),
                                  np.asarray(Image.fromarray(results[(method, target, linear)])
                                             .convert("RGB")))
            mode = image.mode
        print(f"  $ {shlex.join(args)}\n    >>> {python_call(method, kwargs)}"
              f"\n    {'same pixels' if same else 'DIFFERENT PIXELS'}"
              f" (PNG mode {mode}, {written.stat().st_size} bytes)")
        if not same:
            sys.exit("the command and the Python call disagree")


def palette_comparison(out):
    """Bounded, unbounded and Pillow's Floyd-Steinberg to one 16-colour
    palette made from the photo; writes the crops, and checks that the
    `dither` command writes the bounded (and with --unbounded the
    unbounded) pixels."""
    photo = astronaut()
    original = out / "astronaut_512.png"
    Image.fromarray(photo).save(original)
    palette = make_palette(photo, 16).tolist()  # what --colors 16 makes
    flat = [v for color in palette for v in color]
    palette_image = Image.new("P", (1, 1))
    palette_image.putpalette(flat + flat[:3] * (256 - len(palette)))
    pillow = Image.fromarray(photo).quantize(palette=palette_image,
                                             dither=Image.Dither.FLOYDSTEINBERG)
    command = DitherOptions(colors=16)  # the strength and scan `dither --colors` takes
    defaults = {"palette": palette, "strength": command.chosen_strength,
                "serpentine": command.chosen_serpentine}
    results = {
        "bounded": bounded_error_diffusion(photo, **defaults),
        "unbounded": dithering.error_diffusion(photo, **defaults),
        "pillow": np.asarray(pillow.convert("RGB")),
    }
    allowed = {tuple(color) for color in palette}
    for who, result in results.items():
        used = {tuple(color) for color in np.unique(result.reshape(-1, 3), axis=0).tolist()}
        if not used <= allowed:
            sys.exit(f"{who}: colours outside the palette")

    print(f"\n16 colours by make_palette from the {photo.shape[1]}x{photo.shape[0]} photo,"
          f" Floyd-Steinberg; crop {PALETTE_CROP} scaled {PALETTE_CROP_SCALE}x:")
    left, top, right, bottom = PALETTE_CROP
    size = ((right - left) * PALETTE_CROP_SCALE, (bottom - top) * PALETTE_CROP_SCALE)
    for who, result in [("original", photo)] + list(results.items()):
        crop = Image.fromarray(result).crop(PALETTE_CROP).resize(size, Image.NEAREST)
        if who != "original":  # indexed: every colour is one of the palette's
            crop = crop.quantize(palette=palette_image, dither=Image.Dither.NONE)
        path = out / f"palette16_{who}.png"
        crop.save(path, optimize=True)
        print(f"  {path} ({path.stat().st_size} bytes)")

    for options, who in (([], "bounded"), (["--unbounded"], "unbounded")):
        written = out / f"cli_colors16_{who}.png"
        args = ["dither", str(original), "-o", str(written), "--force", "-q", "--colors", "16",
                *options]
        subprocess.run([sys.executable, "-m", "dithering_tools", *args[1:]], check=True)
        with Image.open(written) as image:
            same = np.array_equal(np.asarray(image.convert("RGB")), results[who])
        print(f"  $ {shlex.join(args)}\n    {'same pixels' if same else 'DIFFERENT PIXELS'}"
              f" as the {who} call")
        if not same:
            sys.exit("the command and the Python call disagree")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out/demo", help="output folder (default out/demo)")
    parser.add_argument("--size", type=int, default=256, help="photo size in pixels")
    args = parser.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"dithering {dithering.__version__} on Python {sys.version.split()[0]}"
          f" ({'GIL enabled' if gil else 'free-threaded, GIL disabled'})")
    print("methods: ", ", ".join(dithering.available_methods()))
    print("matrices:", ", ".join(dithering.available_matrices()))

    photo = astronaut(args.size)
    original = out / "original.png"
    Image.fromarray(photo).save(original)
    rows = [[("original", Image.fromarray(photo))]]
    results = {}
    print(f"\n{'method':<24}{'target':<12}{'sRGB ms':>9}{'linear ms':>11}")
    for method, extra in methods():
        rows.append([])
        for target, (part, kwargs, _) in TARGETS.items():
            times = []
            for linear in (False, True):
                start = time.perf_counter()
                result = dithering.dither(photo, method, linear=linear, **kwargs, **extra)
                times.append((time.perf_counter() - start) * 1000)
                results[(method, target, linear)] = result
                name = f"{method}_{part}_{'linear' if linear else 'srgb'}"
                Image.fromarray(result).save(out / f"{name}.png")
                rows[-1].append((f"{method} {target}{' lin' if linear else ''}",
                                 Image.fromarray(result)))
            print(f"{method:<24}{target:<12}{times[0]:>9.2f}{times[1]:>11.2f}")

    sheet = contact_sheet(rows, tile_size=min(args.size, 192))
    sheet.save(out / "contact_sheet.png")
    count = sum(len(row) for row in rows)
    print(f"\nwrote {count} images and the contact sheet to {out.resolve()}/contact_sheet.png")
    command_line_examples(out, original, results)
    palette_comparison(out)


if __name__ == "__main__":
    main()
