"""The returned array, memory safety, reference leaks and concurrent calls."""

import concurrent.futures
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import dithering


def random_image(seed, shape):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def run_python(code, timeout=300):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


SHAPES = [(1, 1), (1, 9), (9, 1), (5, 7), (1, 1, 1), (5, 7, 1), (5, 7, 2), (5, 7, 3), (5, 7, 4), (3, 4, 9)]


class TestResultArray:
    @pytest.mark.parametrize("shape", SHAPES)
    def test_properties(self, shape):
        image = random_image(len(shape), shape)
        result = dithering.error_diffusion(image, levels=3)
        assert type(result) is np.ndarray
        assert result.dtype == np.uint8
        assert result.shape == shape
        assert result.flags.c_contiguous
        assert result.flags.writeable
        assert not result.flags.owndata
        assert result.base is not None
        assert result.strides == np.empty(shape, dtype=np.uint8).strides

    def test_writing_result_leaves_input_alone(self):
        image = random_image(1, (6, 5, 3))
        before = image.copy()
        result = dithering.error_diffusion(image)
        result[...] = 7
        result[0, 0, 0] = 99
        assert np.array_equal(image, before)
        assert result[0, 0, 0] == 99 and result[1, 1, 1] == 7

    def test_result_outlives_everything_else(self):
        result = dithering.error_diffusion(random_image(2, (40, 30, 3)), levels=5)
        expected = result.copy()
        view = result[::2]
        del result
        gc.collect()
        junk = [np.full((40, 30, 3), 1, dtype=np.uint8) for _ in range(50)]
        assert np.array_equal(view, expected[::2])
        del junk

    def test_subclass_input_gives_plain_array(self):
        class Sub(np.ndarray):
            pass

        result = dithering.error_diffusion(random_image(3, (4, 5)).view(Sub))
        assert type(result) is np.ndarray

    def test_numpy_input_does_not_import_pil(self):
        out = run_python(
            """
            import sys
            import numpy as np
            import dithering
            image = np.arange(60, dtype=np.uint8).reshape(4, 5, 3)
            dithering.error_diffusion(image)
            dithering.error_diffusion(image, palette=["#000", "#fff"])
            dithering.error_diffusion(image[::-1], levels=3, linear=True)
            for bad in (np.zeros(3, np.uint8), np.zeros((0, 2), np.uint8)):
                try:
                    dithering.error_diffusion(bad)
                except ValueError:
                    pass
            print(sorted(m for m in sys.modules if m == "PIL" or m.startswith("PIL.")))
            """
        )
        assert out.strip() == "[]"


# The memory figures come from Linux's /proc (the address-space cap from the
# resource module, which Windows lacks).
needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/statm"),
                                reason="reads memory figures from Linux's /proc")


@needs_proc
class TestHugeImages:
    @pytest.mark.parametrize(
        "shape",
        [(1, 2**40), (2**20, 2**21), (2**16, 2**16, 2**16), (2**31, 2**31), (3, 2**20, 2**20)],
    )
    def test_zero_stride_view_of_absurd_size(self, shape):
        # Run in a child with a capped address space, so that an implementation
        # that tries to allocate the copy fails fast instead of exhausting memory.
        out = run_python(
            f"""
            import resource
            import numpy as np
            import dithering
            shape = {shape!r}
            image = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape=shape,
                                                    strides=(0,) * len(shape))
            with open("/proc/self/statm") as statm:
                cap = int(statm.read().split()[0]) * 4096 + (2 << 30)
            resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
            try:
                dithering.error_diffusion(image)
            except MemoryError:
                print("MemoryError")
            except ValueError as error:
                print("ValueError", error)
            """
        )
        assert out.startswith(("MemoryError", "ValueError")), out


