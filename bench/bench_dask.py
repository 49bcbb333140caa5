"""Dithering on Dask, on this machine: a batch of photos on a LocalCluster
of one and of two worker processes, and ordered dither of a 16384x16384
image as a Dask array that is never whole in memory.

    python bench/bench_dask.py [--quick] [--photos N] [--size S]

- batch: N photos (default 64) of 1 to 4 megapixels (scikit-image's sample
  photos when it is installed, else generated ones, at sizes drawn with a
  fixed seed), 16 colours made from each, Floyd-Steinberg, PNG in and out,
  through dithering_tools.cluster on LocalCluster('local:1') and
  ('local:2'); the clusters are started before the clock starts. Also the
  local thread batch at 1 and 2 workers, for reference. CPU seconds of the
  workers over wall seconds say how many cores a run really had.
- large image: an SxS grey image (default 16384) made chunk by chunk from
  each chunk's position (2048x2048 chunks, 4 MiB each), dithered with
  Bayer 8x8 and written chunk by chunk to .npy files, on two worker
  processes; reports the time and each worker's peak resident memory. One
  written chunk is checked against one call on the same region.
"""

import argparse
import os
import resource
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

import dithering
from dithering_tools import DitherOptions, Job, dither_files
from dithering_tools.cluster import connect, dither_files_on_cluster
from dithering_tools.dask_array import ordered_dither

from bench_cli import PHOTOS, write_photo_batch

CHUNK = 2048


def sample_photos():
    try:
        import skimage.data
    except ImportError:
        print("  (scikit-image is not installed: generated photos instead)")
        return [Image.fromarray(generated_photo(seed)) for seed in range(len(PHOTOS))]
    return [Image.fromarray(getattr(skimage.data, name)()).convert("RGB") for name in PHOTOS]


def generated_photo(seed, shape=(512, 768)):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:shape[0], 0:shape[1]] / max(shape)
    light = 200 * np.exp(-((x - rng.random()) ** 2 + (y - rng.random()) ** 2) * 3)
    value = light[..., None] * rng.uniform(0.5, 1, 3) + rng.normal(0, 12, (*shape, 3))
    return np.clip(value, 0, 255).astype(np.uint8)


def worker_cpu_seconds(client):
    return sum(client.run(time.process_time).values())


def batch(folder, count, repeat):
    sources, sizes = write_photo_batch(folder / "in", sample_photos(), count)
    pixels = sum(sizes)
    options = DitherOptions(method="fs", colors=16, force=True)
    print(f"batch of {count} photos, {pixels / count / 1e6:.1f} Mpx on average, "
          f"16 colours FS, PNG in and out, median of {repeat}:")
    times = {}
    for workers in (1, 2):
        def run():
            start = time.perf_counter()
            jobs = [Job(s, folder / f"threads{workers}" / s.name) for s in sources]
            assert all(r.ok for r in dither_files(jobs, options, workers=workers))
            return time.perf_counter() - start
        times[f"threads{workers}"] = statistics.median(run() for _ in range(repeat))
        print(f"  local batch, {workers} thread(s)        {times[f'threads{workers}']:6.2f} s")
    for workers in (1, 2):
        with connect(f"local:{workers}") as client:
            runs = []
            for _ in range(repeat):
                cpu = worker_cpu_seconds(client)
                start = time.perf_counter()
                jobs = [Job(s, folder / f"cluster{workers}" / s.name) for s in sources]
                results = list(dither_files_on_cluster(jobs, options, client))
                seconds = time.perf_counter() - start
                assert all(r.ok for r in results), [r.error for r in results if not r.ok]
                runs.append((seconds, worker_cpu_seconds(client) - cpu))
            seconds, cpu = statistics.median(runs)
            times[f"cluster{workers}"] = seconds
            print(f"  LocalCluster, {workers} process(es)     {seconds:6.2f} s"
                  f"  {pixels / seconds / 1e6:6.1f} Mpx/s  workers' CPU {cpu:6.2f} s"
                  f" ({cpu / seconds:.2f} cores busy)")
    for name in sources:
        assert ((folder / "cluster2" / name.name).read_bytes()
                == (folder / "threads1" / name.name).read_bytes())
    print(f"  2 processes / 1 process: {times['cluster1'] / times['cluster2']:.2f}x "
          f"(on {os.cpu_count()} cores); outputs identical to the local batch's")


