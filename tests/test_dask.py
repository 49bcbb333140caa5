"""Dithering on Dask: file batches on a real LocalCluster of two worker
processes on the loopback (outputs byte for byte those of the local batch,
a worker killed mid-batch), and Dask arrays (ordered dither exactly one
whole-image call, random reproducible per chunking, error diffusion
refused). Skipped where Dask is not installed (pip install '.[dask]')."""

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import dithering

if sys.platform == "win32":
    pytest.skip("these tests time themselves with SIGALRM and stop clusters with POSIX "
                "signals and process groups, which Windows lacks", allow_module_level=True)
Image = pytest.importorskip("PIL.Image")
da = pytest.importorskip("dask.array", reason="Dask is not installed: pip install '.[dask]'")
distributed = pytest.importorskip("distributed",
                                  reason="distributed is not installed: pip install '.[dask]'")

import cloudpickle  # noqa: E402  (distributed's own dependency)
import dask  # noqa: E402

# distributed's statistical profiler reads other threads' stacks while they
# run; on free-threaded CPython that crashed this process now and then (a
# segmentation fault in distributed/profile.py). Off for the scheduler here
# and, through the nannies, for every worker.
dask.config.set({"distributed.worker.profile.enabled": False})

from dithering_tools import DitherOptions, Job, dither_files  # noqa: E402
from dithering_tools import dask_array  # noqa: E402
from dithering_tools.cluster import dither_files_on_cluster, dither_on_worker  # noqa: E402

GAMEBOY = ["#0f380f", "#306230", "#8bac0f", "#9bbc0f"]
SECONDS_PER_TEST = 180
# Dask's own setting: how long a client keeps trying to reach a scheduler.
QUICK_GIVE_UP = {**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"}


@pytest.fixture(autouse=True)
def time_limit():
    """Fails a test that hangs (a lost worker, a scheduler that never answers)."""
    def expire(signum, frame):
        raise TimeoutError(f"test took more than {SECONDS_PER_TEST} s")
    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(SECONDS_PER_TEST)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def local_cluster():
    """Two worker processes on the loopback, closed on exit."""
    return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                    host="127.0.0.1", dashboard_address=":0")


@pytest.fixture(scope="module")
def client():
    with local_cluster() as cluster, distributed.Client(cluster) as client:
        yield client


class KillDuringSecondFile(distributed.WorkerPlugin):
    """Ends the process of the worker at `victim` by signal `signum` a
    moment after it starts its second file, noting that task's key."""

    def __init__(self, victim, signum, note):
        self.victim, self.signum, self.note = victim, signum, str(note)
        self.started = 0

    def setup(self, worker):
        self.worker = worker

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or self.worker.address != self.victim:
            return
        self.started += 1
        if self.started == 2:
            Path(self.note).write_text(str(key))
            # A file takes tens of milliseconds at the least: this lands mid-file.
            threading.Timer(0.01, os.kill, (os.getpid(), self.signum)).start()


def allow_failures(dask_scheduler, count):
    """Sets how many of its workers may die under a task before the scheduler
    gives up on it."""
    dask_scheduler.allowed_failures = count


# The workers cannot import this file: send the plugin by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


