"""What goes where: the inputs a command line names and the output each
one is written to, before any image is read."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import BinaryIO

from .batch import Job
from .files import InputFile, file_identity, find_inputs, format_for, output_path

# Output names: without -o, beside each input; with -o FOLDER, in it.
DEFAULT_NAMES = ("{stem}-dithered.png", "{stem}.png")


class PlanError(ValueError):
    """Inputs and outputs that do not fit together (a usage error)."""


@dataclasses.dataclass
class Plan:
    jobs: list[Job]                 # Job per input to dither
    missing: list[str]              # arguments that named no file
    to_stdout: bool = False         # the one image goes to standard output
    # (input, the input whose output it is): files found in folders that
    # are this run's own outputs, from an earlier run, left out.
    skipped: list[tuple[Path, Path]] = dataclasses.field(default_factory=list)
    empty_folders: list[str] = dataclasses.field(default_factory=list)
    # The outputs go into the output folder given (made if missing), under
    # names from the name pattern; false: beside each input, to one named
    # file, or to standard output.
    into_folder: bool = False


def plan_jobs(arguments: Sequence[str], output: str | None = None, name: str | None = None,
              fmt: str | None = None, recursive: bool = False, read_stdin: Callable[[], bytes] = bytes,
              stdout: BinaryIO | None = None, stdout_is_terminal: bool = False) -> Plan:
    """The Plan for input `arguments` (files, folders, patterns, '-') and
    `output` (a file, a folder, '-' or None: beside each input), with
    output names from pattern `name` and format `fmt` (None: from each
    output's extension). `read_stdin()` gives standard input's bytes, read
    only if '-' is an input; `stdout` is the stream an image written to
    standard output goes to. Raises PlanError for what cannot work."""
    empty: list[str] = []
    items, missing = find_inputs(arguments, recursive, empty)
    plan = Plan([], missing, empty_folders=empty)
    count = len(items) + len(missing)
    plan.to_stdout = output == "-" or bool(
        output is None and items and all(item.path is None for item in items))
    if plan.to_stdout:
        if count != 1:
            raise PlanError("standard output takes exactly one input")
        if stdout_is_terminal:
            raise PlanError("refusing to write an image to a terminal; redirect standard output"
                            " or use -o FILE")
    stdin_bytes = read_stdin() if any(item.path is None for item in items) else None

    def source(item: InputFile) -> Path | bytes:
        if item.path is not None:
            return item.path
        assert stdin_bytes is not None  # read above: an input is '-'
        return stdin_bytes

    if plan.to_stdout:
        assert stdout is not None, "an image for standard output needs `stdout`"
        plan.jobs = [Job(source(item), stdout, item.label) for item in items]
        return plan
    into_folder = output is not None and (
        Path(output).is_dir() or output.endswith(("/", os.sep)) or count > 1
        or any(item.root is not None for item in items)
        or any(argument != "-" and Path(argument).is_dir() for argument in arguments))
    if output is not None and not into_folder:
        try:
            format_for(output, fmt)
        except ValueError as error:
            raise PlanError(str(error)) from None
        plan.jobs = [Job(source(item), Path(output), item.label) for item in items[:1]]
        return plan
    plan.into_folder = output is not None
    pattern = name or DEFAULT_NAMES[output is not None]
    if "{ext}" not in pattern and "{suffix}" not in pattern and fmt is None:
        try:
            format_for(pattern.format(stem="x", ext="", suffix=""))
        except ValueError as error:
            raise PlanError(str(error)) from None
    named = [item if item.path is not None else InputFile(Path("stdin")) for item in items]
    outputs = [output_path(item, output, pattern) for item in named]
    maker_of: dict[tuple[int, int] | str, InputFile] = {}
    for item, out in zip(items, outputs):
        if item.path is not None:
            maker_of.setdefault(file_identity(out), item)
    for item, out in zip(items, outputs):
        # A file found in a folder that this run names as another input's
        # output is that input's earlier result ('a-dithered.png' beside
        # 'a.png'), not a picture of its own: dithering it again would
        # make 'a-dithered-dithered.png'. Same stems ('a.png' and 'a.jpg'
        # into 'a.png') are two pictures: the overwrite refusals see them.
        if item.root is not None and item.path is not None:
            maker = maker_of.get(file_identity(item.path))
            if (maker is not None and maker is not item and maker.path is not None
                    and maker.path.stem != item.path.stem):
                plan.skipped.append((item.path, maker.path))
                continue
        plan.jobs.append(Job(source(item), out, item.label))
    return plan


def output_formats(plan: Plan, fmt: str | None = None) -> dict[str, Path]:
    """{Pillow format: first output path} of the plan's file outputs, for
    those whose format can be told (the others fail on their own)."""
    formats: dict[str, Path] = {}
    for job in plan.jobs:
        if isinstance(job.destination, Path):
            try:
                formats.setdefault(format_for(job.destination, fmt), job.destination)
            except ValueError:
                pass
    return formats


def output_folders(plan: Plan) -> list[Path]:
    """The distinct folders the plan writes files into, in order."""
    return list(dict.fromkeys(job.destination.parent for job in plan.jobs
                              if isinstance(job.destination, Path)))
