"""dithering_tools.bounded_error_diffusion: error diffusion to a palette with
each value plus its carried error clamped to 0..255, against the slow
reference's bounded pass; the same arguments, checks and messages as
dithering.error_diffusion."""

import inspect
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import dithering
import reference
from dithering_tools import _native, bounded_error_diffusion

KERNELS = list(reference.KERNELS)
# Four greens: nothing near white, red or blue, so error runs away on most
# pictures without the bound.
GAMEBOY = [(0x0F, 0x38, 0x0F), (0x30, 0x62, 0x30), (0x8B, 0xAC, 0x0F), (0x9B, 0xBC, 0x0F)]


def picture(seed, shape):
    """A bright, saturated gradient with noise: far outside a muted palette."""
    rng = np.random.default_rng(seed)
    h, w = shape[:2]
    ramp = np.add.outer(np.linspace(40, 255, h), np.linspace(0, 120, w))[:, :, None]
    channels = ramp + np.linspace(0, -200, shape[2]) + rng.normal(0, 30, shape)
    return np.clip(np.rint(channels), 0, 255).astype(np.uint8)


def random_palette(seed, count):
    rng = np.random.default_rng(seed)
    # Mid-range colours, as a palette made from a photo has: no extremes.
    return [tuple(int(v) for v in c) for c in rng.integers(30, 226, (count, 3))]


def check(image, method="floyd_steinberg", **kwargs):
    """The bounded result is the reference's bounded pass, and the bound
    changed something (otherwise the case would not test it)."""
    expected = reference.error_diffusion(image, method, bounded=True, **kwargs)
    result = bounded_error_diffusion(image, method, **kwargs)
    assert result.dtype == np.uint8 and result.shape == image.shape
    assert np.array_equal(result, expected)
    assert not np.array_equal(result, reference.error_diffusion(image, method, **kwargs))
    return result


class TestAgainstReference:
    @pytest.mark.parametrize("serpentine", [False, True])
    @pytest.mark.parametrize("method", KERNELS)
    def test_every_kernel(self, method, serpentine):
        check(picture(1, (9, 11, 3)), method, palette=GAMEBOY, serpentine=serpentine)

    @pytest.mark.parametrize("linear", [False, True])
    @pytest.mark.parametrize("strength", [1.0, 0.75, 0.3])
    def test_strength_and_linear_light(self, strength, linear):
        check(picture(2, (10, 12, 3)), "jarvis_judice_ninke", palette=GAMEBOY,
              strength=strength, linear=linear)

    @pytest.mark.parametrize("channels", [4, 5])
    @pytest.mark.parametrize("preserve_alpha", [True, False])
    def test_channels_after_the_third_pass_through(self, channels, preserve_alpha):
        image = picture(3, (8, 9, channels))
        result = check(image, "atkinson", palette=GAMEBOY, preserve_alpha=preserve_alpha)
        assert np.array_equal(result[..., 3:], image[..., 3:])

    # Tall enough for the rows-in-flight forms, and palettes for each of
    # their searches: all colours in registers, and the nearest-colour grid
    # above 64 colours.
    @pytest.mark.parametrize(("colors", "serpentine", "linear"), [
        (4, False, False), (16, False, True), (48, True, False), (100, False, False),
        (300, False, True), (100, True, True),
    ])
    def test_fast_forms(self, colors, serpentine, linear):
        image = picture(4 + colors, (36, 29, 3))
        check(image, "floyd_steinberg", palette=random_palette(colors, colors),
              serpentine=serpentine, linear=linear)

    @pytest.mark.parametrize("seed", range(6))
    def test_random_cases(self, seed):
        rng = np.random.default_rng(100 + seed)
        shape = (int(rng.integers(1, 14)), int(rng.integers(1, 14)), int(rng.integers(3, 5)))
        image = rng.integers(0, 256, shape, dtype=np.uint8)
        palette = random_palette(seed, int(rng.integers(2, 70)))
        kwargs = {"serpentine": bool(rng.integers(2)), "linear": bool(rng.integers(2)),
                  "strength": float(rng.choice([1.0, 0.9, 0.5]))}
        method = KERNELS[int(rng.integers(len(KERNELS)))]
        expected = reference.error_diffusion(image, method, palette=palette, bounded=True, **kwargs)
        assert np.array_equal(bounded_error_diffusion(image, method, palette=palette, **kwargs),
                              expected)

    def test_the_reference_bound(self):
        # The two comparisons of the bounded pass, in their order.
        f32 = reference.f32
        values = [f32(300), f32(255.5), f32(-3), f32(-0.0), f32(12.5), f32("nan")]
        assert [float(reference.bound(v)) for v in values] == [255, 255, 0, 0, 12.5, 0]


