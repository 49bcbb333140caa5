"""The palette argument and dithering to a palette."""

import numpy as np
import pytest

import dithering
import reference

RGB = np.full((3, 4, 3), 128, dtype=np.uint8)

SEQUENCE = (
    'palette must be a sequence of colors, e.g. ["#000", "#fff"] '
    "or [(0, 0, 0), (255, 255, 255)]"
)
BAD_ENTRY = "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples"
BAD_HEX = "invalid hex color {}; expected '#rgb' or '#rrggbb'"
COUNT = "palette color must have exactly 3 components (r, g, b), got {}"
RANGE = "palette color components must be in 0..=255, got {}"
TOO_FEW = "palette must contain at least 2 colors"
TOO_MANY = "palette must contain at most 4096 colors"


def random_image(seed, shape):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def random_palette(seed, count):
    return [tuple(c) for c in np.random.default_rng(seed).integers(0, 256, (count, 3)).tolist()]


def raises_exactly(exc_type, message, palette, image=RGB):
    with pytest.raises(exc_type) as info:
        dithering.error_diffusion(image, palette=palette)
    assert info.type is exc_type
    assert info.value.args == (message,)
    assert not hasattr(info.value, "__notes__")


class TestPaletteErrors:
    @pytest.mark.parametrize("palette", ["#fff", "", "#000,#fff"])
    def test_text_palette(self, palette):
        raises_exactly(TypeError, SEQUENCE, palette)

    def test_text_subclass_palette(self):
        class Text(str):
            pass

        raises_exactly(TypeError, SEQUENCE, Text("#000"))

    @pytest.mark.parametrize("palette", [42, 1.5, object()])
    def test_not_iterable(self, palette):
        with pytest.raises(TypeError) as expected:
            iter(palette)
        raises_exactly(TypeError, str(expected.value), palette)

    def test_iterator_error_passes_through(self):
        def colours():
            yield "#000"
            yield (255, 255, 255)
            raise ZeroDivisionError("palette source failed")

        with pytest.raises(ZeroDivisionError) as info:
            dithering.error_diffusion(RGB, palette=colours())
        assert info.value.args == ("palette source failed",)

    def test_entry_error_stops_iteration(self):
        consumed = []

        def colours():
            for entry in ["#000", 7, "#fff", "#f00"]:
                consumed.append(entry)
                yield entry

        raises_exactly(TypeError, BAD_ENTRY, colours())
        assert consumed == ["#000", 7]

    @pytest.mark.parametrize(
        "entry",
        [None, 7, 1.5, object(), {0: 1, 1: 2, 2: 3}, {1, 2, 3}, (0.5, 0, 0), (0, 0, 1.0), [0, 0, "0"],
         (0, 0, 2**63), (0, 0, -(2**63) - 1), (0.5, 0), (0, 0, 0, None), (np.float32(1), 0, 0)],
        ids=["none", "int", "float", "object", "dict", "set", "float-item", "whole-float-item", "str-item",
             "above-int64", "below-int64", "float-before-count", "bad-fourth", "numpy-float"],
    )
    def test_entry_kind(self, entry):
        raises_exactly(TypeError, BAD_ENTRY, ["#000", entry])

    def test_float_array(self):
        raises_exactly(TypeError, BAD_ENTRY, np.array([[0.0, 0.0, 0.0], [255.0, 255.0, 255.0]]))

    @pytest.mark.parametrize(
        ("entry", "quoted"),
        [
            (" #fff", '" #fff"'),
            ("#fff ", '"#fff "'),
            ("##fff", '"##fff"'),
            ("#ffff", '"#ffff"'),
            ("#12", '"#12"'),
            ("#12345g", '"#12345g"'),
            ("#1234567", '"#1234567"'),
            ("", '""'),
            ("#", '"#"'),
            ("0x0f380f", '"0x0f380f"'),
            ("#\uff10\uff10\uff10", '"#\uff10\uff10\uff10"'),
            ('#"\\', '"#\\"\\\\"'),
            ("#ff\tf", '"#ff\\tf"'),
            ("\r\n\0", '"\\r\\n\\0"'),
            ("#\x01\x7f", '"#\\u{1}\\u{7f}"'),
            ("#e\u0301e", '"#e\\u{301}e"'),
            ("'abc'", "\"'abc'\""),
            ("é", '"é"'),
        ],
    )
    def test_bad_hex(self, entry, quoted):
        raises_exactly(ValueError, BAD_HEX.format(quoted), [entry, "#fff"])

    @pytest.mark.parametrize(
        ("entry", "count"),
        [((0, 0), 2), ([], 0), ((1, 2, 3, 4), 4), (b"\x00\x00", 2), ((256, 0), 2), ((-1,), 1)],
    )
    def test_component_count(self, entry, count):
        raises_exactly(ValueError, COUNT.format(count), [(0, 0, 0), entry])

    @pytest.mark.parametrize(
        ("entry", "text"),
        [
            ((256, 0, 0), "[256, 0, 0]"),
            ((-1, 0, 0), "[-1, 0, 0]"),
            ((0, 0, 256), "[0, 0, 256]"),
            ([10, 2**63 - 1, 0], "[10, 9223372036854775807, 0]"),
            ((0, -(2**63), 0), "[0, -9223372036854775808, 0]"),
            ((np.int64(-5), np.int16(300), 0), "[-5, 300, 0]"),
        ],
    )
    def test_component_range(self, entry, text):
        raises_exactly(ValueError, RANGE.format(text), [entry, (0, 0, 0)])

    @pytest.mark.parametrize("palette", [[], ["#fff"], [(1, 2, 3)], (), iter([]), np.zeros((1, 3), np.uint8)])
    def test_too_few(self, palette):
        raises_exactly(ValueError, TOO_FEW, palette)

    def test_too_many(self):
        raises_exactly(ValueError, TOO_MANY, random_palette(1, 4097))

    def test_bad_entry_in_long_palette_wins_over_count(self):
        palette = random_palette(2, 5000)
        palette[4499] = (0, 0, 300)
        raises_exactly(ValueError, RANGE.format("[0, 0, 300]"), palette)
        palette[4499] = "#00g"
        raises_exactly(ValueError, BAD_HEX.format('"#00g"'), palette)

    def test_first_bad_entry_wins(self):
        raises_exactly(ValueError, BAD_HEX.format('"#xyz"'), ["#000", "#xyz", (0, 0, 999), 5])

    def test_palette_parsed_before_image(self):
        raises_exactly(ValueError, BAD_HEX.format('"#12"'), ["#12", "#fff"], image=np.zeros((2, 2)))


