"""The `dither` command: argument parsing, planning which file goes where,
and reporting what the batch engine did."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import signal
import sys
import textwrap
import threading
import time

from . import install_hint

# For type checkers only: `typing` and what the names below come from are
# not imported at run time, so that --help and --list answer at once.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Mapping, Sequence
    from types import FrameType
    from typing import Any, TextIO

    from .batch import FileResult
    from .options import DitherOptions
    from .planning import Plan
    from .progress import ProgressBar

EXAMPLES = """\
examples:
  dither photo.jpg                         Floyd-Steinberg to black and white (1-bit): photo-dithered.png
  dither photo.jpg -o small.png -m atkinson --levels 4 --resize 800x
  dither *.png -o out/ -p gameboy          four greens, indexed PNGs in out/
  dither photos/ -r -o out/ --colors 16    16 colours made from each photo
  dither photos/ -o out/ --colors 64 --shared-palette --quantizer octree
  dither art.png -o art.gif -p pico8 -m bayer8x8
  dither sprite.png -o out.png -p palette.gpl --keep-alpha
  dither scan.tif -o scan.png --grayscale --matrix my_matrix.csv
  cat in.png | dither - -p '#000,#fff,#f00' > out.png
  dither photos/ -o out/ --json > report.jsonl
  dither /shared/photos/ -o /shared/out/ --cluster tcp://scheduler:8786   one task per file

{methods}
colour: without --levels, --palette or --colors a picture is made grey and
  dithered to black and white (a 1-bit file where the format has one);
  --levels N keeps colour, N levels per channel (add --grayscale for grey)
outputs are exact: PNG, GIF, BMP, TIFF, and WebP (written lossless); lossy
  formats (JPEG, AVIF, PDF) are refused unless --allow-lossy
palettes (-p): a built-in name (see --list), a file (.gpl, Paint.NET .txt, .hex,
  .json, or an image whose distinct pixels are the colours), or colours such
  as '#000,#fff', '0f380f 306230', 'black,white' (CSS names) or '(0,0,0),(255,0,0)'
error diffusion to a palette (-p, --colors) is bounded: each value plus the error
  carried onto it is clamped to 0..255 before its colour is chosen, so the error
  cannot run away into streaks where the palette does not enclose the picture's
  colours (dithering_tools.bounded_error_diffusion); --unbounded gives
  dithering.error_diffusion's own result. Levels need no bound (0 and 255 are
  always levels); ordered and random dither carry no error.
exit status: 0 all written, 1 some file failed, 2 bad arguments, 130 interrupted
  (143 on SIGTERM)
