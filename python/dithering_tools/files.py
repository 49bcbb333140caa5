"""Files in and out: finding the inputs, naming the outputs, and writing
each output through a temporary file so that no half-written image is ever
left under an output's name."""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import glob
import os
import re
import socket
import string
import tempfile
import time
from pathlib import Path
from typing import TYPE_CHECKING, BinaryIO

from PIL import Image

if TYPE_CHECKING:
    import threading
    from collections.abc import Callable, Iterable

DEFAULT_NAME_BESIDE = "{stem}-dithered.png"   # no -o: beside each input
DEFAULT_NAME_IN_DIR = "{stem}.png"            # -o DIR
# {ext}: the input's extension without its dot ('{stem}.{ext}' keeps the
# input's format); {suffix}: with it, empty for a name without one.
NAME_FIELDS = {"stem", "ext", "suffix"}
_GLOB_CHARACTERS = re.compile(r"[*?[]")


@dataclasses.dataclass(frozen=True)
class InputFile:
    """One input: a path (None for standard input) and, for files found in
    a folder, that folder, so outputs can keep the relative layout."""
    path: Path | None
    root: Path | None = None

    @property
    def label(self) -> str:
        return "-" if self.path is None else str(self.path)


def image_extensions() -> set[str]:
    """Extensions Pillow can open, lower case with the dot."""
    Image.init()
    return {ext for ext, fmt in Image.registered_extensions().items() if fmt in Image.OPEN}


def find_inputs(arguments: Iterable[str], recursive: bool = False, empty_folders: list[str] | None = None,
                ) -> tuple[list[InputFile], list[str]]:
    """(inputs, missing): the files named by `arguments` (files, folders,
    glob patterns, '-'), in order without repeats, and the arguments that
    named nothing. Files found in folders are kept only if Pillow knows
    their extension; files named explicitly are always tried. Folders that
    gave no image are appended to `empty_folders` when it is a list."""
    extensions = image_extensions()
    found: list[InputFile] = []
    missing: list[str] = []
    seen: set[str] = set()

    def add(item: InputFile) -> None:
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
            images = [child for child in sorted(path.glob(pattern))
                      if child.is_file() and child.suffix.lower() in extensions]
            if not images and empty_folders is not None:
                empty_folders.append(argument)
            for child in images:
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


def check_name_pattern(pattern: str) -> None:
    """Raises ValueError for a pattern naming a field other than {stem},
    {ext} and {suffix}, or ending in {ext} glued to the text before it
    ('{stem}{ext}' would name 'photojpg', a file without an extension)."""
    try:
        parsed = list(string.Formatter().parse(pattern))
    except ValueError as error:
        raise ValueError(f"--name {pattern!r}: {error}") from None
    for _, field, formatting, conversion in parsed:
        if field is not None and (field not in NAME_FIELDS or formatting or conversion):
            raise ValueError(f"unknown field {{{field}}} in --name {pattern!r};"
                             " use {stem}, {ext} and {suffix}")
    if pattern.endswith("{ext}") and not pattern.endswith(".{ext}"):
        raise ValueError(f"--name {pattern!r}: {{ext}} is the extension without its dot;"
                         " write '.{ext}', or {suffix} for the extension with its dot")


def output_name(source: str | os.PathLike[str], pattern: str) -> str:
    """The output's file name for input path `source`."""
    source = Path(source)
    return pattern.format(stem=source.stem, ext=source.suffix.lstrip("."), suffix=source.suffix)


def output_path(item: InputFile, folder: str | os.PathLike[str] | None, pattern: str) -> Path:
    """Where `item`'s output goes: `folder` (None: beside the input), under
    the input's path relative to the folder it was found in."""
    source = item.path
    assert source is not None  # standard input is named by the caller
    name = output_name(source, pattern)
    if folder is None:
        return source.with_name(name)
    relative = source.parent.relative_to(item.root) if item.root else Path()
    return Path(folder) / relative / name


def format_for(path: str | os.PathLike[str], override: str | None = None) -> str:
    """Pillow's format name for writing `path`: `override`, else from the extension."""
    fmt: str | None
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


def file_identity(path: str | os.PathLike[str]) -> tuple[int, int] | str:
    """What makes two names the same file (hard links included), or the
    resolved path of a file that does not exist."""
    try:
        st = os.stat(path)
        return (st.st_dev, st.st_ino)
    except OSError:
        return os.path.realpath(path)


def _current_umask() -> int:
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


# Temporary files are named '.NAME.HOST-PID-RANDOM.part': beside the output
# NAME they stand for, hidden, and telling which process wrote them, so a
# later run can tell one left by a killed process from one still being
# written. The host is kept to letters, digits and '_' so the name parses.
_HOST = re.sub(r"\W", "_", socket.gethostname()) or "host"
_TEMPORARY = re.compile(r"\.(?P<name>.+)\.(?:(?P<host>\w+)-(?P<pid>\d+)-)?[^.]+\.part")
# A temporary nobody has touched for this long is no write in progress.
STALE_SECONDS = 3600


def _temporary_prefix(name: str) -> str:
    return f".{name}.{_HOST}-{os.getpid()}-"


def _writer_is_gone(host: str | None, pid: str | int) -> bool:
    if host != _HOST:
        return False
    try:
        pid = int(pid)
    except ValueError:
        return False
    if os.name == "nt":
        return _windows_process_is_gone(pid)
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except (OSError, OverflowError, ValueError):
        return False
    return False


