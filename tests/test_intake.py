"""Reading the image argument: accepted objects, memory layouts, PIL modes, errors."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import dithering

DTYPE_MESSAGE = (
    "expected a uint8 image array, got dtype {}; convert with np.asarray(img, dtype=np.uint8), "
    "or (img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]"
)
NDIM_MESSAGE = "expected a 2-D grayscale or 3-D (H, W, C) image, got a {}-D array with shape {}"
EMPTY_MESSAGE = "image has an empty dimension: shape {}"


def random_image(seed, shape):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def dither(image, **kwargs):
    """Error diffusion with settings under which every pixel affects later ones."""
    kwargs.setdefault("levels", 4)
    return dithering.error_diffusion(image, "stucki", serpentine=True, **kwargs)


def raises_exactly(exc_type, message, image, **kwargs):
    with pytest.raises(exc_type) as info:
        dithering.error_diffusion(image, **kwargs)
    assert info.type is exc_type
    assert info.value.args == (message,)
    assert not hasattr(info.value, "__notes__")


class TestDtype:
    @pytest.mark.parametrize(
        ("image", "name"),
        [
            (np.zeros((4, 4)), "float64"),
            (np.zeros((4, 4), dtype=np.float32), "float32"),
            (np.zeros((4, 4), dtype=bool), "bool"),
            ([[1, 2], [3, 4]], "int64"),
            (np.zeros((4, 4), dtype=np.int8), "int8"),
            (np.zeros((4, 4), dtype=np.uint16), "uint16"),
            (np.array([[None, None]]), "object"),
            (np.array(["hello"]), "<U5"),
            (7, "int64"),
            (None, "object"),
            (b"abc", "|S3"),
            (np.zeros((2, 2), dtype=[("r", np.uint8)]), "[('r', 'u1')]"),
        ],
        ids=["float64", "float32", "bool", "list", "int8", "uint16", "object", "str", "int", "none",
             "bytes", "structured"],
    )
    def test_not_uint8(self, image, name):
        raises_exactly(TypeError, DTYPE_MESSAGE.format(name), image)

    def test_dtype_checked_before_dimensions(self):
        # A 1-D float array: the dtype wins over the dimension error.
        raises_exactly(TypeError, DTYPE_MESSAGE.format("float64"), np.zeros(5))


class TestDimensions:
    @pytest.mark.parametrize(
        ("image", "ndim", "shape"),
        [
            (np.zeros(5, dtype=np.uint8), 1, "[5]"),
            (np.zeros((1, 2, 3, 4), dtype=np.uint8), 4, "[1, 2, 3, 4]"),
            (np.uint8(7), 0, "[]"),
            (np.zeros((), dtype=np.uint8), 0, "[]"),
            (bytearray(b"abc"), 1, "[3]"),
            (np.zeros((0,), dtype=np.uint8), 1, "[0]"),
            (np.zeros((2, 0, 3, 1), dtype=np.uint8), 4, "[2, 0, 3, 1]"),
        ],
        ids=["1d", "4d", "scalar", "0d", "bytearray", "empty-1d", "empty-4d"],
    )
    def test_wrong_number_of_dimensions(self, image, ndim, shape):
        raises_exactly(ValueError, NDIM_MESSAGE.format(ndim, shape), image)

    @pytest.mark.parametrize(
        ("shape", "text"),
        [((0, 5), "[0, 5]"), ((5, 0), "[5, 0]"), ((4, 4, 0), "[4, 4, 0]"), ((0, 0, 3), "[0, 0, 3]")],
    )
    def test_empty_dimension(self, shape, text):
        raises_exactly(ValueError, EMPTY_MESSAGE.format(text), np.zeros(shape, dtype=np.uint8))


def _subclass_view(array):
    class Sub(np.ndarray):
        pass

    return array.view(Sub)


def _read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


# Each entry builds, from a seed, a view or array-like object in some layout;
# its result must equal that of a C-contiguous copy of the same logical pixels.
LAYOUTS = {
    "c-contiguous": lambda s: random_image(s, (7, 9, 3)),
    "transposed": lambda s: random_image(s, (9, 7, 3)).transpose(1, 0, 2),
    "transposed-2d": lambda s: random_image(s, (9, 7)).T,
    "fortran": lambda s: np.asfortranarray(random_image(s, (7, 9, 3))),
    "stepped": lambda s: random_image(s, (15, 28, 3))[1::2, ::3],
    "reversed": lambda s: random_image(s, (7, 9, 3))[::-1, ::-1, ::-1],
    "reversed-channels": lambda s: random_image(s, (7, 9, 4))[:, :, ::-1],
    "channel-slice": lambda s: random_image(s, (7, 9, 4))[:, :, 1:3],
    "added-axis": lambda s: random_image(s, (7, 9))[:, :, None],
    "read-only": lambda s: _read_only(random_image(s, (7, 9, 3))),
    "broadcast-row": lambda s: np.broadcast_to(random_image(s, (1, 9, 3)), (7, 9, 3)),
    "broadcast-pixel": lambda s: np.broadcast_to(random_image(s, (3,)), (7, 9, 3)),
    "broadcast-column": lambda s: np.broadcast_to(random_image(s, (7, 1)), (7, 9)),
    "subclass": lambda s: _subclass_view(random_image(s, (7, 9, 3))),
    "single-column": lambda s: random_image(s, (9, 7, 3))[:, 3],
    "single-row": lambda s: random_image(s, (9, 7))[4:5, ::-2],
}


class TestLayouts:
    @pytest.mark.parametrize("seed", [1, 2])
    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_same_result_as_contiguous_copy(self, layout, seed):
        image = LAYOUTS[layout](seed)
        contiguous = np.ascontiguousarray(image)
        assert contiguous.flags.c_contiguous
        expected = dither(contiguous, linear=True)
        result = dither(image, linear=True)
        assert result.shape == image.shape
        assert np.array_equal(result, expected)

    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_callers_array_unchanged(self, layout):
        image = LAYOUTS[layout](3)
        owner = image.base if image.base is not None else image
        before = np.array(owner, copy=True)
        view_before = np.array(image, copy=True)
        dither(image)
        if image.ndim == 3 and image.shape[2] >= 3:
            dithering.error_diffusion(image, palette=[(0, 0, 0), (255, 255, 255), (255, 0, 0)])
        assert np.array_equal(owner, before)
        assert np.array_equal(image, view_before)

    def test_read_only_array_stays_read_only(self):
        image = _read_only(random_image(4, (5, 6)))
        dither(image)
        assert not image.flags.writeable


class TestArrayLikes:
    def test_nested_list_of_uint8_scalars(self):
        image = random_image(5, (4, 6))
        as_list = [[np.uint8(v) for v in row] for row in image.tolist()]
        assert np.array_equal(dither(as_list), dither(image))

    def test_memoryview(self):
        image = random_image(6, (5, 4, 3))
        assert np.array_equal(dither(memoryview(image)), dither(image))

    def test_object_with_array_interface(self):
        image = random_image(7, (6, 5))

        class Wrapper:
            def __array__(self, dtype=None, copy=None):
                return image

        assert np.array_equal(dither(Wrapper()), dither(image))

    def test_object_with_mode_attribute_is_not_a_pil_image(self):
        image = random_image(8, (6, 5, 3))

        class Imposter:
            mode = "L"

            def __array__(self, dtype=None, copy=None):
                return image

        result = dither(Imposter())
        assert isinstance(result, np.ndarray)
        assert np.array_equal(result, dither(image))

    def test_asarray_exception_passes_through(self):
        class Broken:
            def __array__(self, dtype=None, copy=None):
                raise ZeroDivisionError("no array here")

        with pytest.raises(ZeroDivisionError, match="^no array here$"):
            dithering.error_diffusion(Broken())

    def test_without_pil(self):
        # With PIL unimportable, arrays and array-likes are read as usual.
        code = textwrap.dedent(
            """
            import sys
            sys.modules["PIL"] = None
            sys.modules["PIL.Image"] = None
            import numpy as np
            import dithering
            image = np.arange(24, dtype=np.uint8).reshape(4, 6) * 10
            as_list = [[np.uint8(v) for v in row] for row in image.tolist()]
            a = dithering.error_diffusion(image, levels=3)
            b = dithering.error_diffusion(as_list, levels=3)
            assert np.array_equal(a, b), (a, b)
            try:
                dithering.error_diffusion([[1, 2]])
            except TypeError as error:
                assert "got dtype int64;" in str(error), error
            else:
                raise AssertionError("no error")
            print("ok")
            """
        )
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "ok"


class TestPil:
    @pytest.fixture(autouse=True)
    def pil(self):
        return pytest.importorskip("PIL.Image")

    @pytest.mark.parametrize(
        ("mode", "shape"),
        [("L", (6, 7)), ("LA", (6, 7, 2)), ("RGB", (6, 7, 3)), ("RGBA", (6, 7, 4))],
    )
    def test_mode_kept(self, pil, mode, shape):
        array = random_image(9, shape)
        image = pil.frombytes(mode, (shape[1], shape[0]), array.tobytes())
        result = dither(image)
        assert isinstance(result, pil.Image)
        assert result.mode == mode
        assert result.size == image.size
        assert np.array_equal(np.asarray(result), dither(array))
        # The caller's image is unchanged.
        assert np.array_equal(np.asarray(image), array)

    @pytest.mark.parametrize("mode", ["P", "1", "I", "I;16", "F", "CMYK", "YCbCr", "RGBa", "RGBX", "PA"])
    def test_other_modes_read_as_rgb(self, pil, mode):
        rgb = pil.frombytes("RGB", (7, 6), random_image(10, (6, 7, 3)).tobytes())
        image = rgb.convert(mode)
        assert image.mode == mode
        before = image.tobytes()
        result = dither(image)
        assert isinstance(result, pil.Image)
        assert result.mode == "RGB"
        expected = dither(np.asarray(image.convert("RGB")))
        assert np.array_equal(np.asarray(result), expected)
        assert image.tobytes() == before

    def test_pil_with_palette(self, pil):
        array = random_image(11, (5, 8, 4))
        image = pil.frombytes("RGBA", (8, 5), array.tobytes())
        palette = ["#000", "#f00", "#0f0", "#00f", "#fff"]
        result = dithering.error_diffusion(image, palette=palette, preserve_alpha=False)
        assert result.mode == "RGBA"
        assert np.array_equal(np.asarray(result), dithering.error_diffusion(array, palette=palette))

    def test_grayscale_pil_image_with_palette(self, pil):
        image = pil.new("L", (4, 3), 100)
        with pytest.raises(ValueError, match="^palette dithering needs an RGB or RGBA image"):
            dithering.error_diffusion(image, palette=["#000", "#fff"])

    def test_convert_failure_passes_through(self, pil):
        class Odd(pil.Image):
            @property
            def mode(self):
                return "ODD"

            def convert(self, *args, **kwargs):
                raise ZeroDivisionError("cannot convert")

        with pytest.raises(ZeroDivisionError, match="^cannot convert$"):
            dithering.error_diffusion(Odd())

    def test_mode_must_be_text(self, pil):
        class Odd(pil.Image):
            @property
            def mode(self):
                return 3

        with pytest.raises(TypeError):
            dithering.error_diffusion(Odd())


def test_tuple_image_is_one_argument():
    rows = (np.array([0, 255, 128], np.uint8), np.array([64, 32, 16], np.uint8))
    assert np.array_equal(dithering.error_diffusion(rows), dithering.error_diffusion(np.array(rows)))