def photo(seed, shape):
    """A photo-like picture: smooth light, edges, texture and sensor noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:shape[0], 0:shape[1]] / max(shape[:2])
    light = 200 * np.exp(-((x - rng.random()) ** 2 + (y - rng.random()) ** 2) * 3)
    stripes = 40 * (np.sin(x * rng.uniform(20, 60)) > 0)
    channels = shape[2] if len(shape) == 3 else 1
    tint = rng.uniform(0.6, 1.0, channels)
    value = (light + stripes)[..., None] * tint + rng.normal(0, 12, (*shape[:2], channels))
    return np.clip(value, 0, 255).astype(np.uint8).reshape(shape)


def photo_folder(folder, count, shape):
    folder.mkdir()
    kinds = [shape, shape[:2], (*shape[:2], 4)]  # RGB, grey, RGBA
    for i in range(count):
        Image.fromarray(photo(i, kinds[i % len(kinds)])).save(folder / f"{i:02}.png")
    return sorted(folder.iterdir())


def by_input(results):
    return {result.input: result for result in results}


class TestFileBatches:
    @pytest.mark.parametrize("use, destination_kind, options", [
        ("client", "path", DitherOptions(method="fs", colors=16)),
        ("client", "url", DitherOptions(method="bayer4x4", palette=GAMEBOY, alpha="keep")),
        ("local:2", "path", DitherOptions(method="random", seed=7, levels=4, linear=True)),
    ])
    def test_outputs_are_the_local_batchs(self, client, tmp_path, use, destination_kind,
                                          options):
        sources = photo_folder(tmp_path / "in", 7, (120, 160, 3))
        (tmp_path / "in" / "broken.png").write_bytes(b"not an image")
        sources.append(tmp_path / "in" / "broken.png")
        local = by_input(dither_files([Job(s, tmp_path / "local" / s.name) for s in sources],
                                      options))
        (tmp_path / "cluster").mkdir()
        (tmp_path / "cluster" / "00.png").write_bytes(b"there before")

        def destination(source):
            path = tmp_path / "cluster" / source.name
            return path.as_uri() if destination_kind == "url" else path

        jobs = [Job(str(s), destination(s)) for s in sources]
        remote = by_input(dither_files_on_cluster(jobs, options,
                                                  client if use == "client" else use))
        assert set(remote) == set(local) == {str(s) for s in sources}
        assert "exists (use --force to overwrite)" in remote[str(sources[0])].error
        assert (tmp_path / "cluster" / "00.png").read_bytes() == b"there before"
        assert remote[str(sources[-1])].error == local[str(sources[-1])].error
        for source in sources[1:-1]:
            assert remote[str(source)].ok, remote[str(source)].error
            assert ((tmp_path / "cluster" / source.name).read_bytes()
                    == (tmp_path / "local" / source.name).read_bytes())
        assert sorted(p.name for p in (tmp_path / "cluster").iterdir()) == \
            [s.name for s in sources[:-1]]

    def test_existing_outputs_skipped_when_asked(self, client, tmp_path):
        sources = photo_folder(tmp_path / "in", 2, (24, 32, 3))
        (tmp_path / "out").mkdir()
        (tmp_path / "out" / "00.png").write_bytes(b"there before")
        jobs = [Job(s, tmp_path / "out" / s.name) for s in sources]
        remote = by_input(dither_files_on_cluster(jobs, DitherOptions(skip_existing=True), client))
        assert [(r.ok, r.skipped) for r in (remote[str(s)] for s in sources)] == [
            (True, True), (True, False)]
        assert (tmp_path / "out" / "00.png").read_bytes() == b"there before"
        assert (tmp_path / "out" / "01.png").is_file()

    @pytest.mark.parametrize("signum, allowed_failures", [
        (signal.SIGTERM, 3), (signal.SIGKILL, 3), (signal.SIGKILL, 0)])
    def test_a_worker_killed_mid_batch(self, tmp_path, signum, allowed_failures):
        sources = photo_folder(tmp_path / "in", 12, (480, 640, 3))
        options = DitherOptions(method="jjn", serpentine=True, colors=32)
        list(dither_files([Job(s, tmp_path / "local" / s.name) for s in sources], options))
        note = tmp_path / "killed-during"
        # A cluster of its own: what a killed worker leaves behind stays here.
        with local_cluster() as cluster, distributed.Client(cluster) as client:
            victim = next(iter(client.scheduler_info()["workers"]))
            client.register_plugin(KillDuringSecondFile(victim, signum, note))
            client.run_on_scheduler(allow_failures, count=allowed_failures)
            results = list(dither_files_on_cluster(
                [Job(s, tmp_path / "cluster" / s.name) for s in sources], options, client))
            key = note.read_text()
            story = client.run_on_scheduler(
                lambda dask_scheduler: [t[1:3] for t in dask_scheduler.story(key)])
        failed = [result for result in results if not result.ok]
        assert len(results) == len(sources)
        if allowed_failures:
            # The scheduler took the file back from the dead worker and ran it again.
            assert not failed, [result.error for result in failed]
            assert story.index(("processing", "released")) < story.index(("processing", "memory"))
        else:
            assert 0 < len(failed) < len(sources)
            assert all("every worker that ran this file died" in r.error for r in failed)
        # Every output complete and right, no temporary file left, none for a failed file.
        written = sorted((tmp_path / "cluster").iterdir())
        assert [p.name for p in written] == sorted(Path(r.output).name for r in results if r.ok)
        for path in written:
            assert path.read_bytes() == (tmp_path / "local" / path.name).read_bytes()

    def test_temporaries_left_by_killed_tasks_are_removed(self, client, tmp_path):
        sources = photo_folder(tmp_path / "in", 2, (40, 50, 3))
        out = tmp_path / "out"
        out.mkdir()
        (out / ".00.png.k1tm2a0x.part").write_bytes(b"half an image")
        (out / ".notes.txt.k1tm2a0x.part").write_bytes(b"someone else's")
        results = dither_files_on_cluster([Job(s, out / s.name) for s in sources],
                                          DitherOptions(method="bayer2x2"), client)
        assert all(result.ok for result in results)
        assert sorted(p.name for p in out.iterdir()) == [".notes.txt.k1tm2a0x.part",
                                                         "00.png", "01.png"]

    def test_a_rerun_task_finds_its_own_output_and_nothing_else(self, tmp_path):
        [source] = photo_folder(tmp_path / "in", 1, (40, 50, 3))
        job = Job(source, tmp_path / "out.png", "in.png")
        options = DitherOptions(method="atkinson", levels=3)
        first, again = dither_on_worker(job, options), dither_on_worker(job, options)
        assert first.ok and again.ok, (first.error, again.error)
        written = (tmp_path / "out.png").read_bytes()
        other = dither_on_worker(job, DitherOptions(method="atkinson", levels=4))
        assert not other.ok and "exists (use --force to overwrite)" in other.error
        assert (tmp_path / "out.png").read_bytes() == written

    def test_command_line(self, tmp_path):
        photo_folder(tmp_path / "in", 4, (60, 80, 3))

        def dither(*args, env=None):
            return subprocess.run([sys.executable, "-m", "dithering_tools", tmp_path / "in",
                                   "-m", "sierra", "-q", *args],
                                  capture_output=True, timeout=120, text=True, env=env)

        assert dither("-o", tmp_path / "local").returncode == 0
        done = dither("-o", tmp_path / "cluster", "--cluster", "local:2")
        assert done.returncode == 0, done.stderr
        for path in (tmp_path / "local").iterdir():
            assert path.read_bytes() == (tmp_path / "cluster" / path.name).read_bytes()
        refused = dither("-o", tmp_path / "x", "--cluster", "local:0")
        assert refused.returncode == 2 and "local:N" in refused.stderr
        # Port 1 of the loopback: nothing listens there.
        # Dask's short connect timeout for this call alone: a local cluster's
        # workers, on a busy machine, may take longer than it to connect.
        unreachable = dither("-o", tmp_path / "y", "--cluster", "tcp://127.0.0.1:1", env=QUICK_GIVE_UP)
        assert unreachable.returncode == 2
        assert "cannot reach the Dask scheduler at tcp://127.0.0.1:1" in unreachable.stderr
        assert not (tmp_path / "y").exists()


@pytest.mark.parametrize("stage", ["start", "close", "batch"])
def test_a_local_cluster_that_fails_is_named_not_a_traceback(monkeypatch, stage):
    """The command prints a ConnectionError as "dither: error: ..." with
    status 2; whatever else escapes is a traceback. The batch's own errors
    stay what they are."""

    class Cluster:
        def __init__(self, **kwargs):
            if stage == "start":
                raise RuntimeError("Cluster failed to start: no free port")

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            if stage == "close":
                raise TimeoutError("the workers did not stop")

    class Client:
        def __init__(self, cluster):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            pass

    monkeypatch.setattr(distributed, "LocalCluster", Cluster)
    monkeypatch.setattr(distributed, "Client", Client)
    from dithering_tools.cluster import connect

    expected = {
        "start": (ConnectionError, "cannot start a local Dask cluster of 2 workers: "
                                   "Cluster failed to start: no free port"),
        "close": (ConnectionError, "cannot close a local Dask cluster of 2 workers: "
                                   "the workers did not stop"),
        "batch": (KeyError, "'the batch failed'"),
    }[stage]
    with pytest.raises(expected[0]) as raised:
        with connect("local:2"):
            if stage == "batch":
                raise KeyError("the batch failed")
    assert str(raised.value) == expected[1]


# Times how fast the command stops: on a machine of its own.
@pytest.mark.serial
@pytest.mark.parametrize("signum, to_group", [(signal.SIGINT, True), (signal.SIGTERM, False),
                                               (signal.SIGINT, False)])
def test_command_on_a_local_cluster_stops_on_a_signal(tmp_path, signum, to_group):
    """Ctrl-C in a terminal reaches the whole process group, the cluster's
    workers too; SIGTERM only the command. Either way it ends promptly with
    the signal's status, leaving complete outputs and no temporaries."""
    sources = photo_folder(tmp_path / "in", 40, (400, 400, 3))
    out = tmp_path / "out"
    with subprocess.Popen([sys.executable, "-m", "dithering_tools", tmp_path / "in", "-o", out,
                           "-m", "jjn", "--colors", "64", "--cluster", "local:2", "-q"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          start_new_session=True) as process:
        try:
            deadline = time.monotonic() + 120
            while not list(out.glob("*.png")) and time.monotonic() < deadline:
                assert process.poll() is None, process.stderr.read().decode()
                time.sleep(0.01)
            if to_group:
                os.killpg(process.pid, signum)
            else:
                process.send_signal(signum)
            sent = time.monotonic()
            _, errors = process.communicate(timeout=30)
            took = time.monotonic() - sent
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == 128 + signum, errors.decode()
    assert took < 30
    assert "dither: interrupted" in errors.decode()
    written = sorted(out.iterdir())
    assert 0 < len(written) < len(sources)
    for path in written:
        assert not path.name.startswith("."), path  # no temporary left
        with Image.open(path) as image:
            image.load()


def chunked(image, chunks):
    return da.from_array(image, chunks=chunks + (-1,) * (image.ndim - len(chunks)))


class TestDaskArrays:
    IMAGES = {"gray": photo(1, (203, 157)), "rgb": photo(2, (150, 181, 3)),
              "rgba": photo(3, (97, 130, 4))}
    # Aligned with every built-in matrix, aligned with none, one chunk, strips.
    CHUNKINGS = [(64, 32), (50, 37), (-1, -1), (7, -1)]

    @pytest.mark.parametrize("kind", IMAGES)
    @pytest.mark.parametrize("chunks", CHUNKINGS)
    @pytest.mark.parametrize("matrix, options", [
        ("bayer8x8", {"levels": 3}),
        (np.array([[0, 9, 3, 12, 6], [14, 5, 11, 2, 8], [1, 13, 7, 10, 4]]), {}),
        (16, {"linear": True, "strength": 0.75}),
    ])
    def test_ordered_is_one_whole_image_call(self, client, kind, chunks, matrix, options):
        image = self.IMAGES[kind]
        lazy = dask_array.ordered_dither(chunked(image, chunks), matrix, **options)
        expected = dithering.ordered_dither(image, matrix, **options)
        assert np.array_equal(lazy.compute(), expected)

    @pytest.mark.parametrize("chunks", [(64, 64), (50, 37)])
    @pytest.mark.parametrize("kind", ["gray", "rgb"])
    def test_random_is_reproducible_per_chunking(self, client, kind, chunks):
        image = self.IMAGES[kind]
        first = dask_array.random_dither(chunked(image, chunks), seed=11, levels=3).compute()
        again = dask_array.dither(chunked(image, chunks), "random", seed=11, levels=3).compute()
        other_seed = dask_array.random_dither(chunked(image, chunks), seed=12, levels=3)
        assert np.array_equal(first, again)
        assert not np.array_equal(first, other_seed.compute())
        # Each chunk is one call seeded from the seed and the chunk's offset.
        rows, columns = chunked(image, chunks).chunks[:2]
        for top in np.cumsum((0,) + rows[:-1]):
            for left in np.cumsum((0,) + columns[:-1]):
                block = (slice(top, top + chunks[0]), slice(left, left + chunks[1]))
                seed = dask_array.chunk_seed(11, top, left)
                assert np.array_equal(first[block],
                                      dithering.random_dither(image[block], seed=seed, levels=3))


class TestDaskArrayRefusals:
    @pytest.mark.parametrize("call", [
        lambda image: dask_array.dither(image, "floyd_steinberg"),
        lambda image: dask_array.dither(image, "JJN", levels=4),
        lambda image: dask_array.error_diffusion(image, "atkinson"),
    ])
    def test_error_diffusion_is_refused_with_why(self, call):
        with pytest.raises(ValueError, match="error diffusion cannot run chunk by chunk") as raised:
            call(chunked(photo(4, (32, 32)), (16, 16)))
        assert "dithering.error_diffusion once on one machine" in str(raised.value)
        assert "peak = input + output" in str(raised.value)

    @pytest.mark.parametrize("image, call, error, message", [
        (da.zeros((8, 8), dtype=np.float32), dask_array.ordered_dither, TypeError, "uint8"),
        (da.zeros((2, 8, 8, 3), dtype=np.uint8), dask_array.random_dither, ValueError, "2-D"),
        (da.zeros((8, 8), dtype=np.uint8), lambda image: dask_array.ordered_dither(
            image, palette=GAMEBOY), ValueError, "palette dithering needs an RGB"),
        (da.zeros((8, 8), dtype=np.uint8), lambda image: dask_array.dither(image, "nonesuch"),
         ValueError, "unknown dither method"),
        (da.zeros((8, 8), dtype=np.uint8), lambda image: dask_array.random_dither(
            image, seed=-1), ValueError, "seed"),
    ])
    def test_bad_arguments_fail_before_any_work(self, image, call, error, message):
        with pytest.raises(error, match=message):
            call(image)
