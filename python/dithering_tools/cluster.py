"""The batch engine on a Dask cluster: one task per file, which reads,
dithers and writes on whichever worker runs it, and one FileResult per file
back, as from the local batch (dither_files).

    from dithering_tools.cluster import dither_files_on_cluster
    for result in dither_files_on_cluster(jobs, options, "tcp://scheduler:8786"):
        print(result.input, result.ok, result.error)

`cluster` is a distributed.Client, a scheduler's address, or 'local:N' (a
LocalCluster of N single-threaded worker processes on 127.0.0.1, closed
when the batch ends). Sources and destinations are paths every worker can
reach (a shared file system) or, with fsspec installed, URLs such as
's3://bucket/a.png'; a source may also be the bytes of an image, sent with
its task.

A worker that dies costs only its unfinished files: the scheduler runs
them again elsewhere (up to its distributed.scheduler.allowed-failures
setting, then the file fails with a message saying so). Every output is
written under a temporary name and then renamed, so a killed task never
leaves a partial image under an output's name, and a task that runs twice
writes the same bytes: when the second run finds the output already there
with exactly its bytes, that was its own earlier run, and it succeeds.
Outputs that existed before the batch are refused (without `force`) before
any task starts, as in the local batch.

Needs distributed (`pip install 'dithering-exact[dask]'`).
"""

from __future__ import annotations

import contextlib
import dataclasses
import io
import os
import posixpath
import time
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, BinaryIO, cast

from .batch import FileResult, Job, _reason, _refusals, dither_file
from .files import format_for, remove_stale_temporaries, write_atomically

if TYPE_CHECKING:
    import threading
    from collections.abc import Generator, Iterable, Iterator, Sequence
    from typing import Any, TypeGuard, TypeVar

    from distributed import Client as _Client, Future as _Future

    from .options import DitherOptions

    _Location = TypeVar("_Location", bound="Path | str | bytes | BinaryIO")

LOCAL_PREFIX = "local:"
# Run by every worker process of a local:N cluster as it starts (Dask's
# preload): see worker_setup.
WORKER_PRELOAD = "dithering_tools.cluster_worker"


def parse_cluster(text: str) -> str:
    """Checks a --cluster argument: 'local:N' (N >= 1) or a scheduler
    address (tcp://host:port, host:port, or another of Dask's protocols).
    Raises ValueError with what is wrong."""
    if text.startswith(LOCAL_PREFIX):
        count = text[len(LOCAL_PREFIX):]
        if not count.isdigit() or int(count) < 1:
            raise ValueError(f"expected local:N with N worker processes (N >= 1), got {text!r}")
        return text
    if not text.strip():
        raise ValueError("expected a scheduler address (tcp://host:8786) or local:N")
    # Dask's own parsing, so that what passes here is what Client accepts:
    # 'bogus' is a tcp address without its port.
    from distributed.comm.addressing import parse_address, parse_host_port
    try:
        scheme, location = parse_address(text)
        if scheme in ("tcp", "tls", "ws", "wss"):
            parse_host_port(location)
    except ValueError as error:
        raise ValueError(f"{text!r} is not a scheduler address (tcp://host:8786) or "
                         f"local:N: {error}") from None
    return text


@contextlib.contextmanager
def connect(cluster: _Client | str) -> Iterator[_Client]:
    """A distributed.Client for `cluster` (see the module's docstring). A
    Client passed in is used as it is and left open; one made here is
    closed on exit, with its LocalCluster."""
    from distributed import Client, LocalCluster

    if isinstance(cluster, Client):
        yield cluster
        return
    parse_cluster(cluster)
    if cluster.startswith(LOCAL_PREFIX):
        # Processes, not threads: each has its own interpreter, so Pillow's
        # work outside its released sections runs in parallel on a GIL
        # build too. Everything on the loopback; the scheduler's HTTP
        # server (always started) on a free port, not a fixed one that a
        # second cluster on the machine would find taken.
        # No statistical profiler, in the scheduler or the workers: it
        # samples other threads' stacks every 10 ms, CPU time the batch
        # wants, and on free-threaded CPython it reads frames changing
        # under it (seen raising, and now and then crashing the process).
        # The workers inherit this configuration.
        import dask

        workers = int(cluster[len(LOCAL_PREFIX):])
        what = f"a local Dask cluster of {workers} worker{'s' if workers != 1 else ''}"
        stack = contextlib.ExitStack()
        try:
            stack.enter_context(dask.config.set({"distributed.worker.profile.enabled": False}))
            local = stack.enter_context(
                LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                             host="127.0.0.1", dashboard_address=":0",
                             preload=[WORKER_PRELOAD]))
            client = stack.enter_context(Client(local))
        except Exception as error:  # "Cluster failed to start", a timeout, no free port...
            stack.close()
            raise ConnectionError(f"cannot start {what}: {error}") from error
        with stack:
            yield client
            # Reached when the batch went well: a failure to close is then
            # the caller's error, named as such, not a traceback.
            try:
                stack.close()
            except Exception as error:
                raise ConnectionError(f"cannot close {what}: {error}") from error
        return
    try:
        client = Client(cluster)
    except (OSError, ValueError) as error:  # refused, timed out, unknown host, bad address
        raise ConnectionError(f"cannot reach the Dask scheduler at {cluster}: {error}") from None
    with client:
        yield client