def lazy_image(size):
    """An SxS grey picture made chunk by chunk: a ramp and noise seeded by
    the chunk's position, so no task ever holds more than its own chunk."""
    import dask.array as da

    def chunk(block_info=None):
        (top, bottom), (left, right) = block_info[None]["array-location"]
        rng = np.random.default_rng([top, left])
        rows = (np.arange(top, bottom) * 256 // size).astype(np.uint8)[:, None]
        columns = (np.arange(left, right) * 128 // size).astype(np.uint8)[None, :]
        picture = rows // 2 + columns
        picture += rng.integers(0, 64, picture.shape, dtype=np.uint8)
        return picture

    chunks = da.core.normalize_chunks((CHUNK, CHUNK), (size, size))
    return da.map_blocks(chunk, dtype=np.uint8, chunks=chunks, meta=np.empty((0, 0), np.uint8))


def peak_resident_bytes():
    """This process's peak resident memory since it started its program
    (VmHWM; ru_maxrss would include the parent it was forked from)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def saved_chunks(image, folder):
    """A lazy (1, 1) array per chunk whose computing writes the chunk of
    `image` to folder/TOP_LEFT.npy: the output never comes back whole."""
    folder.mkdir()
    folder = str(folder)

    def save(block, block_info=None):
        (top, _), (left, _) = block_info[0]["array-location"]
        np.save(os.path.join(folder, f"{top}_{left}.npy"), block)
        return np.ones((1, 1), np.int64)

    return image.map_blocks(save, chunks=(1, 1), dtype=np.int64,
                            meta=np.empty((0, 0), np.int64))


def large_image(folder, size):
    with connect("local:2") as client:
        before = client.run(peak_resident_bytes)
        image = lazy_image(size)
        out = ordered_dither(image, "bayer8x8")
        start = time.perf_counter()
        chunks = int(saved_chunks(out, folder / "large").sum().compute())
        seconds = time.perf_counter() - start
        after = client.run(peak_resident_bytes)
        # One chunk of the output beside one call on the same region
        # (chunk offsets are multiples of 8: the same thresholds).
        region = image[:CHUNK, CHUNK:2 * CHUNK].compute()
        assert np.array_equal(np.load(folder / "large" / f"0_{CHUNK}.npy"),
                              dithering.ordered_dither(region, "bayer8x8"))
    print(f"ordered dither (Bayer 8x8, 2 levels) of a {size}x{size} grey image "
          f"({size * size / 2**20:.0f} MiB) in {chunks} chunks of {CHUNK}x{CHUNK} "
          f"({CHUNK * CHUNK / 2**20:.0f} MiB), generated lazily, each written to its own "
          f".npy file, on 2 worker processes:")
    print(f"  {seconds:.2f} s ({size * size / seconds / 1e6:.0f} Mpx/s, generation and writing "
          f"included); the client process's peak memory {peak_resident_bytes() / 2**20:.0f} MiB")
    for worker in sorted(after):
        print(f"  worker {worker}: peak resident {after[worker] / 2**20:.0f} MiB "
              f"(at start {before[worker] / 2**20:.0f} MiB)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--photos", type=int, default=64)
    parser.add_argument("--size", type=int, default=16384, help="side of the large image")
    parser.add_argument("--repeat", type=int, default=3, help="runs per batch case (median)")
    parser.add_argument("--quick", action="store_true", help="16 photos, a 4096x4096 image, 1 run")
    args = parser.parse_args(argv)
    if args.quick:
        args.photos, args.size, args.repeat = 16, 4096, 1
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]} ({'GIL' if gil else 'free-threaded'}) on "
          f"{os.cpu_count()} cores, shared with other work: timings move from run to run")
    with tempfile.TemporaryDirectory() as tmp:
        batch(Path(tmp), args.photos, args.repeat)
        large_image(Path(tmp), args.size)


if __name__ == "__main__":
    main()
