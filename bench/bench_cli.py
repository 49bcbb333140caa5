"""Wall time of the `dither` command on PNG files, beside Pillow's own
decoding and encoding of the same files, and its speed-up and memory on a
batch.

    python bench/bench_cli.py [--repeat N] [--quick]
    (or python bench/bench.py --only cli)

- one photo (scikit-image's astronaut upscaled to 2048x2048, a PNG) to 16
  colours made by median cut, Floyd-Steinberg, written as a PNG: the whole
  command, interpreter start included, and the same work in-process
  (dithering_tools.dither_file), beside Pillow opening the file and saving
  the decoded image as a PNG;
- a batch of 64 photos of 1 to 4 megapixels (scikit-image's sample photos
  at sizes drawn with a fixed seed), the same options, --jobs 1 beside
  --jobs 2, with each run's peak resident memory, beside that of one image.
"""

import argparse
import io
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

from dithering_tools import DitherOptions, Job, dither_file

PHOTOS = ("astronaut", "hubble_deep_field", "immunohistochemistry", "coffee", "chelsea", "rocket")
COMMAND = [sys.executable, "-m", "dithering_tools", "--colors", "16", "-m", "fs", "-q", "--force"]


def sample_photo(name):
    import skimage.data
    return Image.fromarray(getattr(skimage.data, name)()).convert("RGB")


def run_command(args):
    """(wall seconds, peak resident set of the process in bytes, CPU seconds)."""
    start = time.perf_counter()
    process = subprocess.Popen([*COMMAND, *map(str, args)], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"dither {' '.join(map(str, args))} exited with {process.returncode}")
    return seconds, usage.ru_maxrss * 1024, usage.ru_utime + usage.ru_stime


def run_python(code):
    """Wall seconds of a fresh interpreter running `code`."""
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], check=True)
    return time.perf_counter() - start


def median(fn, repeat):
    return statistics.median(fn() for _ in range(repeat))


def one_photo(folder, size, repeat):
    source = folder / "photo.png"
    sample_photo("astronaut").resize((size, size), Image.Resampling.BICUBIC).save(source)
    out = folder / "out.png"

    def pillow_round_trip():
        start = time.perf_counter()
        with Image.open(source) as image:
            image.load()
            buffer = io.BytesIO()
            image.save(buffer, format="PNG")
        (folder / "pillow.png").write_bytes(buffer.getbuffer())
        return time.perf_counter() - start

    options = DitherOptions(method="fs", colors=16, force=True)

    def in_process():
        start = time.perf_counter()
        result = dither_file(Job(source, out), options)
        assert result.ok, result.error
        return time.perf_counter() - start

    pillow_round_trip(), in_process()  # warm up: the file in the page cache, imports
    peer = median(pillow_round_trip, repeat)
    ours = median(in_process, repeat)
    command = median(lambda: run_command([source, "-o", out])[0], repeat)
    startup = median(lambda: run_python("import numpy, PIL.PngImagePlugin, dithering,"
                                        " dithering_tools.batch"), repeat)
    print(f"one {size}x{size} photo, 16 colours FS, PNG in and out "
          f"({source.stat().st_size / 2**20:.1f} MiB in, {out.stat().st_size / 2**20:.1f} MiB out):")
    print(f"  Pillow decode + encode (RGB PNG)    {peer * 1000:8.0f} ms")
    print(f"  dither_file in-process              {ours * 1000:8.0f} ms   {ours / peer:.2f}x Pillow")
    print(f"  dither command                      {command * 1000:8.0f} ms   {command / peer:.2f}x Pillow"
          f"  (of which {startup * 1000:.0f} ms starting Python and importing)")


def write_photo_batch(folder, photos, count):
    """`count` PNGs of 1 to 4 Mpx in `folder`, resized from `photos` in turn
    with a fixed seed; returns their paths and pixel counts."""
    rng = np.random.default_rng(64)
    folder.mkdir()
    sizes = []
    for i in range(count):
        megapixels = rng.uniform(1, 4)
        picture = photos[i % len(photos)]
        aspect = picture.width / picture.height
        height = int((megapixels * 1e6 / aspect) ** 0.5)
        width = int(height * aspect)
        picture.resize((width, height), Image.Resampling.BICUBIC).save(folder / f"{i:02}.png")
        sizes.append(width * height)
    return sorted(folder.iterdir()), sizes


def batch(folder, count, repeat):
    inputs = folder / "batch"
    _, sizes = write_photo_batch(inputs, [sample_photo(name) for name in PHOTOS], count)
    pixels, largest = sum(sizes), max(sizes)
    runs = {}
    for jobs in (1, 2):
        times, peaks, cpu = zip(*(run_command([inputs, "-o", folder / f"out{jobs}", "-j", jobs])
                                  for _ in range(repeat)))
        runs[jobs] = statistics.median(times), max(peaks), statistics.median(cpu)
    _, single_peak, _ = run_command([inputs / "00.png", "-o", folder / "single.png"])
    print(f"batch of {count} photos, {pixels / count / 1e6:.1f} Mpx on average "
          f"(largest {largest / 1e6:.1f} Mpx), 16 colours FS, PNG in and out:")
    # CPU seconds over wall seconds: how many cores the run had. On a
    # machine shared with other work, --jobs 2 cannot beat --jobs 1 by
    # more than the second core it actually got.
    for jobs, (seconds, peak, cpu) in runs.items():
        print(f"  --jobs {jobs}  {seconds:6.2f} s  {pixels / seconds / 1e6:6.1f} Mpx/s"
              f"  peak memory {peak / 2**20:6.0f} MiB  CPU {cpu:6.2f} s"
              f" ({cpu / seconds:.2f} cores busy)")
    print(f"  --jobs 2 / --jobs 1 speed-up: {runs[1][0] / runs[2][0]:.2f}x"
          f" (on {os.cpu_count()} cores)")
    print(f"  one image alone: peak memory {single_peak / 2**20:.0f} MiB; an RGB image of the"
          f" largest size is {largest * 3 / 2**20:.0f} MiB")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per case (median)")
    parser.add_argument("--quick", action="store_true", help="a 1024x1024 photo, 16 in the batch")
    args = parser.parse_args(argv)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"dither command, Python {sys.version.split()[0]} ({'GIL' if gil else 'free-threaded'}),"
          f" Pillow {Image.__version__}, median of {args.repeat}")
    with tempfile.TemporaryDirectory() as tmp:
        one_photo(Path(tmp), 1024 if args.quick else 2048, args.repeat)
        batch(Path(tmp), 16 if args.quick else 64, args.repeat)


if __name__ == "__main__":
    main()