class TestResults:
    def test_strength_zero_is_the_modules_nearest_colours(self):
        # Nothing is carried, so nothing is clamped: dithering's bytes.
        image = picture(5, (12, 13, 4))
        assert np.array_equal(bounded_error_diffusion(image, palette=GAMEBOY, strength=0.0),
                              dithering.error_diffusion(image, palette=GAMEBOY, strength=0.0))

    def test_no_smear_beyond_an_edge(self):
        # White beside grey, the palette black, that grey and a light grey:
        # over the white half the unbounded error grows row by row, and
        # spills into the grey half as a wedge of light pixels, wider with
        # every few rows. Bounded, the spill is one column wide.
        image = np.full((48, 40, 3), 128, np.uint8)
        image[:, :16] = 255
        palette = [(0, 0, 0), (128, 128, 128), (200, 200, 200)]
        unbounded = dithering.error_diffusion(image, palette=palette)
        bounded = bounded_error_diffusion(image, palette=palette)
        assert (unbounded[:, 24:] == 200).any()
        assert (bounded[:, 17:] == 128).all()

    def test_aliases_and_palette_forms(self):
        image = picture(6, (7, 8, 3))
        expected = bounded_error_diffusion(image, "sierra_lite", palette=GAMEBOY)
        for method in ("sierra-2-4a", "Sierra24A", " sierra lite "):
            for palette in (GAMEBOY, ["#0f380f", "#306230", "#8bac0f", "#9bbc0f"],
                            np.array(GAMEBOY, np.uint8), iter(GAMEBOY)):
                assert np.array_equal(bounded_error_diffusion(image, method, palette=palette),
                                      expected)

    def test_any_layout_reads_the_same_and_the_input_is_untouched(self):
        image = picture(7, (9, 10, 3))
        before = image.copy()
        expected = bounded_error_diffusion(image, palette=GAMEBOY)
        assert np.array_equal(image, before)
        fortran = np.asfortranarray(image)
        reversed_view = np.ascontiguousarray(image[:, ::-1])[:, ::-1]
        listed = image.tolist()
        assert np.array_equal(bounded_error_diffusion(fortran, palette=GAMEBOY), expected)
        assert np.array_equal(bounded_error_diffusion(reversed_view, palette=GAMEBOY), expected)
        transposed = np.ascontiguousarray(image.transpose(1, 0, 2)).transpose(1, 0, 2)
        assert np.array_equal(bounded_error_diffusion(transposed, palette=GAMEBOY), expected)
        with pytest.raises(TypeError, match="expected a uint8 image array, got dtype int64"):
            bounded_error_diffusion(listed, palette=GAMEBOY)

    def test_result_is_a_new_writeable_array(self):
        image = picture(8, (5, 6, 3))
        result = bounded_error_diffusion(image, palette=GAMEBOY)
        assert result.flags.c_contiguous and result.flags.writeable
        assert not np.shares_memory(result, image)

    def test_levels_pass_through_the_native_half_unbounded(self):
        # The native function is dithering.error_diffusion's entry with the
        # bounded palette pass: for levels its bytes are dithering's.
        image = picture(9, (11, 12, 4))
        for kwargs in ({"levels": 4}, {"levels": 2, "linear": True}, {"preserve_alpha": False}):
            assert np.array_equal(_native.error_diffusion(image, "stucki", **kwargs),
                                  dithering.error_diffusion(image, "stucki", **kwargs))
        assert np.array_equal(_native.error_diffusion(image, palette=GAMEBOY, levels=2),
                              bounded_error_diffusion(image, palette=GAMEBOY))

    def test_threads_give_the_serial_results(self):
        images = [picture(seed, (40, 33, 3)) for seed in range(8)]
        serial = [bounded_error_diffusion(image, "jjn", palette=GAMEBOY) for image in images]
        with ThreadPoolExecutor(4) as pool:
            parallel = list(pool.map(
                lambda image: bounded_error_diffusion(image, "jjn", palette=GAMEBOY), images))
        assert all(np.array_equal(a, b) for a, b in zip(serial, parallel))


