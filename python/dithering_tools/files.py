"""Files in and out: finding the inputs, naming the outputs, and writing
each output through a temporary file so that no half-written image is ever
left under an output's name."""

import dataclasses
import errno
import glob
import os
import re
import string
import tempfile
from pathlib import Path

from PIL import Image

DEFAULT_NAME_BESIDE = "{stem}-dithered.png"   # no -o: beside each input
DEFAULT_NAME_IN_DIR = "{stem}.png"            # -o DIR
NAME_FIELDS = {"stem", "ext"}
_GLOB_CHARACTERS = re.compile(r"[*?[]")


@dataclasses.dataclass(frozen=True)
class InputFile:
    """One input: a path (None for standard input) and, for files found in
    a folder, that folder, so outputs can keep the relative layout."""
    path: Path | None
    root: Path | None = None

    @property
    def label(self):
        return "-" if self.path is None else str(self.path)


def image_extensions():
    """Extensions Pillow can open, lower case with the dot."""
    Image.init()
    return {ext for ext, fmt in Image.registered_extensions().items() if fmt in Image.OPEN}


def find_inputs(arguments, recursive=False):
    """(inputs, missing): the files named by `arguments` (files, folders,
    glob patterns, '-'), in order without repeats, and the arguments that
    named nothing. Files found in folders are kept only if Pillow knows
    their extension; files named explicitly are always tried."""
    extensions = image_extensions()
    found, missing, seen = [], [], set()

    def add(item):
        key = os.path.realpath(item.path) if item.path else "-"
        if key not in seen:
            seen.add(key)
            found.append(item)

    for argument in arguments:
        if argument == "-":
            add(InputFile(None))
            continue
        path = Path(argument)
        if path.is_dir():
            pattern = "**/*" if recursive else "*"
            for child in sorted(path.glob(pattern)):
                if child.is_file() and child.suffix.lower() in extensions:
                    add(InputFile(child, path))
        elif path.exists() or not _GLOB_CHARACTERS.search(argument):
            add(InputFile(path))
        else:
            matches = sorted(glob.glob(argument, recursive=True))
            files = [Path(m) for m in matches if Path(m).is_file()]
            if not files:
                missing.append(argument)
            for child in files:
                add(InputFile(child))
    return found, missing


def check_name_pattern(pattern):
    """Raises ValueError for a pattern naming a field other than {stem} and {ext}."""
    for _, field, _, _ in string.Formatter().parse(pattern):
        if field is not None and field not in NAME_FIELDS:
            raise ValueError(f"unknown field {{{field}}} in --name {pattern!r};"
                             " use {stem} and {ext}")


def output_path(item, folder, pattern):
    """Where `item`'s output goes: `folder` (None: beside the input), under
    the input's path relative to the folder it was found in."""
    source = item.path
    name = pattern.format(stem=source.stem, ext=source.suffix.lstrip("."))
    if folder is None:
        return source.with_name(name)
    relative = source.parent.relative_to(item.root) if item.root else Path()
    return Path(folder) / relative / name


def format_for(path, override=None):
    """Pillow's format name for writing `path`: `override`, else from the extension."""
    if override:
        fmt = override.upper()
        fmt = {"JPG": "JPEG", "TIF": "TIFF"}.get(fmt, fmt)
        Image.init()
        if fmt not in Image.SAVE:
            raise ValueError(f"Pillow cannot write {override!r} images")
        return fmt
    Image.init()
    fmt = Image.registered_extensions().get(Path(path).suffix.lower())
    if fmt is None or fmt not in Image.SAVE:
        raise ValueError(f"{path}: cannot tell an image format Pillow writes from its extension"
                         " (use .png, .gif, .bmp, .tif, .webp, .jpg, or --format)")
    return fmt


def file_identity(path):
    """What makes two names the same file (hard links included), or the
    resolved path of a file that does not exist."""
    try:
        st = os.stat(path)
        return (st.st_dev, st.st_ino)
    except OSError:
        return os.path.realpath(path)


def _current_umask():
    # Read, not set: setting it to read it back would race with other threads.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_FILE_MODE = 0o666 & ~_current_umask()


class Interrupted(Exception):
    """The batch was stopped before this output was put in place."""


def write_atomically(destination, write, force=False, stop=None):
    """Calls write(binary_file) on a temporary file beside `destination` and
    only then gives it the final name, so an interrupted or failed write
    (Ctrl-C, kill, a full disk) never leaves a partial image there. Without
    `force`, an existing file is never replaced, not even one that appears
    while writing. Returns the number of bytes written."""
    destination = Path(destination)
    if not force and destination.exists():
        raise FileExistsError(f"{destination} exists (use --force to overwrite)")
    destination.parent.mkdir(parents=True, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=f".{destination.name}.", suffix=".part",
                                     dir=destination.parent)
    try:
        with os.fdopen(fd, "wb") as out:
            write(out)
            size = out.tell()
        os.chmod(temporary, _FILE_MODE)  # mkstemp makes it private
        if stop is not None and stop.is_set():
            raise Interrupted("interrupted")
        if force:
            os.replace(temporary, destination)
        else:
            _rename_without_replacing(temporary, destination)
        return size
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def _rename_without_replacing(temporary, destination):
    try:
        # A hard link fails if the name exists: the check and the rename are one step.
        os.link(temporary, destination)
    except FileExistsError:
        raise FileExistsError(f"{destination} exists (use --force to overwrite)") from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EXDEV, errno.EMLINK):
            raise
        # A file system without hard links: check, then rename.
        if destination.exists():
            raise FileExistsError(f"{destination} exists (use --force to overwrite)") from None
        os.replace(temporary, destination)
        return
    os.unlink(temporary)