class TestAcceptedForms:
    @pytest.mark.parametrize(
        "palette",
        [
            ["#000", "#fff", "#f80"],
            ["000", "FFF", "Ff8800"],
            ["#000000", "#ffffff", "#FF8800"],
            [(0, 0, 0), (255, 255, 255), (255, 136, 0)],
            [[0, 0, 0], [255, 255, 255], [255, 136, 0]],
            ((0, 0, 0), "#fFf", [255, 136, 0]),
            np.array([[0, 0, 0], [255, 255, 255], [255, 136, 0]], dtype=np.uint8),
            np.array([[0, 0, 0], [255, 255, 255], [255, 136, 0]], dtype=np.int64),
            [b"\x00\x00\x00", b"\xff\xff\xff", b"\xff\x88\x00"],
            [(np.uint8(0), np.int32(0), 0), (True * 255, 255, 255), (255, 136, False)],
            iter(["#000", "#fff", "#f80"]),
            {"#000": 1, "#fff": 2, "#f80": 3},
        ],
        ids=["hex3", "hex-no-sign", "hex6", "tuples", "lists", "mixed", "uint8-array", "int64-array", "bytes",
             "numpy-ints", "iterator", "dict-keys"],
    )
    def test_same_palette(self, palette):
        image = random_image(3, (6, 7, 3))
        expected = reference.error_diffusion(image, palette=[(0, 0, 0), (255, 255, 255), (255, 136, 0)])
        assert np.array_equal(dithering.error_diffusion(image, palette=palette), expected)

    @pytest.mark.parametrize(
        ("text", "colour"),
        [
            ("#0F380f", (15, 56, 15)),
            ("#abc", (170, 187, 204)),
            ("#0f8", (0, 255, 136)),
            ("ABCDEF", (171, 205, 239)),
        ],
    )
    def test_hex_value(self, text, colour):
        # A pixel of exactly the colour, at strength 0, comes out as that colour.
        image = np.array([[colour, (250, 250, 250)]], dtype=np.uint8)
        result = dithering.error_diffusion(image, palette=[text, "#fff"], strength=0.0)
        assert result.tolist() == [[list(colour), [255, 255, 255]]]

    def test_largest_palette(self):
        palette = random_palette(4, 4096)
        image = random_image(5, (3, 4, 3))
        expected = reference.error_diffusion(image, palette=palette, strength=0.0)
        assert np.array_equal(dithering.error_diffusion(image, palette=palette, strength=0.0), expected)


