"""The batch engine: dithers many files on a pool of threads, reporting one
result per file, in the order they finish; a file that fails is a result
too, never an exception, so one bad file cannot stop the others.

The extension releases the interpreter around its pixel loops and Pillow
does the same for most of its decoding and encoding, so the threads run
in parallel even on a GIL build (and entirely so on a free-threaded one).
At most `workers` images are in memory at once, whatever the batch size.
"""

from __future__ import annotations

import dataclasses
import io
import os
import threading
import time
from collections.abc import Generator, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from pathlib import Path
from typing import TYPE_CHECKING, Any, BinaryIO, cast

import numpy as np
from PIL import Image, UnidentifiedImageError

from .encode import EncodeError, lossy_refusal, output_image
from .files import WriteError, file_identity, format_for, remove_stale_temporaries, write_atomically
from .options import dither_array
from .palettes import palette_rgb
from .prepare import prepare_image
from .palette_making import downscaled_sample, make_palette, palette_list, palette_of_samples

if TYPE_CHECKING:
    import numpy.typing as npt

    from .options import DitherOptions


@dataclasses.dataclass(frozen=True)
class Job:
    """One file to dither. `source`: a path, or the bytes of an image (what
    standard input gave); `destination`: a path, or a binary stream written
    in one piece once the image is ready (standard output); `label` names
    the source in results. (Text is for dithering_tools.cluster: a path or
    a URL.)"""
    source: Path | str | bytes
    destination: Path | str | BinaryIO
    label: str = ""


@dataclasses.dataclass
class FileResult:
    input: str
    output: str | None
    ok: bool = False
    error: str | None = None
    input_bytes: int | None = None
    output_bytes: int | None = None
    seconds: float = 0.0
    width: int | None = None
    height: int | None = None
    # How many colours the output may hold: the palette's size, or the
    # levels per channel to the power of the colour channels (2: black and white).
    colors: int | None = None
    # Left alone: its output was already there (DitherOptions.skip_existing).
    skipped: bool = False
    # What was done that the options did not say (only the first frame of
    # an animation, float values scaled, alpha made all or nothing...).
    warnings: list[str] = dataclasses.field(default_factory=list)

    def as_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


def _label(job: Job) -> str:
    return job.label or (str(job.source) if isinstance(job.source, Path) else "-")


def _destination_name(job: Job) -> str:
    return str(job.destination) if isinstance(job.destination, Path) else "-"


def _open(source: Path | str | bytes | bytearray, notes: list[str] | None = None) -> tuple[Image.Image, int]:
    """(decoded image, size in bytes of the file) - the first frame of an
    animation, which `notes` records."""
    if isinstance(source, (bytes, bytearray)):
        image, size = Image.open(io.BytesIO(source)), len(source)
    else:
        image, size = Image.open(source), os.stat(source).st_size
    try:
        frames = getattr(image, "n_frames", 1) if getattr(image, "is_animated", False) else 1
        if frames > 1:
            image.seek(0)
            if notes is not None:
                notes.append(f"animated: only the first of its {frames} frames dithered")
        image.load()
    except BaseException:
        image.close()
        raise
    return image, size


def _reason(error: BaseException, source: object = None) -> str:
    """The words after 'path: ' for a failed file (from `source`)."""
    if isinstance(error, UnidentifiedImageError):
        return "not an image Pillow can read"
    if isinstance(error, FileExistsError) and error.args and isinstance(error.args[0], str):
        return error.args[0]
    if isinstance(error, WriteError):
        return f"cannot write {error.filename}: {error.strerror}"
    if isinstance(error, OSError) and error.strerror:
        # The file named only when it is not the input the line starts with.
        other = error.filename and str(error.filename) != str(source)
        return error.strerror + (f": {error.filename}" if other else "")
    if isinstance(error, MemoryError):
        return "out of memory"
    return str(error) or type(error).__name__


