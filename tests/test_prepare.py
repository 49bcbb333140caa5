"""Validation of the common options, their order, and the pass-through channel."""

import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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
            # By hand: at 2^87 the floats below are 2^63 apart and those above
            # 2^64, so the decimals reading back lie in [2^87 - 2^62, 2^87 + 2^63].
            # The nearest 8-digit decimal, 1.5474250e26, is 4.9e18 below:
            # outside. The one above, 1.5474251e26, 5.1e18 up: inside.
            (2.0**87, "154742510000000000000000000"),
            # Halfway between 16777216 and 16777218, narrowed to the even one.
            (16777217.0, "16777216"),
            # 7.038531e-26 lies just below the point halfway between this float
            # and the next, so it reads back as this one; its nearest double,
            # though, is that halfway point itself.
            (-7.0385307e-26, "-0.00000000000000000000000007038531"),
            (-7.0385313e-26, "-0.000000000000000000000000070385313"),
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


def float32_text(value):
    """NumPy's shortest round-trip digits of the float, in plain decimal."""
    x = np.float32(value)
    if np.isnan(x):
        return "NaN"
    if np.isinf(x):
        return "inf" if x > 0 else "-inf"
    return np.format_float_positional(x, unique=True, trim="-")


def _place(x):
    # Rounding treats the step after the largest float as 2^128.
    if np.isinf(x):
        return Fraction(2**128) if x > 0 else -Fraction(2**128)
    return Fraction(float(x))


def shortest_text(value):
    """The rule worked out exactly, for a finite float: among the decimals
    that round to it (those in its rounding interval, ends included when its
    last bit is even), the fewest significant digits, then the nearest to it;
    in plain decimal."""
    x = np.float32(value)
    exact = Fraction(float(x))
    if exact == 0:
        return "-0" if math.copysign(1.0, float(x)) < 0 else "0"
    with np.errstate(over="ignore"):  # past the largest float is infinity
        low = (exact + _place(np.nextafter(x, np.float32(-np.inf)))) / 2
        high = (exact + _place(np.nextafter(x, np.float32(np.inf)))) / 2
    closed = int(np.array([x]).view(np.uint32)[0]) % 2 == 0

    def reads_back(d):
        return low <= d <= high if closed else low < d < high

    power = 0  # 10^power <= |value| < 10^(power + 1)
    while Fraction(10) ** power > abs(exact):
        power -= 1
    while Fraction(10) ** (power + 1) <= abs(exact):
        power += 1
    for digits in range(1, 10):
        found = []
        # This many digits at the value's power of ten, and just below it.
        for exponent in (power - digits + 1, power - digits):
            grid = Fraction(10) ** exponent
            middle = math.floor(exact / grid)
            for n in range(middle - 1, middle + 3):
                if len(str(abs(n)).rstrip("0")) <= digits and reads_back(n * grid):
                    found.append((abs(n * grid - exact), n, exponent))
        if found:
            _, n, exponent = min(found)
            return format(Decimal(n).scaleb(exponent).normalize(), "f")
    raise AssertionError("nine digits always read back")


def powers_of_two_and_beside():
    """Powers of two and the floats next to them, where the rounding interval
    is lopsided (twice as long above as below); negated below 2, so that they
    are out of range."""
    out = []
    for power in (-96, -10, 1, 24, 64, 87, 90, 127):
        middle = np.float32(2.0**power)
        sign = -1.0 if power < 1 else 1.0
        for x in (np.nextafter(middle, np.float32(0)), middle, np.nextafter(middle, np.float32(np.inf))):
            out.append(sign * float(x))
    return out


def float32_from_bits(bits):
    return np.array([bits], dtype=np.uint32).view(np.float32)[0]


class TestStrengthText:
    """The value in the strength message: shortest round-trip digits in plain
    decimal, held against NumPy's digits and against the rule worked out
    exactly."""

    VALUES = [
        1.1, 1.5, 2.0, 1e20, 3.4028235e38, -3.4028235e38, 1.0000001, 1.0000002,
        -1 / 3, 123456789.0, 16777216.0, 16777217.0, 16777218.0,
        # Nine significant digits.
        15.495893478393555, 125756.484375, 1052466741248.0, 1.0263773567700335e27,
        # Subnormals and the smallest normals.
        -1e-45, -3e-45, -1.1754942e-38, -1.17549435e-38,
        # The halfway-point case.
        -7.0385307e-26, -7.0385313e-26,
    ]

    @pytest.mark.parametrize("value", VALUES + powers_of_two_and_beside())
    def test_shortest_digits(self, value):
        text = float32_text(value)
        assert text == shortest_text(value)
        raises_exactly(ValueError, STRENGTH.format(text), IMG, strength=value)

    def test_by_hand(self):
        assert shortest_text(2.0**87) == "154742510000000000000000000"
        assert shortest_text(-(2.0**-96)) == "-0.000000000000000000000000000012621775"
        assert shortest_text(-1e-45) == "-0.000000000000000000000000000000000000000000001"
        assert shortest_text(-1 / 3) == "-0.33333334"
        assert shortest_text(1e20) == "100000000000000000000"
        assert shortest_text(-0.0) == "-0"

    @settings(max_examples=300, deadline=None)
    @given(st.integers(0, 2**32 - 1))
    def test_any_float(self, bits):
        value = float32_from_bits(bits)
        if 0.0 <= value <= 1.0:
            value = -value if value != 0 else np.float32(-1.0)
        text = float32_text(value)
        if np.isfinite(value):
            assert text == shortest_text(value)
        raises_exactly(ValueError, STRENGTH.format(text), IMG, strength=float(value))


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