"""


def _epilog() -> str:
    """The examples, with the methods the extension itself lists."""
    try:
        import dithering
        names = dithering.available_methods() + dithering.available_matrices() + ["random"]
    except ImportError:
        names = ["see --list"]
    methods = textwrap.fill("methods: " + ", ".join(names)
                            + " (aliases such as fs and jjn are accepted too)",
                            width=80, subsequent_indent="  ")
    text = EXAMPLES.format(methods=methods)
    try:
        import PIL  # noqa: F401
    except ImportError:
        text += f"\nthis installation has no Pillow, which image files need: {install_hint('cli')}\n"
    return text


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="dither", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=_epilog(),
        description="Dither images exactly: error diffusion, ordered and random dither, "
                    "to grey levels or a palette.")
    parser.add_argument("inputs", nargs="*", metavar="INPUT",
                        help="image files, folders, glob patterns, or - for standard input")
    where = parser.add_argument_group("output")
    where.add_argument("-o", "--output", metavar="PATH",
                       help="output file, folder (for several inputs, or ending in /), or - for "
                            "standard output (default: beside each input)")
    where.add_argument("--name", metavar="PATTERN",
                       help="output file names, from the input's {stem}, {ext} (its extension "
                            "without the dot: '{stem}.{ext}') and {suffix} (with the dot) "
                            f"(default: {DEFAULT_NAMES[0]!r} beside inputs, "
                            f"{DEFAULT_NAMES[1]!r} in a folder); the extension picks the format")
    where.add_argument("--format", metavar="FMT",
                       help="output format, whatever the extension (PNG for standard output)")
    where.add_argument("-r", "--recursive", action="store_true", help="look into sub-folders")
    existing = where.add_mutually_exclusive_group()
    existing.add_argument("-f", "--force", action="store_true", help="overwrite existing outputs")
    existing.add_argument("--skip-existing", action="store_true",
                          help="leave existing outputs as they are and skip their inputs "
                               "(finishes an interrupted batch)")
    where.add_argument("--mkdir", action="store_true",
                       help="make the output file's missing folders (a batch's output "
                            "folder is always made)")
    where.add_argument("--smallest", action="store_true",
                       help="PNG: try slower compression too, for files never larger than "
                            "Pillow's best settings make (several times the encoding time)")
    where.add_argument("--strip", action="store_true",
                       help="write the pixels alone (default: keep the input's colour "
                            "profile and resolution where the format holds them; EXIF is "
                            "never copied)")
    where.add_argument("--allow-lossy", action="store_true",
                       help="write a lossy format (JPEG, AVIF, PDF) anyway, though its "
                            "compression smears the dither")

    how = parser.add_argument_group("dithering")
    how.add_argument("-m", "--method", help="dither method or alias (default floyd_steinberg)")
    how.add_argument("--matrix", metavar="FILE",
                     help="ordered dither with a custom threshold matrix (.npy, or a text/CSV "
                          "grid: integer indices or thresholds in [0, 1])")
    how.add_argument("-l", "--levels", type=int,
                     help="output levels per channel, in colour (default: black and white)")
    how.add_argument("-p", "--palette", help="dither to these colours")
    how.add_argument("-c", "--colors", type=int, metavar="N",
                     help="dither to N colours (2-4096) made from each image (see --quantizer); "
                          "with --colors the defaults are --strength 0.9 and --serpentine; "
                          "past 256 colours no file can be indexed: the output is RGB")
    how.add_argument("--quantizer",
                     help="palette maker for --colors: variance (default: variance-minimising "
                          "splits, smooth areas counted most, refined), or Pillow's "
                          "median-cut, octree, libimagequant (if Pillow has it; these "
                          "make at most 256)")
    how.add_argument("--shared-palette", action="store_true",
                     help="with --colors: one palette for the whole batch")
    how.add_argument("--strength", type=float,
                     help="0..1, 0 = plain quantization (default 1; 0.9 with --colors)")
    how.add_argument("--linear", action="store_true", help="work in linear light")
    scan = how.add_mutually_exclusive_group()
    scan.add_argument("--serpentine", action="store_true", default=None,
                      help="error diffusion: alternate the scan direction every row "
                           "(the default with --colors)")
    scan.add_argument("--raster", dest="serpentine", action="store_false",
                      help="error diffusion: scan every row left to right (the default "
                           "without --colors)")
    how.add_argument("--unbounded", action="store_true",
                     help="error diffusion to a palette: carry the whole error on, unclamped, "
                          "as dithering.error_diffusion does (default: bounded, see below)")
    how.add_argument("--seed", type=int, help="random dither: seed, for the same result every run")
    alpha = how.add_mutually_exclusive_group()
    alpha.add_argument("--keep-alpha", dest="alpha", action="store_const", const="keep",
                       default="flatten",
                       help="keep transparency untouched: a PNG is indexed, each palette entry "
                            "with its own alpha, where at most 256 colour-and-alpha pairs occur, "
                            "else RGBA (LA for grey) (default: flatten onto white)")
    alpha.add_argument("--dither-alpha", dest="alpha", action="store_const", const="dither",
                       help="keep transparency, dithered to the levels like a colour")

    prep = parser.add_argument_group("before dithering")
    size = prep.add_mutually_exclusive_group()
    size.add_argument("--resize", metavar="WxH",
                      help="fit inside WxH keeping the aspect (larger or smaller); WxH! for "
                           "exactly WxH; Wx or xH sets one side, the other follows")
    size.add_argument("--scale", type=float, metavar="F", help="resize by a factor")
    prep.add_argument("--grayscale", "--greyscale", action="store_true", help="convert to grey")

    run = parser.add_argument_group("running")
    run.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1,
                     help="files dithered at once (default: %(default)s, the cores)")
    run.add_argument("--cluster", metavar="ADDRESS",
                     help="dither on a Dask cluster, one task per file: a scheduler address "
                          "(tcp://host:8786), or local:N for N worker processes on this machine; "
                          "files must be reachable from every worker "
                          "(needs pip install 'dithering-exact[dask]')")
    run.add_argument("-q", "--quiet", action="store_true",
                     help="no progress and no per-file lines; failures are still reported")
    run.add_argument("--json", action="store_true",
                     help="one JSON object per file (input, output, sizes, colours, time, "
                          "skipped, warnings, error)")
    run.add_argument("--list", action="store_true",
                     help="list methods, matrices, palettes and quantizers, and exit")
    run.add_argument("--version", action="version", version=_version())
    return parser


DEFAULT_NAMES = ("{stem}-dithered.png", "{stem}.png")  # as planning.DEFAULT_NAMES
DEFAULT_QUANTIZER = "variance"
# After Ctrl-C or SIGTERM, how long the command may take to stop cleanly
# (files being written finish, a local cluster closes) before it stops
# anyway: its worker processes killed, their temporaries removed.
STOP_SECONDS = 5.0


def _version() -> str:
    try:
        import dithering
        return f"dither (dithering {dithering.__version__})"
    except ImportError:
        return "dither"


class _Refused(Exception):
    """A command line that is well formed but cannot be carried out here
    (an output folder that cannot be written): said without the usage
    block, which is for command lines that are not."""


class _Terminated(BaseException):
    """SIGTERM, turned into an exception so temporary files are cleaned up."""


class _Signals:
    """SIGINT and SIGTERM. Before the batch starts they raise, as usual.
    During it the first one only asks it to stop: an exception raised from
    a signal handler can land inside the thread pool's own locking (seen on
    free-threaded CPython as "release unlocked lock"), whereas a stopped
    batch lets the running files finish without putting their outputs in
    place and then ends with the signal's exit status. Whatever the batch
    waits for (a cluster whose workers died of the same Ctrl-C), the
    command ends within STOP_SECONDS of the first signal, or at once on a
    second one: see stop_now."""

    def __init__(self) -> None:
        self.stop = threading.Event()
        self.received: int | None = None
        self.batch_running = False
        self.destinations: Sequence[object] = ()   # the batch's outputs, whose temporaries stop_now removes
        self._ending = threading.Lock()

    def __call__(self, signum: int, frame: FrameType | None) -> None:
        if not self.batch_running and self.received is None:
            if signum == signal.SIGINT:
                raise KeyboardInterrupt
            raise _Terminated()
        if self.received is not None:
            self.stop_now()
        self.received = signum
        self.stop.set()
        timer = threading.Timer(STOP_SECONDS, self.stop_now)
        timer.daemon = True
        timer.start()

    def stop_now(self) -> None:
        """Ends the process now: kills its child processes (a local
        cluster's workers), removes the temporaries of this batch's outputs
        that they or this process were writing, says so and exits with the
        signal's status. Outputs already in place are complete: they only
        ever appear by a rename."""
        if not self._ending.acquire(blocking=False):
            return
        import multiprocessing
        from .files import remove_stale_temporaries
        try:
            children = multiprocessing.active_children()
            for child in children:
                with contextlib.suppress(Exception):
                    child.kill()
            for child in children:
                with contextlib.suppress(Exception):
                    child.join(1)
            remove_stale_temporaries(self.destinations, own=True)
            print("dither: interrupted", file=sys.stderr, flush=True)
        finally:
            os._exit(128 + (self.received or signal.SIGINT))


def _warn(text: str, bar: ProgressBar | None = None) -> None:
    """One warning line on standard error: the result is still sensible,
    but not quite what the user may think."""
    _say(bar, f"dither: warning: {text}", sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return _main(argv)
    except BrokenPipeError:
        # The reader went away (`dither --list | head`): not an error of ours.
        # Standard output is pointed at nothing so the interpreter's final
        # flush does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _main(argv: Sequence[str] | None) -> int:
    # --help, --version and --list answer without Pillow, so a user can
    # learn what the command does (and what it needs) before installing it.
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.list:
        return _list()
    try:
        import PIL  # noqa: F401
    except ImportError:
        print(f"dither: error: reading and writing image files needs Pillow: {install_hint('cli')}",
              file=sys.stderr)
        return 2
    if not args.inputs:
        parser.error("no input: name image files, folders, patterns, or - for standard input")
    try:
        options = _options(args, parser)
    except _Refused as refusal:
        print(f"dither: error: {refusal}", file=sys.stderr)
        return 2
    for warning in _option_warnings(args, options):
        _warn(warning)
    from .allocator import keep_freed_memory
    keep_freed_memory()
    signals = _Signals()
    signal.signal(signal.SIGINT, signals)
    if sys.platform != "win32" and hasattr(signal, "SIGTERM"):
        signal.signal(signal.SIGTERM, signals)
    try:
        return _run(args, options, parser, signals)
    except _Refused as refusal:
        print(f"dither: error: {refusal}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("dither: interrupted", file=sys.stderr)
        return 130
    except _Terminated:
        return 143
    except ConnectionError as error:  # --cluster: no scheduler there, or a local one failed
        print(f"dither: error: {error}", file=sys.stderr)
        return 2


def _list() -> int:
    import dithering

    from .palettes import builtin_names
    from .palette_making import available_methods
    print("methods:   ", ", ".join(dithering.available_methods() + ["random"]))
    print("matrices:  ", ", ".join(dithering.available_matrices()))
    print("palettes:  ", ", ".join(builtin_names()))
    try:
        quantizers = ", ".join(available_methods())
    except ImportError:   # Pillow's own quantizers, and image files, need it
        quantizers = f"variance (the rest need Pillow: {install_hint('cli')})"
    print("quantizers:", quantizers)
    return 0


def _options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> DitherOptions:
    """DitherOptions from the arguments; usage errors, and anything the
    extension would refuse, end the command here with status 2."""
    from .matrices import MatrixFileError, load_matrix
    from .options import DitherOptions, check_options
    from .palettes import PaletteError, load_palette
    from .prepare import parse_size
    from .palette_making import MAX_COLORS, METHODS, PILLOW_MAX_COLORS, available_methods

    if args.jobs < 1:
        parser.error(f"--jobs must be at least 1, got {args.jobs}")
    if args.palette is not None and args.colors is not None:
        parser.error("pass either --palette or --colors, not both")
    quantizer = args.quantizer or DEFAULT_QUANTIZER
    if quantizer not in METHODS:
        parser.error(f"unknown quantizer {quantizer!r}; choose from {', '.join(METHODS)}")
    if quantizer not in available_methods():
        parser.error(f"this Pillow has no {quantizer}; choose from "
                     f"{', '.join(available_methods())}")
    top = MAX_COLORS if quantizer == "variance" else PILLOW_MAX_COLORS
    if args.colors is not None and not 2 <= args.colors <= top:
        parser.error(f"--colors must be between 2 and {top} (quantizer {quantizer}), "
                     f"got {args.colors}")
    if args.shared_palette and args.colors is None:
        parser.error("--shared-palette needs --colors N")
    if args.matrix is not None and args.method is not None:
        parser.error("--matrix is a custom ordered dither; drop --method")
    if args.scale is not None and not args.scale > 0:
        parser.error(f"--scale must be more than 0, got {args.scale}")
    if args.cluster is not None:
        _check_cluster(args, parser)
    if args.name is not None:
        from .files import check_name_pattern
        try:
            check_name_pattern(args.name)
        except ValueError as error:
            parser.error(str(error))
    try:
        resize = parse_size(args.resize) if args.resize else None
    except ValueError as error:
        parser.error(str(error))
    palette = _load(args.palette, load_palette, (ValueError, PaletteError), parser)
    matrix = _load(args.matrix, load_matrix, (ValueError, MatrixFileError), parser)
    # Nothing asked of the colours: black and white, what the examples
    # promise and what most people mean by dithering a photo (two levels
    # per channel of a colour photo would give eight colours).
    black_and_white = args.levels is None and palette is None and args.colors is None
    options = DitherOptions(
        method=args.method or "floyd_steinberg", matrix=matrix, levels=args.levels,
        palette=palette, colors=args.colors, quantizer=quantizer, strength=args.strength,
        linear=args.linear, serpentine=args.serpentine, seed=args.seed,
        unbounded=args.unbounded, alpha=args.alpha,
        grayscale=args.grayscale or black_and_white,
        resize=resize[:2] if resize else None, resize_fit=resize is not None and not resize[2],
        scale=args.scale, force=args.force, format=args.format,
        allow_lossy=args.allow_lossy, skip_existing=args.skip_existing,
        make_folders=args.mkdir, strip=args.strip, smallest=args.smallest)
    try:
        # The extension's own messages, e.g. the list of methods.
        check_options(options)
    except (ValueError, TypeError, OverflowError) as error:
        parser.error(str(error))
    if args.format is not None:
        from .files import format_for
        try:
            format_for("", args.format)
        except ValueError as error:
            parser.error(str(error))
    return options


def _load(text: str | None, loader: Callable[[str], Any], errors: tuple[type[Exception], ...],
          parser: argparse.ArgumentParser) -> Any:
    """loader(text), for an option naming a palette or matrix; a usage error
    if it cannot, but a refusal for a file that is there and cannot be read:
    the command line itself is fine."""
    if text is None:
        return None
    try:
        return loader(text)
    except errors as error:
        if os.path.isfile(text):
            raise _Refused(str(error)) from None
        parser.error(str(error))


def _option_warnings(args: argparse.Namespace, options: DitherOptions) -> Iterator[str]:
    """Options that the chosen method ignores: each a warning, not an
    error, since the result is still what the rest asks for."""
    from .options import bounds_error, dither_array, is_error_diffusion
    import numpy as np

    diffuses = options.matrix is None and is_error_diffusion(options.method)
    method = "--matrix" if options.matrix is not None else options.method
    if args.serpentine is not None and not diffuses:
        flag = "--serpentine" if args.serpentine else "--raster"
        yield (f"{flag} only changes error diffusion; {method} ignores it")
    def changes_with(name: str, values: tuple[Any, Any]) -> bool:
        """Whether the method gives other dots for the two values of a
        setting: asked of the method itself, on a small ramp."""
        probe = np.tile(np.linspace(0, 255, 16, dtype=np.uint8), (16, 1))
        probe = np.dstack([probe] * 3) if options.wants_palette else probe
        stand_in = ["#000000", "#ffffff"] if options.colors is not None else None
        first, other = (dither_array(probe, dataclasses.replace(options, **{name: value}), stand_in)
                        for value in values)
        return not np.array_equal(first, other)

    if args.seed is not None and not changes_with("seed", (1, 2)):
        yield f"--seed only changes random dither; {method} ignores it"
    # Ordered and random dither scale their thresholds by it, error
    # diffusion its error; plain thresholds don't.
    if args.strength is not None and not changes_with("strength", (0.5, 1.0)):
        yield f"--strength changes nothing that {method} does"
    if args.unbounded and not bounds_error(dataclasses.replace(options, unbounded=False),
                                           options.palette or (["#000000"] if options.colors else None)):
        yield ("--unbounded only changes error diffusion to a palette (-p, --colors);"
               " nothing here is bounded")
    if args.quantizer is not None and options.colors is None:
        yield f"--quantizer only changes --colors; {args.quantizer} makes no palette here"


def _check_cluster(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    try:
        import distributed  # noqa: F401
    except ImportError:
        parser.error(f"--cluster needs Dask: {install_hint('dask')}")
    from .cluster import parse_cluster
    try:
        parse_cluster(args.cluster)
    except ValueError as error:
        parser.error(f"--cluster: {error}")


def _plan(args: argparse.Namespace, parser: argparse.ArgumentParser, options: DitherOptions) -> Plan:
    """The planning.Plan of this command line, with what it finds to say
    said; usage errors end the command here with status 2."""
    from .encode import lossy_refusal
    from pathlib import Path

    from .files import missing_folder, unwritable_folder
    from .planning import PlanError, output_folders, output_formats, plan_jobs

    try:
        plan = plan_jobs(args.inputs, args.output, args.name, args.format, args.recursive,
                         read_stdin=sys.stdin.buffer.read, stdout=sys.stdout.buffer,
                         stdout_is_terminal=sys.stdout.isatty())
    except PlanError as error:
        parser.error(str(error))
    if plan.to_stdout and args.cluster is not None:
        parser.error("--cluster writes files; it cannot write to standard output")
    for folder in plan.empty_folders:
        nested = False
        with contextlib.suppress(OSError):
            nested = not args.recursive and any(entry.is_dir() for entry in os.scandir(folder))
        _warn(f"{folder}: no image files in this folder"
              + (" (-r looks into its sub-folders)" if nested else ""))
    if plan.skipped:
        first, maker = plan.skipped[0]
        more = len(plan.skipped) - 1
        _warn(f"skipped {first}, the output of {maker} under this run's names"
              + (f", and {more} more such" if more else "") + " (name them to dither them)")
    formats: Mapping[str, object] = output_formats(plan, args.format)
    if plan.to_stdout:
        formats = {(args.format or "PNG").upper(): "-"}
    for fmt, example in formats.items():
        refusal = lossy_refusal(fmt)
        if refusal and not args.allow_lossy:
            parser.error(f"{example}: {refusal}")
        if refusal:
            _warn(f"{example}: {fmt} is lossy: its compression smears the dither "
                  "(written because of --allow-lossy)")
    _plan_warnings(args, plan, formats)
    # A local run (or a cluster on this machine) writes here: an output
    # folder that cannot be written is found before any image is read.
    # A remote cluster's workers may see other folders than this machine.
    if args.cluster is None or args.cluster.startswith("local:"):
        if not plan.into_folder and not args.mkdir:
            # One named output: a missing folder is more likely a typo
            # than a wish, so it is made only when asked.
            for job in plan.jobs:
                missing = missing_folder(job.destination) if isinstance(job.destination, Path) else None
                if missing is not None:
                    raise _Refused(f"cannot write {job.destination}: folder {missing} does not exist"
                                   " (--mkdir makes it)")
        for out_folder in output_folders(plan):
            reason = unwritable_folder(out_folder)
            if reason:
                raise _Refused(reason)
    return plan


def _plan_warnings(args: argparse.Namespace, plan: Plan, formats: Mapping[str, object]) -> None:
    """Output options that this plan leaves with nothing to do."""
    from .encode import lossy_refusal

    if args.name is not None and not plan.into_folder and args.output is not None:
        _warn(f"--name only names outputs in a folder or beside their inputs; {args.output} is"
              " named already")
    if args.allow_lossy and not any(lossy_refusal(fmt) for fmt in formats):
        _warn("--allow-lossy changes nothing: no output is in a lossy format")
    if args.smallest and "PNG" not in formats:
        _warn("--smallest only changes PNG outputs, and none is a PNG")
    if args.mkdir and plan.into_folder:
        _warn("--mkdir changes nothing: a batch's output folder is always made")
    if args.recursive and not any(
            argument != "-" and os.path.isdir(argument) for argument in args.inputs):
        _warn("-r only looks into folders, and no input is a folder")


def _run(args: argparse.Namespace, options: DitherOptions, parser: argparse.ArgumentParser,
         signals: _Signals) -> int:
    from .batch import FileResult, dither_files, shared_palette
    from .progress import ProgressBar, human_bytes

    plan = _plan(args, parser, options)
    if plan.into_folder:
        # The batch's own output folder, and the sub-folders of -r, are made.
        options = dataclasses.replace(options, make_folders=True)
    jobs = plan.jobs
    failures = [FileResult(input=m, output=None, error="no such file or directory")
                for m in plan.missing]
    signals.destinations = [job.destination for job in jobs]
    to_stdout = plan.to_stdout
    report = sys.stderr if to_stdout else sys.stdout
    if args.shared_palette and jobs:
        palette, _ = shared_palette([job.source for job in jobs], options, args.jobs)
        if palette is not None:
            # The palette is made; the defaults of --colors stay.
            options = dataclasses.replace(options, palette=palette, colors=None,
                                          strength=options.chosen_strength,
                                          serpentine=options.chosen_serpentine)
    total = len(jobs) + len(failures)
    bar = (ProgressBar(total, sys.stderr)
           if sys.stderr.isatty() and not args.quiet and not args.json else None)
    counts = {"ok": 0, "failed": 0, "skipped": 0, "interrupted": 0, "in": 0, "out": 0}

    def show(result: FileResult) -> None:
        if bar:
            bar.advance(failed=not result.ok)
        interrupted = result.error == "interrupted"
        counts["interrupted"] += interrupted
        for warning in result.warnings:
            _warn(f"{result.input}: {warning}", bar)
        if args.json:
            print(json.dumps(result.as_dict()), file=report, flush=True)
        if result.skipped:
            counts["ok"] += 1
            counts["skipped"] += 1
            if not args.quiet and not args.json:
                _say(bar, f"{result.input}: skipped, {result.output} exists", report)
        elif result.ok:
            counts["ok"] += 1
            counts["in"] += result.input_bytes or 0
            counts["out"] += result.output_bytes or 0
            if not args.quiet and not args.json:
                # No sizes for an output a cluster's worker wrote but died
                # before reporting.
                sizes = ""
                if result.input_bytes is not None and result.output_bytes is not None:
                    sizes = (f"  {human_bytes(result.input_bytes)} -> {human_bytes(result.output_bytes)}"
                             f"{_saved(result.input_bytes, result.output_bytes)}")
                line = f"{result.input} -> {result.output}{sizes}  {result.seconds:.2f} s"
                _say(bar, line, report)
        else:
            counts["failed"] += 1
            # A failure is said on standard error beside its JSON object;
            # an interrupted file is not: the last line says what the
            # interruption left, and JSON readers find each file once.
            if not (interrupted and args.json):
                _say(bar, f"{result.input}: {result.error}", sys.stderr)

    start = time.perf_counter()
    try:
        for result in failures:
            show(result)
        signals.batch_running = True
        if args.cluster is not None:
            from .cluster import dither_files_on_cluster
            batch = dither_files_on_cluster(jobs, options, args.cluster, stop=signals.stop)
        else:
            batch = dither_files(jobs, options, workers=args.jobs, stop=signals.stop)
        with contextlib.closing(batch) as results:
            for result in results:
                show(result)
    finally:
        signals.batch_running = False
        if bar:
            bar.close()
    if signals.received is not None:
        # Each file that was reported, once, by what befell it; the rest
        # never started.
        reported = counts["ok"] + counts["failed"]
        done = counts["ok"] - counts["skipped"]
        parts = [f"{done} written"] + [f"{counts[k]} {k}" for k in ("skipped", "interrupted") if counts[k]]
        failed = counts["failed"] - counts["interrupted"]
        parts += [f"{failed} failed"] if failed else []
        parts += [f"{total - reported} not started"] if total > reported else []
        print(f"dither: interrupted ({', '.join(parts)} of {total} files)", file=sys.stderr)
        return 128 + signals.received
    if not args.quiet and not args.json and total > 1:
        elapsed = time.perf_counter() - start
        dithered = counts["ok"] - counts["skipped"]
        print(f"dithered {dithered} of {total} files in {elapsed:.2f} s"
              f" ({dithered / max(elapsed, 1e-9):.1f} files/s):"
              f" {human_bytes(counts['in'])} -> {human_bytes(counts['out'])}"
              f"{_saved(counts['in'], counts['out'])}"
              + (f"; {counts['skipped']} skipped (outputs there already)" if counts["skipped"] else "")
              + (f"; {counts['failed']} failed" if counts["failed"] else ""), file=sys.stderr)
    return 1 if counts["failed"] else 0


def _say(bar: ProgressBar | None, line: str, stream: TextIO) -> None:
    if bar:
        bar.print_above(line, stream)
    else:
        print(line, file=stream, flush=True)


def _saved(before: int, after: int) -> str:
    if not before:
        return ""
    change = (after - before) / before * 100
    return f" (saved {-change:.0f}%)" if change <= 0 else f" ({change:+.0f}%)"