class TestNearest:
    def test_duplicates_everything_white(self):
        image = random_image(6, (5, 5, 3))
        result = dithering.error_diffusion(image, palette=["#fff", "#fff"])
        assert np.all(result == 255)

    def test_tie_goes_to_first_listed(self):
        # (1, 1, 1) is exactly as far from (0, 0, 0) as from (2, 2, 2).
        image = np.array([[[1, 1, 1], [100, 100, 100]]], dtype=np.uint8)
        low, high, grey = (0, 0, 0), (2, 2, 2), (100, 100, 100)
        first = dithering.error_diffusion(image, palette=[low, high, grey], strength=0.0)
        assert first.tolist() == [[[0, 0, 0], [100, 100, 100]]]
        second = dithering.error_diffusion(image, palette=[high, low, grey], strength=0.0)
        assert second.tolist() == [[[2, 2, 2], [100, 100, 100]]]

    @pytest.mark.parametrize("linear", [False, True])
    def test_near_ties_match_reference(self, linear):
        image = np.arange(1, 31, dtype=np.uint8).reshape(2, 5, 3)
        for palette in ([(0, 0, 0), (2, 2, 2), (4, 4, 4), (30, 30, 30)],
                        [(30, 30, 30), (4, 4, 4), (2, 2, 2), (0, 0, 0)],
                        [(0, 2, 4), (2, 4, 0), (4, 0, 2), (30, 0, 30)]):
            for strength in (0.0, 1.0):
                expected = reference.error_diffusion(image, palette=palette, strength=strength, linear=linear)
                result = dithering.error_diffusion(image, palette=palette, strength=strength, linear=linear)
                assert np.array_equal(result, expected)

    def test_plain_quantization_is_nearest_colour(self):
        image = random_image(7, (9, 11, 3))
        palette = random_palette(8, 16)
        result = dithering.error_diffusion(image, palette=palette, strength=0.0)
        colours = np.array(palette, dtype=np.int64)
        distances = ((image[:, :, None, :].astype(np.int64) - colours) ** 2).sum(axis=3)
        expected = colours[np.argmin(distances, axis=2)]
        assert np.array_equal(result, expected.astype(np.uint8))

    @pytest.mark.parametrize("channels", [4, 5, 7])
    @pytest.mark.parametrize("preserve_alpha", [True, False])
    def test_extra_channels_untouched(self, channels, preserve_alpha):
        image = random_image(9, (6, 8, channels))
        result = dithering.error_diffusion(image, palette=random_palette(10, 6), preserve_alpha=preserve_alpha)
        assert np.array_equal(result[..., 3:], image[..., 3:])
        # The colour channels depend only on channels 0..2.
        colour = dithering.error_diffusion(np.ascontiguousarray(image[..., :3]), palette=random_palette(10, 6))
        assert np.array_equal(result[..., :3], colour)


class TestSpread:
    def test_documented_example(self):
        lut = reference.build_lut(False)
        palette = reference.Palette([(10, 50, 10), (40, 100, 40), (140, 170, 10), (160, 190, 10)], lut)
        assert [float(s) for s in palette.spread] == [50.0, float(np.float32(140 / 3)), 30.0]
        assert palette.spread[1] == np.float32(46.666668)

    @pytest.mark.parametrize("linear", [False, True])
    def test_black_and_white(self, linear):
        palette = reference.Palette([(0, 0, 0), (255, 255, 255)], reference.build_lut(linear))
        assert palette.spread == [255, 255, 255]

    def test_single_value_channel(self):
        palette = reference.Palette([(7, 0, 0), (7, 255, 3), (7, 9, 3)], reference.build_lut(False))
        assert palette.spread == [0, 127.5, 3]


def _palette_cases():
    cases = []
    kernels = list(reference.KERNELS)
    for i, count in enumerate([2, 3, 4, 5, 8, 16, 33, 64]):
        palette = random_palette(100 + i, count)
        if i % 2:
            palette += palette[: count // 3]  # duplicates, listed later
        shape = [(9, 13, 3), (7, 10, 4), (1, 17, 3), (15, 1, 5), (12, 12, 3), (6, 9, 4), (5, 6, 3), (4, 5, 3)][i]
        cases.append((count, palette, shape, kernels[i % len(kernels)], kernels[(i + 4) % len(kernels)]))
    return cases


class TestAgainstReference:
    @pytest.mark.parametrize("serpentine", [False, True])
    @pytest.mark.parametrize("linear", [False, True])
    @pytest.mark.parametrize("strength", [1.0, 0.5, 0.0, 0.8125, 0.3])
    @pytest.mark.parametrize(("count", "palette", "shape", "kernel", "other"), _palette_cases(),
                             ids=lambda v: None)
    def test_random_image(self, count, palette, shape, kernel, other, serpentine, linear, strength):
        image = random_image(count, shape)
        method = kernel if strength != 0.5 else other
        kwargs = {"palette": palette, "serpentine": serpentine, "strength": strength, "linear": linear,
                  "preserve_alpha": bool(count % 2)}
        expected = reference.error_diffusion(image, method, **kwargs)
        result = dithering.error_diffusion(image, method, **kwargs)
        assert np.array_equal(result, expected)

    @pytest.mark.parametrize("method", list(reference.KERNELS))
    def test_gradient_to_primaries(self, method):
        ramp = np.linspace(0, 255, 24).astype(np.uint8)
        image = np.stack(np.broadcast_arrays(ramp[None, :], ramp[::-1, None], np.uint8(90)), axis=2)
        palette = ["#000", "#f00", "#0f0", "#00f", "#ff0", "#0ff", "#f0f", "#fff"]
        colours = [(0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0), (0, 255, 255),
                   (255, 0, 255), (255, 255, 255)]
        for serpentine in (False, True):
            expected = reference.error_diffusion(image, method, palette=colours, serpentine=serpentine)
            result = dithering.error_diffusion(image, method, palette=palette, serpentine=serpentine)
            assert np.array_equal(result, expected)
