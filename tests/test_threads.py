"""Concurrent use from many threads: same bytes and errors as serial calls, no deadlock.

On the free-threaded interpreter the calls really run in parallel; elsewhere the
module still detaches around its pixel loops, so the correctness checks run on
every interpreter and only the GIL assertions are skipped.
"""

import json
import os
import random
import subprocess
import sys
import sysconfig
import textwrap
import threading

import numpy as np
import pytest

import dithering

try:
    from PIL import Image as PILImage
except ImportError:
    PILImage = None

THREADS = 8
JOIN_TIMEOUT = 120  # seconds; a thread still running after this is taken as a deadlock


def gil_disabled():
    """True when this interpreter is running without the GIL right now."""
    check = getattr(sys, "_is_gil_enabled", None)
    return check is not None and not check()


def free_threaded_build():
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


class Broken(Exception):
    """Raised by the failing palette iterator below."""


def stops_midway(entries, count):
    yield from entries[:count]
    raise Broken("palette iterator failed")


def random_image(seed, shape):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def build_jobs():
    """(label, make) pairs; make() returns (function, args, kwargs).

    NumPy inputs are shared by all threads (the module only reads them); objects
    a call uses up, such as generators, are made afresh by make().
    """
    rng = random.Random(20261207)
    gray = random_image(1, (37, 29))
    rgb = random_image(2, (31, 45, 3))
    rgba = random_image(3, (24, 33, 4))
    la = random_image(4, (19, 23, 2))
    wide = random_image(5, (9, 21, 5))
    strided = random_image(6, (40, 60, 3))[::-2, 1::2]
    read_only = random_image(7, (16, 16, 3))
    read_only.setflags(write=False)
    # Big enough that calls in different threads overlap in their pixel loops.
    large = random_image(8, (96, 128, 3))
    arrays = [gray, rgb, rgba, la, wide, strided, read_only, large]
    colour_arrays = [rgb, rgba, wide, strided, read_only, large]
    palettes = [
        ["#000", "#fff"],
        [(0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)],
        np.array([[10, 50, 10], [40, 100, 40], [140, 170, 10], [160, 190, 10]], np.uint8),
        [(i, (i * 7) % 256, (i * 13) % 256) for i in range(0, 256, 3)],
    ]
    methods = list(dithering.available_methods()) + ["FS", "jarvis", "sierra-2-4a"]
    matrices = [None, 2, 4, 8, 16, "bayer4x4", "8x8", [[0, 2], [3, 1]],
                np.array([[0.1, 0.9, 0.5]]), np.arange(12, dtype=np.uint16).reshape(3, 4)]
    jobs = []

    def add(label, function, *args, **kwargs):
        jobs.append((label, lambda: (function, args, kwargs)))

    for i in range(60):
        image = rng.choice(arrays)
        common = {"strength": rng.choice([1.0, 0.75, 0.0]), "linear": rng.random() < 0.5,
                  "preserve_alpha": rng.random() < 0.7}
        if any(image is a for a in colour_arrays) and rng.random() < 0.4:
            common["palette"] = rng.choice(palettes)
        else:
            common["levels"] = rng.choice([2, 3, 4, 16, 256])
        kind = i % 4
        if kind == 0:
            add(f"error_diffusion #{i}", dithering.error_diffusion, image, rng.choice(methods),
                serpentine=rng.random() < 0.5, **common)
        elif kind == 1:
            add(f"ordered_dither #{i}", dithering.ordered_dither, image, rng.choice(matrices), **common)
        elif kind == 2:
            add(f"random_dither #{i}", dithering.random_dither, image, seed=rng.randrange(-2**127, 2**127),
                **common)
        else:
            method = rng.choice(methods + ["random", "Bayer-8", "bayer2x2"])
            add(f"dither #{i}", dithering.dither, image, method, seed=rng.randrange(2**64), **common)

    # Calls that fail, at every stage.
    add("bad method", dithering.error_diffusion, rgb, "bogus")
    add("bad dispatch", dithering.dither, rgb, "3x3")
    add("bad matrix", dithering.ordered_dither, rgb, "bayer3x3")
    add("bad custom matrix", dithering.ordered_dither, rgb, np.array([[-1, 2]]))
    add("bad levels", dithering.random_dither, gray, levels=1)
    add("levels overflow", dithering.random_dither, gray, levels=-1)
    add("bad strength", dithering.ordered_dither, gray, strength=float("nan"))
    add("bad flag", dithering.error_diffusion, gray, linear=1)
    add("bad seed", dithering.random_dither, gray, seed=2**127)
    add("bad dtype", dithering.dither, rgb.astype(np.float32))
    add("bad dimensions", dithering.dither, rgb[..., None])
    add("empty", dithering.dither, rgb[:0])
    add("palette on gray", dithering.error_diffusion, gray, palette=["#000", "#fff"])
    add("bad palette entry", dithering.ordered_dither, rgb, palette=["#000", "#ggg"])
    add("palette range", dithering.random_dither, rgb, palette=[(0, 0, 0), (0, 0, 256)])
    add("conflict", dithering.dither, rgb, levels=4, palette=["#000", "#fff"])
    add("unknown keyword", dithering.dither, rgb, colours=3)
    jobs.append(("iterator raises", lambda: (
        dithering.error_diffusion, (rgb,), {"palette": stops_midway(palettes[1], 3)})))
    jobs.append(("generator palette", lambda: (
        dithering.ordered_dither, (rgba, 4), {"palette": (c for c in palettes[1])})))
    if PILImage is not None:
        pil_sources = [("L", gray), ("LA", la), ("RGB", rgb), ("RGBA", rgba), ("P", gray)]
        for j, (mode, array) in enumerate(pil_sources):
            data = array.tobytes()
            size = (array.shape[1], array.shape[0])
            function = [dithering.dither, dithering.error_diffusion, dithering.ordered_dither,
                        dithering.random_dither][j % 4]
            kwargs = {"seed": 7} if function in (dithering.random_dither, dithering.dither) else {}
            if mode in ("RGB", "RGBA", "P") and j % 2:
                kwargs["palette"] = palettes[1]

            # Each call gets its own PIL image, so that only the module's own
            # thread safety is under test here, not PIL's.
            def make(mode=mode, data=data, size=size, function=function, kwargs=kwargs):
                return function, (PILImage.frombytes(mode, size, data),), dict(kwargs)
            jobs.append((f"PIL {mode} via {function.__name__}", make))
        jobs.append(("PIL La", lambda: (
            dithering.dither, (PILImage.frombytes("La", (5, 4), bytes(40)),), {})))
    return jobs