@needs_proc
class TestLeaks:
    """Repeated calls, failing or not, must not accumulate memory or references."""

    @staticmethod
    def rss_bytes():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * 4096

    ERROR_CALLS = [
        ("dtype", lambda img, pal: dithering.error_diffusion(img.astype(np.float32))),
        ("ndim", lambda img, pal: dithering.error_diffusion(img[None])),
        ("empty", lambda img, pal: dithering.error_diffusion(img[:0])),
        ("strength", lambda img, pal: dithering.error_diffusion(img, strength=2.0)),
        ("levels", lambda img, pal: dithering.error_diffusion(img, levels=300)),
        ("conflict", lambda img, pal: dithering.error_diffusion(img, levels=3, palette=pal)),
        ("method", lambda img, pal: dithering.error_diffusion(img, "bogus")),
        ("palette-text", lambda img, pal: dithering.error_diffusion(img, palette="#fff")),
        ("palette-entry", lambda img, pal: dithering.error_diffusion(img, palette=pal + [None])),
        ("palette-hex", lambda img, pal: dithering.error_diffusion(img, palette=pal + ["#ggg"])),
        ("palette-count", lambda img, pal: dithering.error_diffusion(img, palette=pal + [(1, 2)])),
        ("palette-range", lambda img, pal: dithering.error_diffusion(img, palette=pal + [(1, 2, 300)])),
        ("palette-few", lambda img, pal: dithering.error_diffusion(img, palette=pal[:1])),
        ("palette-many", lambda img, pal: dithering.error_diffusion(img, palette=pal * 1366)),
        ("palette-gray", lambda img, pal: dithering.error_diffusion(img[..., 0], palette=pal)),
        ("iterator", lambda img, pal: dithering.error_diffusion(img, palette=TestLeaks.failing(pal))),
    ]

    @staticmethod
    def failing(pal):
        yield from pal
        raise KeyError("stop")

    @pytest.mark.parametrize(("name", "call"), ERROR_CALLS, ids=[n for n, _ in ERROR_CALLS])
    def test_error_paths(self, name, call):
        image = random_image(5, (64, 64, 3))
        # Built at run time, so that none of them is an immortal constant.
        palette = [tuple([0, 0, 0]), tuple([255, 255, 255]), tuple([255, 0, int("0")])]
        entry = palette[2]

        def loop(count):
            for _ in range(count):
                try:
                    call(image, palette)
                except Exception:  # noqa: BLE001 - every error path is exercised on purpose
                    pass

        def references():
            return sys.getrefcount(image), sys.getrefcount(palette), sys.getrefcount(entry)

        loop(200)
        gc.collect()
        before = self.rss_bytes()
        refs = references()
        loop(3000)
        gc.collect()
        grown = self.rss_bytes() - before
        assert references() == refs
        # A leaked 12 KiB image copy per call would be 36 MiB.
        assert grown < 8 << 20, grown

    @pytest.mark.parametrize("palette", [None, [(0, 0, 0), (255, 255, 255), (0, 128, 255)]])
    def test_success_path(self, palette):
        image = random_image(6, (64, 64, 3))
        for _ in range(100):
            dithering.error_diffusion(image, palette=palette, strength=0.0)
        gc.collect()
        before = self.rss_bytes()
        image_refs = sys.getrefcount(image)
        for _ in range(2000):
            dithering.error_diffusion(image, palette=palette, strength=0.0)
        gc.collect()
        grown = self.rss_bytes() - before
        assert sys.getrefcount(image) == image_refs
        # A leaked result buffer per call would be about 24 MiB.
        assert grown < 8 << 20, grown

    def test_pil_path(self):
        pil = pytest.importorskip("PIL.Image")
        image = pil.frombytes("RGB", (64, 64), random_image(7, (64, 64, 3)).tobytes())
        for _ in range(100):
            dithering.error_diffusion(image, strength=0.0)
        gc.collect()
        before = self.rss_bytes()
        refs = sys.getrefcount(image)
        for _ in range(1500):
            dithering.error_diffusion(image, strength=0.0)
        gc.collect()
        assert sys.getrefcount(image) == refs
        assert self.rss_bytes() - before < 8 << 20


CONCURRENT_CASES = [
    ((48, 40, 3), "fs", {"levels": 4}),
    ((40, 48), "jjn", {"serpentine": True}),
    ((33, 17, 4), "stucki", {"levels": 3, "linear": True}),
    ((40, 40, 3), "atkinson", {"palette": ["#000", "#f00", "#0f0", "#00f", "#fff"]}),
    ((25, 60, 2), "burkes", {"levels": 7, "preserve_alpha": False}),
    ((60, 25, 5), "sierra", {"palette": [(9, 9, 9), (200, 100, 0), (0, 90, 250)], "linear": True}),
    ((37, 41), "sierra_lite", {"strength": 0.5}),
    ((41, 37, 3), "sierra_two_row", {"levels": 16, "serpentine": True}),
]


class TestThreads:
    def test_concurrent_calls_equal_serial_calls(self):
        jobs = [(random_image(i, shape), method, kwargs)
                for i, (shape, method, kwargs) in enumerate(CONCURRENT_CASES * 3)]
        serial = [dithering.error_diffusion(image, method, **kwargs) for image, method, kwargs in jobs]
        for _ in range(3):
            with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
                results = list(pool.map(lambda job: dithering.error_diffusion(job[0], job[1], **job[2]), jobs))
            for result, expected in zip(results, serial):
                assert np.array_equal(result, expected)

    def test_shared_input(self):
        image = random_image(99, (64, 64, 3))
        before = image.copy()
        expected = dithering.error_diffusion(image, "stucki", levels=3)
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            results = list(pool.map(lambda _: dithering.error_diffusion(image, "stucki", levels=3), range(32)))
        assert all(np.array_equal(result, expected) for result in results)
        assert np.array_equal(image, before)

    def test_gil_stays_disabled(self):
        if not hasattr(sys, "_is_gil_enabled"):
            pytest.skip("interpreter without a switchable GIL")
        import sysconfig

        if not sysconfig.get_config_var("Py_GIL_DISABLED"):
            pytest.skip("not a free-threaded interpreter")
        out = run_python(
            """
            import sys
            import concurrent.futures
            import numpy as np
            import dithering
            image = np.arange(300, dtype=np.uint8).reshape(10, 10, 3)
            with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
                list(pool.map(lambda _: dithering.error_diffusion(image), range(8)))
            print(sys._is_gil_enabled())
            """
        )
        assert out.strip() == "False"
