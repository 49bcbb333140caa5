"""Validation of the common options, their order, and the pass-through channel."""

import math

import numpy as np
import pytest

import dithering
import reference

IMG = np.full((3, 4), 128, dtype=np.uint8)
RGB = np.full((3, 4, 3), 128, dtype=np.uint8)
PALETTE = ["#000", "#fff"]

STRENGTH = "strength must be between 0.0 and 1.0, got {}"
LEVELS = "levels must be between 2 and 256, got {}"
CONFLICT = "pass either levels or palette, not both"
NEEDS_RGB = (
    "palette dithering needs an RGB or RGBA image; for grayscale use `levels`, "
    "or stack to RGB with np.dstack([img] * 3)"
)
NDIM = "expected a 2-D grayscale or 3-D (H, W, C) image, got a {}-D array with shape {}"
EMPTY = "image has an empty dimension: shape {}"
DTYPE = (
    "expected a uint8 image array, got dtype {}; convert with np.asarray(img, dtype=np.uint8), "
    "or (img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]"
)
BAD_ENTRY = "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples"
TOO_FEW = "palette must contain at least 2 colors"


def random_image(seed, shape):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def raises_exactly(exc_type, message, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        dithering.error_diffusion(*args, **kwargs)
    assert info.type is exc_type
    assert info.value.args == (message,)
    assert not hasattr(info.value, "__notes__")


class TestStrength:
    @pytest.mark.parametrize(
        ("value", "text"),
        [
            (1.5, "1.5"),
            (2, "2"),
            (2.0, "2"),
            (1.1, "1.1"),
            (-0.5, "-0.5"),
            (-1e-3, "-0.001"),
            (1.0000001, "1.0000001"),
            (1e20, "100000000000000000000"),
            (3e38, "300000000000000000000000000000000000000"),
            (1e-40 - 1e-39, "-0.0000000000000000000000000000000000000009"),
            (math.nan, "NaN"),
            (math.inf, "inf"),
            (-math.inf, "-inf"),
            (1e300, "inf"),
        ],
    )
    def test_out_of_range(self, value, text):
        raises_exactly(ValueError, STRENGTH.format(text), IMG, strength=value)

    @pytest.mark.parametrize("value", [0.0, -0.0, 1.0, 1.00000001, 0.5, 1e-45, 1e-50])
    def test_accepted(self, value):
        result = dithering.error_diffusion(IMG, strength=value)
        assert result.shape == IMG.shape

    def test_negative_zero_is_plain_quantization(self):
        image = random_image(1, (5, 6))
        assert np.array_equal(dithering.error_diffusion(image, strength=-0.0, levels=3),
                              dithering.error_diffusion(image, strength=0.0, levels=3))


class TestLevels:
    @pytest.mark.parametrize("value", [0, 1, True, 257, 1000, 2**32 - 1])
    def test_out_of_range(self, value):
        raises_exactly(ValueError, LEVELS.format(int(value)), IMG, levels=value)

    @pytest.mark.parametrize("value", [2, 3, 255, 256, np.uint8(255)])
    def test_accepted(self, value):
        assert dithering.error_diffusion(IMG, levels=value, strength=0.0).shape == IMG.shape

    def test_levels_two_with_palette_means_palette(self):
        image = random_image(2, (4, 5, 3))
        palette = [(0, 0, 0), (255, 0, 0), (0, 0, 255)]
        assert np.array_equal(dithering.error_diffusion(image, levels=2, palette=palette),
                              dithering.error_diffusion(image, palette=palette))

    def test_palette_none_means_levels(self):
        image = random_image(3, (4, 5, 3))
        assert np.array_equal(dithering.error_diffusion(image, levels=5, palette=None),
                              dithering.error_diffusion(image, levels=5))


class TestOrder:
    """The first failing check wins; the method name comes before all of them."""

    @pytest.mark.parametrize(
        ("kwargs", "exc_type", "message"),
        [
            ({"image": np.zeros(5), "levels": 1, "strength": 1.5}, ValueError, STRENGTH.format("1.5")),
            ({"image": np.zeros(5), "levels": 1, "palette": "x"}, ValueError, LEVELS.format(1)),
            ({"image": np.zeros(5), "levels": 3, "palette": "x"}, ValueError, CONFLICT),
            ({"image": np.zeros(5), "levels": 3, "palette": 42}, ValueError, CONFLICT),
            ({"image": IMG, "levels": 256, "palette": PALETTE}, ValueError, CONFLICT),
            ({"image": np.zeros(5), "palette": [(0.5, 0, 0)]}, TypeError, BAD_ENTRY),
            ({"image": np.zeros(5), "palette": ["#fff"]}, ValueError, TOO_FEW),
            ({"image": np.zeros((2, 2)), "palette": PALETTE}, TypeError, DTYPE.format("float64")),
            ({"image": np.zeros((1, 2, 3, 4), np.uint8), "palette": PALETTE}, ValueError,
             NDIM.format(4, "[1, 2, 3, 4]")),
            ({"image": np.zeros((0, 4), np.uint8), "palette": PALETTE}, ValueError, EMPTY.format("[0, 4]")),
            ({"image": np.zeros((2, 2, 0), np.uint8), "palette": PALETTE}, ValueError,
             EMPTY.format("[2, 2, 0]")),
        ],
    )
    def test_first_failure_wins(self, kwargs, exc_type, message):
        raises_exactly(exc_type, message, **kwargs)

    @pytest.mark.parametrize(
        "kwargs",
        [
            {"image": np.zeros(5)},
            {"image": IMG, "levels": 1},
            {"image": IMG, "strength": 2.0},
            {"image": IMG, "palette": "#fff"},
            {"image": IMG, "levels": 4, "palette": PALETTE},
        ],
    )
    def test_method_name_comes_first(self, kwargs):
        with pytest.raises(ValueError, match="^unknown error-diffusion method \"bogus\"; valid values: "):
            dithering.error_diffusion(method="bogus", **kwargs)


class TestPaletteNeedsColour:
    @pytest.mark.parametrize("shape", [(3, 4), (3, 4, 1), (3, 4, 2)])
    @pytest.mark.parametrize("preserve_alpha", [True, False])
    def test_fewer_than_three_channels(self, shape, preserve_alpha):
        image = np.zeros(shape, dtype=np.uint8)
        raises_exactly(ValueError, NEEDS_RGB, image, palette=PALETTE, preserve_alpha=preserve_alpha)

    def test_grayscale_list_image(self):
        image = [[np.uint8(1), np.uint8(2)]]
        raises_exactly(ValueError, NEEDS_RGB, image, palette=PALETTE)

    @pytest.mark.parametrize("channels", [3, 4, 5, 8])
    def test_three_or_more_channels(self, channels):
        image = random_image(channels, (3, 4, channels))
        result = dithering.error_diffusion(image, palette=PALETTE)
        assert result.shape == image.shape


class TestPassThroughChannel:
    """Which channel levels mode leaves alone, decided from the shape."""

    @pytest.mark.parametrize(
        ("shape", "preserve_alpha", "kept"),
        [
            ((5, 6, 2), True, 1),
            ((5, 6, 4), True, 3),
            ((5, 6, 2), False, None),
            ((5, 6, 4), False, None),
            ((5, 6), True, None),
            ((5, 6, 1), True, None),
            ((5, 6, 3), True, None),
            ((5, 6, 5), True, None),
            ((5, 6, 6), True, None),
        ],
    )
    def test_kept_channel(self, shape, preserve_alpha, kept):
        # Bytes chosen so that quantization to 2 levels changes every one of them.
        image = random_image(4, shape) % 100 + 20
        result = dithering.error_diffusion(image, strength=0.0, preserve_alpha=preserve_alpha)
        channels = 1 if len(shape) == 2 else shape[2]
        planes = result.reshape(5, 6, channels)
        source = image.reshape(5, 6, channels)
        for c in range(channels):
            if c == kept:
                assert np.array_equal(planes[..., c], source[..., c])
            else:
                assert set(np.unique(planes[..., c])) <= {0, 255}
                assert not np.array_equal(planes[..., c], source[..., c])

    def test_alpha_does_not_influence_colour(self):
        colour = random_image(5, (6, 7, 3))
        results = []
        for seed in (6, 7):
            alpha = random_image(seed, (6, 7, 1))
            image = np.concatenate([colour, alpha], axis=2)
            result = dithering.error_diffusion(image, levels=3)
            assert np.array_equal(result[..., 3], alpha[..., 0])
            results.append(result[..., :3])
        assert np.array_equal(results[0], results[1])
        assert np.array_equal(results[0], dithering.error_diffusion(colour, levels=3))

    def test_matches_reference(self):
        image = random_image(8, (6, 7, 4))
        for preserve_alpha in (True, False):
            expected = reference.error_diffusion(image, levels=3, preserve_alpha=preserve_alpha)
            result = dithering.error_diffusion(image, levels=3, preserve_alpha=preserve_alpha)
            assert np.array_equal(result, expected)


class TestRepeatable:
    def test_same_call_same_bytes(self):
        image = random_image(9, (9, 8, 3))
        before = image.copy()
        first = dithering.error_diffusion(image, "jjn", levels=5, linear=True, serpentine=True)
        second = dithering.error_diffusion(image, "jjn", levels=5, linear=True, serpentine=True)
        assert np.array_equal(first, second)
        assert np.array_equal(image, before)