def _metadata(decoded: Image.Image) -> dict[str, Any]:
    """What of `decoded`'s metadata an output keeps, as save keywords (the
    format takes what it can hold): what says how its pixels are shown, the
    colour profile and the resolution. EXIF is not kept: a camera's
    settings, its thumbnail and the place a photo was taken are no part of
    a dithered picture, would leave with every file shared, and cost bytes;
    its orientation is already applied to the pixels."""
    kept: dict[str, Any] = {}
    if decoded.info.get("icc_profile"):
        kept["icc_profile"] = decoded.info["icc_profile"]
    if decoded.info.get("dpi"):
        kept["dpi"] = decoded.info["dpi"]
    return kept


def _fitting(metadata: dict[str, Any], image: Image.Image) -> dict[str, Any]:
    """`metadata` without a colour profile for another colour model than
    `image`'s (an RGB profile on a grey output would be refused by readers)."""
    profile = metadata.get("icc_profile")
    if profile is not None:
        wanted = b"GRAY" if image.mode in ("1", "L", "LA") else b"RGB "
        if bytes(profile[16:20]) != wanted:
            metadata = {k: v for k, v in metadata.items() if k != "icc_profile"}
    return metadata


def _output_colors(array: npt.NDArray[np.uint8], options: DitherOptions,
                   palette: Sequence[tuple[int, ...]] | None) -> int:
    if palette is not None:
        return len(set(palette))
    colour_channels = 3 if array.ndim == 3 and array.shape[2] >= 3 else 1
    return int((options.levels or 2) ** colour_channels)


def dither_file(job: Job, options: DitherOptions, stop: threading.Event | None = None) -> FileResult:
    """Dithers one file and writes its output; returns a FileResult."""
    start = time.perf_counter()
    result = FileResult(input=_label(job), output=_destination_name(job))
    try:
        to_stream = not isinstance(job.destination, Path)
        if options.skip_existing and isinstance(job.destination, Path) and job.destination.exists():
            result.ok = result.skipped = True
            return result
        fmt = format_for(job.destination if isinstance(job.destination, Path) else "out.png",
                         options.format or ("PNG" if to_stream else None))
        if not options.allow_lossy and lossy_refusal(fmt):
            raise EncodeError(lossy_refusal(fmt))
        decoded, result.input_bytes = _open(job.source, result.warnings)
        with decoded:
            metadata = {} if options.strip else _metadata(decoded)
            image = prepare_image(decoded, options, result.warnings)
        result.width, result.height = image.size
        palette: Sequence[str | Sequence[int]] | None = options.palette
        if options.colors is not None and palette is None:
            palette = palette_list(make_palette(image, options.colors, method=options.quantizer))
        array = dither_array(np.asarray(image), options, palette)
        del image
        rgb_palette = palette_rgb(palette) if palette is not None else None
        result.colors = _output_colors(array, options, rgb_palette)
        # A palette made from this picture (--colors) has no order of its
        # own to keep: it is trimmed and ordered for compression. A given
        # one (-p, or --shared-palette's, the same in every file) is kept.
        encoded, save = output_image(array, fmt, rgb_palette, options.levels, result.warnings,
                                     keep_palette=options.colors is None, smallest=options.smallest)
        del array
        save = {**_fitting(metadata, encoded), **save}

        def write(stream: BinaryIO) -> None:
            encoded.save(stream, format=fmt, **save)

        if not isinstance(job.destination, Path):
            buffer = io.BytesIO()
            write(buffer)
            # A stream: text names a destination on a cluster only.
            stream = cast(BinaryIO, job.destination)
            stream.write(buffer.getbuffer())
            stream.flush()
            result.output_bytes = buffer.tell()
        else:
            try:
                result.output_bytes = write_atomically(job.destination, write, options.force, stop,
                                                       options.make_folders)
            except FileExistsError:
                # Written meanwhile, by another run finishing the same batch.
                if not options.skip_existing:
                    raise
                result.skipped = True
        result.ok = True
    except Exception as error:  # every failure is a result of its file
        result.error = _reason(error, job.source)
    result.seconds = time.perf_counter() - start
    return result