def dither_files_on_cluster(jobs: Iterable[Job], options: DitherOptions, cluster: _Client | str,
                            stop: threading.Event | None = None) -> Generator[FileResult, None, None]:
    """Dithers every job on `cluster` and yields a FileResult per job as
    each finishes. At most a few tasks per worker thread are submitted at
    once, so a batch of millions of files costs the scheduler and this
    process little memory. Closing the iterator early, or setting `stop`,
    submits nothing more and cancels the tasks not yet finished; tasks
    already writing on a remote cluster may still put their outputs in
    place, always complete."""
    jobs = list(jobs)
    runnable, early = _check_jobs(jobs, options)
    yield from early
    if not runnable or (stop is not None and stop.is_set()):
        return
    try:
        with connect(cluster) as client:
            yield from _run(client, runnable, options, stop)
    finally:
        # Every task is over: whatever temporary is left beside these
        # outputs was a killed task's.
        remove_stale_temporaries((job.destination for _, job in runnable), everyone=True)


def _run(client: _Client, runnable: Sequence[tuple[Job, Job]], options: DitherOptions,
         stop: threading.Event | None) -> Iterator[FileResult]:
    from distributed import as_completed

    window = max(8, 4 * sum(client.nthreads().values()))
    queue = iter(runnable)
    jobs_of: dict[object, tuple[Job, Job]] = {}
    futures = as_completed()

    def submit_next() -> None:
        item = next(queue, None)
        if item is None:
            return
        future = client.submit(dither_on_worker, item[1], options, pure=False,
                               key=f"dither-file-{uuid.uuid4().hex}")
        jobs_of[future.key] = item
        futures.add(future)

    for _ in range(window):
        submit_next()
    try:
        while not futures.is_empty():
            if stop is not None:
                # In short waits, not parked in as_completed's own: a stop
                # (Ctrl-C, SIGTERM) ends the batch even when no result will
                # ever come, as when the workers died of the same Ctrl-C.
                if stop.is_set():
                    return
                if not futures.has_ready():
                    stop.wait(0.05)
                    continue
            future = next(futures)
            result = _outcome(future, *jobs_of.pop(future.key), options.force)
            future.release()
            yield result
            if stop is not None and stop.is_set():
                return
            submit_next()
    finally:
        unfinished = [f for f in futures.futures if not f.done()]
        if unfinished:
            client.cancel(unfinished)


def _outcome(future: _Future, job: Job, sent: Job, force: bool) -> FileResult:
    """The task's FileResult, named as the caller named the files (`job`,
    not the absolute paths `sent` to the worker), or a failed one for a
    task that did not return."""
    from distributed import KilledWorker

    named: dict[str, Any] = dict(input=_input_text(job), output=_destination_text(job))
    try:
        result: FileResult = future.result()
    except KilledWorker:
        # A worker can die after putting an output in place and before
        # reporting it. Without --force every output was absent when the
        # batch started, so one there now is this task's, and complete:
        # outputs only ever appear by a rename.
        if not force and isinstance(sent.destination, (str, Path)) and _exists(sent.destination):
            return FileResult(**named, ok=True)
        return FileResult(**named, error="every worker that ran this file died (the "
                          "scheduler's distributed.scheduler.allowed-failures was reached)")
    except Exception as error:  # a cancelled task, a lost scheduler
        return FileResult(**named, error=_reason(error))
    message = result.error
    if message is not None:
        for absolute, given in ((sent.source, job.source), (sent.destination, job.destination)):
            if isinstance(absolute, Path):
                message = message.replace(str(absolute), str(given))
    return dataclasses.replace(result, error=message, **named)


def dither_on_worker(job: Job, options: DitherOptions) -> FileResult:
    """The task: reads, dithers and writes one file on a worker. Never
    raises; a failure is the result of its file."""
    start = time.perf_counter()
    destination = cast("Path | str", job.destination)  # _check_jobs sends only these
    result = FileResult(input=job.label, output=str(destination))
    try:
        fmt = format_for(_name_of(destination), options.format)
        source = _read_url(job.source) if _is_url(job.source) else job.source
    except Exception as error:
        result.error = _reason(error)
        return result
    encoded = io.BytesIO()
    result = dither_file(Job(source, encoded, job.label),
                         dataclasses.replace(options, format=fmt))
    result.output = str(destination)
    if result.ok:
        data = encoded.getbuffer()
        try:
            if _is_url(destination):
                _write_url_atomically(destination, data, options.force)
            else:
                write_atomically(destination, lambda out: out.write(data), options.force,
                                 make_folders=options.make_folders)
        except FileExistsError as error:
            # Outputs there before the batch were refused before it
            # started; this one was put in place by an earlier run of
            # this same task (whose worker died before reporting), unless
            # its bytes differ.
            if not _holds(destination, data):
                result.ok, result.error = False, _reason(error)
        except Exception as error:
            result.ok, result.error = False, _reason(error)
        result.output_bytes = len(data) if result.ok else None
    result.seconds = time.perf_counter() - start
    return result