def outcome(make):
    function, args, kwargs = make()
    try:
        result = function(*args, **kwargs)
    except Exception as error:  # every outcome is compared, failures included
        return ("error", type(error), str(error), tuple(getattr(error, "__notes__", ())))
    if PILImage is not None and isinstance(result, PILImage.Image):
        return ("pil", result.mode, result.size, result.tobytes())
    return ("array", type(result), result.dtype.str, result.shape, result.tobytes())


def run_threads(count, target):
    """Starts `count` threads on target(i) together; fails on a hang or a thread's exception."""
    barrier = threading.Barrier(count)
    errors = []

    def body(i):
        try:
            barrier.wait(timeout=JOIN_TIMEOUT)
            target(i)
        except BaseException as error:  # reported below, in the test's own thread
            errors.append((i, error))

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    alive = [thread.name for thread in threads if thread.is_alive()]
    assert not alive, f"threads still running after {JOIN_TIMEOUT} s (deadlock?): {alive}"
    assert not errors, errors


class TestConcurrentCalls:
    def test_mixed_calls_match_serial_results(self):
        gil_was_disabled = gil_disabled()
        jobs = build_jobs()
        serial = [outcome(make) for _, make in jobs]
        # Sanity: the mix holds both kinds of outcome.
        assert sum(o[0] == "error" for o in serial) >= 15
        assert sum(o[0] != "error" for o in serial) >= 50
        rounds = 4
        results = [[None] * (len(jobs) * rounds) for _ in range(THREADS)]

        def work(t):
            order = list(range(len(jobs))) * rounds
            random.Random(t).shuffle(order)
            for slot, j in enumerate(order):
                results[t][slot] = (j, outcome(jobs[j][1]))

        run_threads(THREADS, work)
        for t in range(THREADS):
            for j, got in results[t]:
                assert got == serial[j], f"thread {t}, job {jobs[j][0]!r}: {got[:3]!r} != {serial[j][:3]!r}"
        if gil_was_disabled:
            assert gil_disabled(), "the GIL was switched on during concurrent calls"

    def test_inputs_untouched_by_concurrent_readers(self):
        image = random_image(11, (64, 48, 4))
        image.setflags(write=False)
        copy = image.copy()
        palette = [(0, 0, 0), (255, 255, 255), (200, 30, 30)]
        palette_copy = list(palette)
        expected = {}
        calls = {
            "ed": lambda: dithering.error_diffusion(image, "stucki", palette=palette),
            "ordered": lambda: dithering.ordered_dither(image, 16, levels=5, linear=True),
            "random": lambda: dithering.random_dither(image, seed=3, palette=palette),
        }
        for name, call in calls.items():
            expected[name] = call().tobytes()
        names = sorted(calls)

        def work(t):
            for k in range(40):
                name = names[(t + k) % len(names)]
                assert calls[name]().tobytes() == expected[name], name

        run_threads(THREADS, work)
        assert np.array_equal(image, copy) and not image.flags.writeable
        assert palette == palette_copy

    def test_gil_stays_disabled(self):
        if not free_threaded_build():
            pytest.skip("not a free-threaded interpreter")
        if not gil_disabled():
            pytest.skip("the GIL is enabled in this process")
        image = random_image(12, (50, 50, 3))
        run_threads(THREADS, lambda t: [dithering.dither(image, m, seed=t) for m in
                                        ("fs", "random", "bayer8x8", "atkinson")])
        assert gil_disabled()