class TestPilImages:
    Image = None

    @pytest.fixture(autouse=True)
    def pil(self):
        TestPilImages.Image = pytest.importorskip("PIL.Image")

    @pytest.mark.parametrize("mode", ["RGB", "RGBA"])
    def test_pil_image_in_pil_image_out(self, mode):
        array = picture(10, (9, 12, len(mode)))
        result = bounded_error_diffusion(self.Image.fromarray(array, mode), "burkes",
                                         palette=GAMEBOY)
        assert isinstance(result, self.Image.Image) and result.mode == mode
        assert np.array_equal(np.asarray(result), bounded_error_diffusion(array, "burkes",
                                                                           palette=GAMEBOY))

    def test_other_modes_are_read_as_rgb(self):
        array = picture(11, (8, 8, 3))
        indexed = self.Image.fromarray(array).quantize(64)
        result = bounded_error_diffusion(indexed, palette=GAMEBOY)
        assert result.mode == "RGB"
        assert np.array_equal(np.asarray(result), bounded_error_diffusion(
            np.asarray(indexed.convert("RGB")), palette=GAMEBOY))

    @pytest.mark.parametrize("mode", ["L", "LA"])
    def test_grey_images_are_refused_as_dithering_refuses_them(self, mode):
        image = self.Image.new(mode, (4, 4))
        with pytest.raises(ValueError) as ours:
            bounded_error_diffusion(image, palette=GAMEBOY)
        with pytest.raises(ValueError) as theirs:
            dithering.error_diffusion(image, palette=GAMEBOY)
        assert str(ours.value) == str(theirs.value)
        assert str(ours.value).startswith("palette dithering needs an RGB or RGBA image")


RGB = np.zeros((3, 4, 3), np.uint8)


def raised(call):
    with pytest.raises(Exception) as caught:
        call()
    return type(caught.value), str(caught.value), getattr(caught.value, "__notes__", None)