def _check_jobs(jobs: Sequence[Job], options: DitherOptions,
                ) -> tuple[list[tuple[Job, Job]], list[FileResult]]:
    """([(the caller's job, the job sent to a worker)], [FileResult of each
    job refused here]). Refused: an output that is one of the inputs or
    another job's output, that is no file (a stream), or, without
    options.force, that exists already (with options.skip_existing, a
    skipped result instead)."""
    located = [Job(_location(job.source), _location(job.destination), _input_text(job))
               for job in jobs]
    local = [i for i, job in enumerate(located) if isinstance(job.destination, Path)]
    reasons = {local[i]: reason
               for i, reason in _refusals([located[i] for i in local]).items()}
    url_sources = {job.source for job in located if _is_url(job.source)}
    claimed_urls: dict[str, str] = {}
    runnable: list[tuple[Job, Job]] = []
    refused: list[FileResult] = []
    for index, (job, sent) in enumerate(zip(jobs, located)):
        reason = reasons.get(index)
        destination = sent.destination
        if not isinstance(destination, (str, Path)):
            reason = "a cluster writes files: give each job an output path or URL"
        elif reason is None and _is_url(destination):
            if destination in url_sources:
                reason = f"refusing to overwrite an input: {destination}"
            elif destination in claimed_urls:
                reason = f"{destination} is also the output of {claimed_urls[destination]}"
            claimed_urls.setdefault(destination, sent.label)
        if (reason is None and not options.force and isinstance(destination, (str, Path))
                and _exists(destination)):
            if options.skip_existing:
                refused.append(FileResult(input=sent.label, output=_destination_text(job),
                                          ok=True, skipped=True))
                continue
            reason = f"{destination} exists (use --force to overwrite)"
        if reason is not None:
            refused.append(FileResult(input=sent.label, output=_destination_text(job),
                                      error=reason))
            continue
        # Absolute paths: a worker's working directory is not the caller's.
        source = sent.source.absolute() if isinstance(sent.source, Path) else sent.source
        if isinstance(destination, Path):
            destination = destination.absolute()
        runnable.append((job, Job(source, destination, sent.label)))
    return runnable, refused


def _location(location: _Location) -> _Location | Path | str:
    """A path given as text becomes a Path; URLs, bytes and streams stay."""
    return Path(location) if isinstance(location, str) and not _is_url(location) else location


def _input_text(job: Job) -> str:
    if job.label:
        return job.label
    return str(job.source) if isinstance(job.source, (str, Path)) else "-"


def _destination_text(job: Job) -> str:
    destination = job.destination
    return str(destination) if isinstance(destination, (str, Path)) else "-"


def _is_url(location: object) -> TypeGuard[str]:
    return isinstance(location, str) and "://" in location


def _name_of(location: str | Path) -> str:
    return posixpath.basename(location) if _is_url(location) else Path(location).name


def _exists(location: str | Path) -> bool:
    if _is_url(location):
        import fsspec
        fs, path = fsspec.core.url_to_fs(location)
        exists: bool = fs.exists(path)
        return exists
    return os.path.lexists(location)


def _read_url(url: str) -> bytes:
    import fsspec
    with fsspec.open(url, "rb") as source:
        data: bytes = source.read()
        return data


def _write_url_atomically(url: str, data: bytes | memoryview, force: bool) -> None:
    """Writes `data` to `url` under a temporary name in the same folder,
    then moves it into place. On object stores each object appears whole
    anyway; the check for an existing output is not atomic there."""
    import fsspec
    fs, path = fsspec.core.url_to_fs(url)
    if not force and fs.exists(path):
        raise FileExistsError(f"{url} exists (use --force to overwrite)")
    folder, name = posixpath.split(path)
    temporary = posixpath.join(folder, f".{name}.{uuid.uuid4().hex}.part")
    fs.makedirs(folder, exist_ok=True)
    try:
        fs.pipe_file(temporary, bytes(data))
        fs.mv(temporary, path)
    except BaseException:
        with contextlib.suppress(Exception):
            fs.rm(temporary)
        raise


def _holds(location: str | Path, data: bytes | memoryview) -> bool:
    """Whether the file at `location` has exactly the bytes `data`."""
    try:
        if _is_url(location):
            return _read_url(location) == data
        with open(location, "rb") as existing:
            return existing.read() == data
    except OSError:
        return False