# ---------------------------------------------------------------- first use

FIRST_USE = """
import json, sys, threading
{setup}
import dithering

N = {threads}
barrier = threading.Barrier(N)
results = [None] * N
functions = [dithering.dither, dithering.ordered_dither, dithering.error_diffusion,
             dithering.random_dither]

def call(i):
    function = functions[i % len(functions)]
    kwargs = {{"seed": 5}} if function is dithering.random_dither else {{}}
    return function(make_image(), **kwargs)

def work(i):
    try:
        barrier.wait(timeout=60)
        result = call(i)
        results[i] = [type(result).__module__ + "." + type(result).__name__, result.tobytes().hex()]
    except BaseException as error:
        results[i] = ["error", repr(error)]

gil = getattr(sys, "_is_gil_enabled", None)
gil_before = None if gil is None else gil()
threads = [threading.Thread(target=work, args=(i,), daemon=True) for i in range(N)]
for t in threads:
    t.start()
for t in threads:
    t.join(60)
serial = []
for i in range(len(functions)):
    result = call(i)
    serial.append([type(result).__module__ + "." + type(result).__name__, result.tobytes().hex()])
print(json.dumps({{
    "alive": sum(t.is_alive() for t in threads),
    "results": results,
    "serial": serial,
    "gil_before": gil_before,
    "gil": None if gil is None else gil(),
}}))
"""

SETUPS = {
    # NumPy already imported: only the module's one-time load of its C API is contended.
    "numpy-imported": """
import numpy as np
def make_image():
    return np.arange(7 * 9 * 3, dtype=np.uint8).reshape(7, 9, 3)
""",
    # Nothing imported yet: the first calls import NumPy themselves, all at once.
    "numpy-not-imported": """
def make_image():
    return memoryview(bytearray(range(7 * 9))).cast("B", (7, 9))
""",
    # A PIL image as the very first input.
    "pil": """
from PIL import Image
def make_image():
    return Image.frombytes("RGB", (9, 7), bytes(range(7 * 9 * 3)))
""",
}


@pytest.mark.parametrize("setup", sorted(SETUPS))
def test_first_calls_race(setup, tmp_path):
    if setup == "pil" and PILImage is None:
        pytest.skip("PIL is not installed")
    code = FIRST_USE.format(setup=textwrap.dedent(SETUPS[setup]), threads=16)
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    for attempt in range(3):
        proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                              timeout=180, cwd=tmp_path, env=env)
        assert proc.returncode == 0, proc.stderr
        report = json.loads(proc.stdout.strip().splitlines()[-1])
        assert report["alive"] == 0, "first calls deadlocked"
        serial = report["serial"]
        for i, result in enumerate(report["results"]):
            assert result == serial[i % len(serial)], (attempt, i, result[:2])
        if free_threaded_build() and report["gil_before"] is False:
            assert report["gil"] is False, "the GIL was switched on by the first calls"
