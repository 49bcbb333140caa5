"""Bytes of the PNGs the `dither` command writes, beside Pillow's and
pngquant's for the same photos.

    python bench/bench_sizes.py [--size PX] [--quick] [--colors N ...]
    (make bench-sizes installs pngquant and scikit-image, then runs this)

For each sample photo (scikit-image's astronaut, hubble_deep_field and
immunohistochemistry, upscaled to PX x PX as bench.py does) and each N, the
photo dithered as `dither --colors N` does it (its palette, its dither),
then written four ways:

- "Pillow default": the indexed image with the palette in the order it was
  made, saved with Pillow's defaults, as the command wrote it before it
  chose its own settings;
- "Pillow best": the smallest of Pillow's defaults and `optimize=True`, for
  that indexed image and for the RGB result: the same pixels;
- "ours": dithering_tools.encode.output_image for a palette made from the
  picture (unused colours dropped, order free), the same with `smallest`
  (`dither --smallest`: zlib level 9 tried too), and "order kept" as for a
  palette the user gave (every entry, in its order), with the encoding time
  in milliseconds a megapixel of "Pillow default" (the save alone), of
  "ours" and of --smallest (output_image, its trials included, and the save);
- "pngquant": pngquant N on the photo, with its own palette and dither:
  other pixels, shown for scale only (skipped when pngquant is missing).

Then one cut-out: astronaut inside a disc, transparent outside, dithered to
16 colours with its alpha kept: RGBA as before, indexed with per-entry
alpha (tRNS) now.
"""

import argparse
import io
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

from dithering_tools.encode import indexed_image, output_image
from dithering_tools.options import DitherOptions, dither_array
from dithering_tools.palette_making import make_palette, palette_list

PHOTOS = ("astronaut", "hubble_deep_field", "immunohistochemistry")


def load_photo(name, size):
    import skimage.data
    picture = Image.fromarray(getattr(skimage.data, name)()).convert("RGB")
    return np.asarray(picture.resize((size, size), Image.Resampling.BICUBIC))


def png_bytes(image, **save):
    stream = io.BytesIO()
    image.save(stream, format="PNG", **save)
    return stream.tell()


def pillow_best(image):
    return min(png_bytes(image), png_bytes(image, optimize=True))


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return value, time.perf_counter() - start


def ours(result, palette, keep_palette=False, smallest=False):
    image, save = output_image(result, "PNG", palette, keep_palette=keep_palette, smallest=smallest)
    return png_bytes(image, **save)


def pngquant_bytes(photo, count, folder):
    """Bytes of pngquant's file for the photo at `count` colours, or None."""
    if shutil.which("pngquant") is None:
        return None
    source = folder / "photo.png"
    Image.fromarray(photo).save(source)
    done = subprocess.run(["pngquant", "--force", "--output", str(folder / "quant.png"),
                           str(count), str(source)], capture_output=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr.decode(errors="replace"))
        return None
    return (folder / "quant.png").stat().st_size


def cut_out(photo, count):
    """(RGBA result, palette): the photo in a disc, transparent outside, its
    colour kept under the transparency as --keep-alpha keeps it."""
    height, width = photo.shape[:2]
    y, x = np.mgrid[0:height, 0:width]
    inside = (y - height / 2) ** 2 + (x - width / 2) ** 2 < (0.45 * min(height, width)) ** 2
    rgba = np.dstack([photo, np.where(inside, 255, 0).astype(np.uint8)])
    palette = palette_list(make_palette(photo, count))
    return dither_array(rgba, DitherOptions(colors=count, alpha="keep"), palette), palette


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=2048, help="photos upscaled to this square")
    parser.add_argument("--quick", action="store_true", help="512 px photos")
    parser.add_argument("--colors", type=int, nargs="+", default=[16, 64, 256])
    args = parser.parse_args(argv)
    size = 512 if args.quick else args.size
    if shutil.which("pngquant") is None:
        print("pngquant is not installed: its column is left empty"
              " (make bench-sizes installs it)", file=sys.stderr)
    print(f"{size}x{size} photos; bytes; ms/Mpx: encoding time a megapixel\n")
    print("| photo | N | Pillow default | Pillow best | ours | ours / default | --smallest |"
          " order kept | ms/Mpx default / ours / --smallest | pngquant (other pixels) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    megapixels = size * size / 1e6
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        for name in PHOTOS:
            photo = load_photo(name, size)
            for count in args.colors:
                palette = palette_list(make_palette(photo, count))
                result = dither_array(photo, DitherOptions(colors=count), palette)
                indexed = indexed_image(result, palette)  # the palette as made, in its order
                before, before_time = timed(lambda: png_bytes(indexed))
                best = min(pillow_best(indexed), pillow_best(Image.fromarray(result)))
                after, after_time = timed(lambda: ours(result, palette))
                small, small_time = timed(lambda: ours(result, palette, smallest=True))
                kept = ours(result, palette, keep_palette=True)
                quant = pngquant_bytes(photo, count, folder)
                print(f"| {name} | {count} | {before:,} | {best:,} | {after:,} |"
                      f" {after / before:.3f} | {small:,} | {kept:,} |"
                      f" {before_time * 1e3 / megapixels:.0f} / {after_time * 1e3 / megapixels:.0f} /"
                      f" {small_time * 1e3 / megapixels:.0f} |"
                      f" {'' if quant is None else f'{quant:,}'} |", flush=True)
        result, palette = cut_out(load_photo("astronaut", size), 16)
        rgba = png_bytes(Image.fromarray(result, "RGBA"))
        rgba_best = pillow_best(Image.fromarray(result, "RGBA"))
        after = ours(result, palette)
        print(f"\ncut-out (astronaut in a disc, alpha 0/255, 16 colours, alpha kept):"
              f" RGBA {rgba:,} bytes (Pillow best {rgba_best:,}), indexed with tRNS"
              f" {after:,} bytes ({after / rgba:.3f})")


if __name__ == "__main__":
    main()
