"""Dithers a generated test picture with every method and writes a contact sheet.

    python examples/demo.py [--out DIR] [--size N]

The picture (made on the fly, no files needed) holds a grey ramp, a colour
wheel, soft gradients and fine lines. It is dithered with the nine
error-diffusion kernels, the four Bayer matrices and random dither, each to 2
levels, to 4 levels per channel and to an 8-colour palette, in sRGB and in
linear light. Every result is saved as its own PNG, and all of them side by
side, labelled, in contact_sheet.png.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

import dithering

PALETTE = ["#000000", "#ffffff", "#e63946", "#f1c453", "#2a9d8f", "#264653",
           "#8ecae6", "#6d597a"]
TARGETS = {  # label -> keyword arguments
    "2 levels": {"levels": 2},
    "4 levels": {"levels": 4},
    "8-colour palette": {"palette": PALETTE},
}


def test_picture(size):
    """A size x size RGB picture: ramp, colour wheel, gradients, fine detail."""
    h = w = size
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    img = np.zeros((h, w, 3), np.float32)
    # Top band: a grey ramp, left to right.
    band = h // 5
    img[:band] = (x[:band] / (w - 1) * 255)[..., None]
    # Middle left: a colour wheel (hue by angle, saturation by radius).
    cy, cx, r = band + (h - band) / 2, w / 4, min(w / 4, (h - band) / 2) - 2
    dy, dx = y - cy, x - cx
    radius = np.hypot(dx, dy) / r
    hue = (np.arctan2(dy, dx) / (2 * np.pi)) % 1.0
    rgb = np.clip(np.abs(((hue[..., None] * 6 + np.array([0, 4, 2])) % 6) - 3) - 1, 0, 1)
    wheel = (1 - np.clip(radius, 0, 1)[..., None]) + rgb * np.clip(radius, 0, 1)[..., None]
    inside = (radius <= 1) & (y >= band)
    img[inside] = wheel[inside] * 255
    # Middle right: soft two-axis colour gradients.
    right = (x >= w / 2) & (y >= band)
    gy = (y - band) / (h - band)
    gx = (x - w / 2) / (w / 2)
    img[right] = np.stack([gx * 255, gy * 255, (1 - gx) * 160 + 40], -1)[right]
    # Bottom right: fine lines and a zone plate for detail and moiré.
    detail = (x >= w / 2) & (y >= h * 0.75)
    zone = 127.5 + 127.5 * np.cos(((x - w * 0.75) ** 2 + (y - h * 0.875) ** 2) / (size / 8))
    img[detail] = zone[detail][..., None]
    return np.clip(img, 0, 255).astype(np.uint8)


def methods():
    """(label, callable(image, **kwargs)) for every method."""
    out = [(name, lambda im, n=name, **kw: dithering.error_diffusion(im, n, **kw))
           for name in dithering.available_methods()]
    out += [(name, lambda im, n=name, **kw: dithering.ordered_dither(im, n, **kw))
            for name in dithering.available_matrices()]
    out.append(("random", lambda im, **kw: dithering.random_dither(im, seed=1, **kw)))
    return out


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out/demo", help="output folder (default out/demo)")
    parser.add_argument("--size", type=int, default=256, help="picture size in pixels")
    args = parser.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"dithering {dithering.__version__} on Python {sys.version.split()[0]}"
          f" ({'GIL enabled' if gil else 'free-threaded, GIL disabled'})")
    print("methods: ", ", ".join(dithering.available_methods()))
    print("matrices:", ", ".join(dithering.available_matrices()))

    picture = test_picture(args.size)
    Image.fromarray(picture).save(out / "original.png")
    rows = [[("original", Image.fromarray(picture))]]
    print(f"\n{'method':<24}{'target':<20}{'sRGB ms':>9}{'linear ms':>11}")
    for label, run in methods():
        rows.append([])
        for target, kwargs in TARGETS.items():
            times = []
            for linear in (False, True):
                start = time.perf_counter()
                result = run(picture, linear=linear, **kwargs)
                times.append((time.perf_counter() - start) * 1000)
                space = "linear" if linear else "srgb"
                name = f"{label}_{target.split()[0].replace('-colour', 'colour')}_{space}"
                Image.fromarray(result).save(out / f"{name}.png")
                rows[-1].append((f"{label} {target}{' lin' if linear else ''}",
                                 Image.fromarray(result)))
            print(f"{label:<24}{target:<20}{times[0]:>9.2f}{times[1]:>11.2f}")

    sheet = contact_sheet(rows, tile_size=min(args.size, 192))
    sheet.save(out / "contact_sheet.png")
    count = sum(len(row) for row in rows)
    print(f"\nwrote {count} images and the contact sheet to {out.resolve()}/contact_sheet.png")


if __name__ == "__main__":
    main()