class TestArgumentErrors:
    """Each bad call is made to both functions; the exception's type,
    message and notes must be dithering's."""

    @pytest.mark.parametrize(("args", "kwargs"), [
        ((RGB, None), {}),
        ((RGB, "fs-x"), {}),
        ((RGB, 3), {}),
        ((RGB,), {"method": "Floyd\"X\\"}),
        ((RGB,), {"serpentine": 1}),
        ((RGB,), {"serpentine": None}),
        ((RGB,), {"strength": "0.5"}),
        ((RGB,), {"strength": 1.5}),
        ((RGB,), {"strength": float("nan")}),
        ((RGB,), {"linear": 0}),
        ((RGB,), {"preserve_alpha": "yes"}),
        ((RGB,), {"palette": "#fff"}),
        ((RGB,), {"palette": 42}),
        ((RGB,), {"palette": ["#fff"]}),
        ((RGB,), {"palette": ["#12", "#fff"]}),
        ((RGB,), {"palette": [(0, 0), "#fff"]}),
        ((RGB,), {"palette": [(0, 0, 256), "#fff"]}),
        ((RGB,), {"palette": [(0.5, 0, 0), "#fff"]}),
        ((RGB,), {"palette": ["#000"] * 4097}),
        ((np.zeros((3, 4, 3)),), {}),
        ((np.zeros(5, np.uint8),), {}),
        ((np.zeros((0, 4, 3), np.uint8),), {}),
        ((np.zeros((3, 4), np.uint8),), {}),
        ((np.zeros((3, 4, 2), np.uint8),), {}),
        ((None,), {}),
        # The first failure wins, in dithering's order.
        ((RGB, "bogus"), {"strength": 2.0, "palette": "#fff"}),
        ((np.zeros(5),), {"strength": 2.0, "palette": ["#xyz"]}),
        ((np.zeros(5),), {"palette": ["#xyz"]}),
        ((RGB,), {"linear": None, "serpentine": 2}),
    ])
    def test_same_error_as_dithering(self, args, kwargs):
        kwargs = {"palette": GAMEBOY, **kwargs}
        ours = raised(lambda: bounded_error_diffusion(*args, **kwargs))
        assert ours == raised(lambda: dithering.error_diffusion(*args, **kwargs))

    @pytest.mark.parametrize(("args", "kwargs"), [
        ((RGB, "fs", GAMEBOY), {}),
        ((), {"palette": GAMEBOY}),
        ((RGB,), {"palette": GAMEBOY, "colour": 1}),
        ((RGB, "fs"), {"palette": GAMEBOY, "method": "fs"}),
    ])
    def test_matching_errors_read_as_dithering_s(self, args, kwargs):
        kind, message, notes = raised(lambda: bounded_error_diffusion(*args, **kwargs))
        expected = raised(lambda: dithering.error_diffusion(*args, **kwargs))
        assert (kind, message.replace("bounded_error_diffusion()", "error_diffusion()"),
                notes) == expected

    def test_a_palette_is_required(self):
        with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'palette'"):
            bounded_error_diffusion(RGB)
        with pytest.raises(TypeError, match=r"needs a palette; for levels, which need no bound"):
            bounded_error_diffusion(RGB, palette=None)

    def test_levels_are_not_taken(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'levels'"):
            bounded_error_diffusion(RGB, palette=GAMEBOY, levels=2)


class TestSurface:
    def test_signature(self):
        # The parameters and defaults of error_diffusion, the annotations aside.
        signature = inspect.signature(bounded_error_diffusion)
        bare = signature.replace(
            parameters=[p.replace(annotation=p.empty) for p in signature.parameters.values()],
            return_annotation=signature.empty)
        assert str(bare) == (
            "(image, method='floyd_steinberg', *, palette, serpentine=False, strength=1.0, "
            "linear=False, preserve_alpha=True)")
        assert "bounded_error_diffusion" in __import__("dithering_tools").__all__

    def test_native_half_matches_error_diffusion_s_signature(self):
        assert inspect.signature(_native.error_diffusion) == inspect.signature(
            dithering.error_diffusion)
        assert _native.__name__ == "dithering_tools._native"

    def test_modules_surface_is_unchanged(self):
        assert dithering.__all__ == ["__version__", "dither", "ordered_dither", "error_diffusion",
                                     "random_dither", "available_matrices", "available_methods"]
        assert not hasattr(dithering, "bounded_error_diffusion")

    def test_import_loads_neither_numpy_nor_pil(self):
        code = """
            import sys
            from dithering_tools import _native
            print(sorted(m for m in ("numpy", "PIL") if m in sys.modules))
        """
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                              text=True, check=True)
        assert done.stdout.strip() == "[]"

    @pytest.mark.skipif(not hasattr(sys, "_is_gil_enabled") or sys._is_gil_enabled(),
                        reason="needs a free-threaded interpreter running without the GIL")
    def test_gil_stays_disabled_on_free_threaded_interpreter(self):
        code = """
            import sys
            import numpy
            from dithering_tools import bounded_error_diffusion
            bounded_error_diffusion(numpy.zeros((2, 2, 3), numpy.uint8), palette=["#000", "#fff"])
            print(sys._is_gil_enabled())
        """
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                              text=True, check=True)
        assert done.stdout.strip() == "False"