def _windows_process_is_gone(pid: int) -> bool:
    """Whether no process `pid` runs, asked of Windows itself: os.kill(pid, 0)
    is no question there (0 is CTRL_C_EVENT, which it would send). When in
    doubt, the process runs: its temporary is left for STALE_SECONDS."""
    if not 0 < pid <= 0xFFFFFFFF:   # no such id; ctypes would wrap it onto another
        return False
    import ctypes
    from ctypes import wintypes
    query_limited_information, still_active, invalid_parameter = 0x1000, 259, 87
    # Windows' own names: a type check for another system does not know them.
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)  # type: ignore[attr-defined,unused-ignore]
    kernel32.OpenProcess.restype = wintypes.HANDLE
    kernel32.OpenProcess.argtypes = (wintypes.DWORD, wintypes.BOOL, wintypes.DWORD)
    kernel32.GetExitCodeProcess.argtypes = (wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD))
    kernel32.CloseHandle.argtypes = (wintypes.HANDLE,)
    handle = kernel32.OpenProcess(query_limited_information, False, pid)
    if not handle:
        # No such process; anything else (access denied) means it exists.
        return bool(ctypes.get_last_error() == invalid_parameter)  # type: ignore[attr-defined,unused-ignore]
    try:
        code = wintypes.DWORD()
        if not kernel32.GetExitCodeProcess(handle, ctypes.byref(code)):
            return False
        return code.value != still_active
    finally:
        kernel32.CloseHandle(handle)


def remove_stale_temporaries(destinations: Iterable[object], everyone: bool = False, own: bool = False,
                             older_than: float = STALE_SECONDS) -> int:
    """Removes the temporary files that writes of `destinations` (paths)
    left behind when their process was killed: those of a process of this
    machine that no longer runs, those untouched for `older_than` seconds,
    with `own` this process's (it is about to end), and with `everyone`
    all of them (a cluster's batch, once its tasks are over). Other files,
    and temporaries of other names, are left alone. Reads each folder
    once; returns how many it removed."""
    names_by_folder: dict[Path, set[str]] = {}
    for destination in destinations:
        if isinstance(destination, Path):
            names_by_folder.setdefault(destination.parent, set()).add(destination.name)
    removed = 0
    now = time.time()
    for folder, names in names_by_folder.items():
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue
        for entry in entries:
            match = _TEMPORARY.fullmatch(entry.name)
            if match is None or match["name"] not in names:
                continue
            mine = match["host"] == _HOST and match["pid"] == str(os.getpid())
            stale = everyone or (own and mine) or (
                match["pid"] is not None and _writer_is_gone(match["host"], match["pid"]))
            if not stale:
                with contextlib.suppress(OSError):
                    stale = now - entry.stat(follow_symlinks=False).st_mtime > older_than
            if stale:
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)
                    removed += 1
    return removed


def unwritable_folder(folder: str | os.PathLike[str]) -> str | None:
    """Why no file can be written into `folder` (made if missing), or None:
    checked on the folder, or on its nearest existing parent."""
    probe = Path(folder)
    while not probe.exists() and probe.parent != probe:
        if probe.is_symlink():
            return f"cannot write into {folder}: {probe} is a broken link"
        probe = probe.parent
    if not probe.is_dir():
        return f"cannot write into {folder}: {probe} is not a folder"
    if not os.access(probe, os.W_OK | os.X_OK):
        return f"cannot write into {folder}: permission denied"
    return None


class WriteError(OSError):
    """A write of an output that failed: the error names that output,
    never the temporary file it was being written through, whose name
    means nothing to the user."""


def _naming(error: OSError, destination: Path) -> OSError:
    """`error`, raised while writing `destination` through a temporary file
    beside it, as a WriteError about `destination`."""
    if error.strerror is None:
        return error
    return WriteError(error.errno, error.strerror, str(destination))


def missing_folder(destination: str | os.PathLike[str]) -> Path | None:
    """The folder `destination` would be written into, if it does not exist."""
    folder = Path(destination).parent
    return None if folder.is_dir() else folder


def write_atomically(destination: str | os.PathLike[str], write: Callable[[BinaryIO], object],
                     force: bool = False, stop: threading.Event | None = None,
                     make_folders: bool = True) -> int:
    """Calls write(binary_file) on a temporary file beside `destination` and
    only then gives it the final name, so an interrupted or failed write
    (Ctrl-C, kill, a full disk) never leaves a partial image there. Without
    `force`, an existing file is never replaced, not even one that appears
    while writing. Missing folders on the way are made, unless
    `make_folders` is false. Errors of the file system are WriteErrors
    naming `destination`. Returns the number of bytes written."""
    destination = Path(destination)
    if not force and destination.exists():
        raise FileExistsError(f"{destination} exists (use --force to overwrite)")
    try:
        if make_folders:
            try:
                destination.parent.mkdir(parents=True, exist_ok=True)
            except FileExistsError as error:
                # A file where a folder on the way should be. Not the output
                # existing, which callers answer with --force or
                # --skip-existing: neither would help here.
                raise NotADirectoryError(errno.ENOTDIR,
                                         f"{error.filename} is a file, not a folder") from None
        elif not destination.parent.is_dir():
            raise FileNotFoundError(errno.ENOENT, f"folder {destination.parent} does not exist")
        fd, temporary = tempfile.mkstemp(prefix=_temporary_prefix(destination.name),
                                         suffix=".part", dir=destination.parent)
    except OSError as error:
        raise _naming(error, destination) from None
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
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError) and not isinstance(error, FileExistsError):
            raise _naming(error, destination) from None
        raise


def _rename_without_replacing(temporary: str, destination: Path) -> None:
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