def _refusals(jobs: Sequence[Job]) -> dict[int, str]:
    """{job index: reason} for jobs that must not run: an output that is
    one of the batch's inputs, or that another job writes too."""
    inputs = {file_identity(job.source) for job in jobs if isinstance(job.source, Path)}
    claimed: dict[object, Job] = {}
    refused: dict[int, str] = {}
    for index, job in enumerate(jobs):
        if not isinstance(job.destination, Path):
            continue
        identity = file_identity(job.destination)
        if identity in inputs:
            refused[index] = f"refusing to overwrite an input: {job.destination}"
        elif identity in claimed:
            refused[index] = f"{job.destination} is also the output of {_label(claimed[identity])}"
        else:
            claimed[identity] = job
    return refused


def _unless_stopped(job: Job, options: DitherOptions, stop: threading.Event) -> FileResult | None:
    """dither_file, or None for a job whose turn came after `stop`: it never
    started, and is no result (neither written nor interrupted)."""
    return None if stop.is_set() else dither_file(job, options, stop)


def dither_files(jobs: Iterable[Job], options: DitherOptions, workers: int | None = None,
                 stop: threading.Event | None = None) -> Generator[FileResult, None, None]:
    """Dithers every job on `workers` threads (default: one per core) and
    yields a FileResult per job as each finishes. Never overwrites one of
    the jobs' own inputs. Closing the iterator early, or setting `stop`,
    starts no further job and lets the running ones finish without putting
    their outputs in place (each an "interrupted" result); jobs that never
    started give no result."""
    jobs = list(jobs)
    workers = max(1, workers or os.cpu_count() or 1)
    stop = stop if stop is not None else threading.Event()
    # What killed runs left beside these outputs, before this run writes.
    remove_stale_temporaries(job.destination for job in jobs)
    refused = _refusals(jobs)
    for index, reason in refused.items():
        job = jobs[index]
        yield FileResult(input=_label(job), output=_destination_name(job), error=reason)
    runnable = iter(job for index, job in enumerate(jobs) if index not in refused)
    pending: set[Future[FileResult | None]] = set()
    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="dither") as pool:
        try:
            while True:
                # A short queue, not the whole batch: jobs are taken as
                # workers free up, so `stop` takes effect quickly.
                while len(pending) < 2 * workers and not stop.is_set():
                    queued = next(runnable, None)
                    if queued is None:
                        break
                    pending.add(pool.submit(_unless_stopped, queued, options, stop))
                if not pending:
                    return
                done, pending = wait(pending, return_when=FIRST_COMPLETED)
                for future in done:
                    if not future.cancelled() and (result := future.result()) is not None:
                        yield result
        finally:
            if pending:
                stop.set()
                for future in pending:
                    future.cancel()


def shared_palette(sources: Iterable[Path | str | bytes], options: DitherOptions, workers: int | None = None,
                   pixel_budget: int = 4_000_000,
                   ) -> tuple[list[tuple[int, ...]] | None, dict[str, str]]:
    """One palette of options.colors colours for every image in `sources`
    (paths or bytes), made from a downscaled sample of each, read on
    `workers` threads. Returns (palette, {source label: reason} for sources
    that could not be read)."""
    sources = list(sources)
    share = max(4096, pixel_budget // max(1, len(sources)))
    failures: dict[str, str] = {}

    def sample(source: Path | str | bytes) -> npt.NDArray[np.uint8] | None:
        try:
            decoded, _ = _open(source)
            with decoded:
                return downscaled_sample(prepare_image(decoded, options), share)
        except Exception as error:
            failures[str(source) if isinstance(source, Path) else "-"] = _reason(error)
            return None

    with ThreadPoolExecutor(max_workers=max(1, workers or os.cpu_count() or 1)) as pool:
        samples = [s for s in pool.map(sample, sources) if s is not None]
    if not samples:
        return None, failures
    # options.colors is this call's to give; make_palette refuses anything but a count.
    colors = cast(int, options.colors)
    return palette_list(palette_of_samples(samples, colors, options.quantizer)), failures
