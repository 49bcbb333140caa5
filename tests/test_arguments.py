"""Argument matching and conversion of the method functions."""

import math

import numpy as np
import pytest

import dithering

IMG = np.full((2, 3), 128, dtype=np.uint8)
NOTE = "while processing '{}'"


def call(function, *args, **kwargs):
    """Calls `function` and checks that it produced an image of IMG's shape."""
    result = function(*args, **kwargs)
    assert result.shape == IMG.shape and result.dtype == np.uint8
    return result


def raises_with_note(exc_type, parameter, function, *args, match=None, **kwargs):
    with pytest.raises(exc_type, match=match) as info:
        function(*args, **kwargs)
    assert getattr(info.value, "__notes__", None) == [NOTE.format(parameter)]
    return info.value


class TestMatching:
    @pytest.mark.parametrize(
        ("function", "args", "kwargs", "message"),
        [
            (dithering.random_dither, (IMG, 4), {},
             "random_dither() takes 1 positional arguments but 2 were given"),
            (dithering.ordered_dither, (IMG, 4, 2), {},
             "ordered_dither() takes from 1 to 2 positional arguments but 3 were given"),
            (dithering.error_diffusion, (IMG, "fs", 2, 3), {},
             "error_diffusion() takes from 1 to 2 positional arguments but 4 were given"),
            (dithering.dither, (IMG, "fs", 2), {},
             "dither() takes from 1 to 2 positional arguments but 3 were given"),
            (dithering.error_diffusion, (IMG, "fs"), {"method": "atkinson"},
             "error_diffusion() got multiple values for argument 'method'"),
            (dithering.error_diffusion, (IMG,), {"image": IMG},
             "error_diffusion() got multiple values for argument 'image'"),
            (dithering.random_dither, (IMG,), {"bogus": 1},
             "random_dither() got an unexpected keyword argument 'bogus'"),
            (dithering.random_dither, (IMG,), {"serpentine": True},
             "random_dither() got an unexpected keyword argument 'serpentine'"),
            (dithering.error_diffusion, (IMG,), {"Levels": 2},
             "error_diffusion() got an unexpected keyword argument 'Levels'"),
            (dithering.ordered_dither, (), {"levels": 2},
             "ordered_dither() missing 1 required positional argument: 'image'"),
            (dithering.dither, (), {},
             "dither() missing 1 required positional argument: 'image'"),
        ],
    )
    def test_matching_errors_have_no_note(self, function, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            function(*args, **kwargs)
        assert str(info.value) == message
        assert not hasattr(info.value, "__notes__")

    def test_unknown_keyword_reported_before_missing_image(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
            dithering.random_dither(x=1)

    def test_image_by_keyword(self):
        call(dithering.error_diffusion, image=IMG)
        assert np.array_equal(call(dithering.ordered_dither, image=IMG, matrix=None),
                              dithering.ordered_dither(IMG))

    def test_keyword_names_are_case_sensitive_and_exact(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'preserve_alpha '"):
            dithering.random_dither(IMG, **{"preserve_alpha ": True})


ALL_FUNCTIONS = [
    dithering.random_dither,
    dithering.ordered_dither,
    dithering.error_diffusion,
    dithering.dither,
]


class TestIntegerRule:
    @pytest.mark.parametrize("function", ALL_FUNCTIONS)
    @pytest.mark.parametrize("value", [-1, 2**40, 2**32])
    def test_out_of_uint32_range(self, function, value):
        error = raises_with_note(OverflowError, "levels", function, IMG, levels=value)
        assert str(error) == "out of range integral type conversion attempted"

    def test_beyond_64_bits_is_the_interpreters_overflow(self):
        error = raises_with_note(OverflowError, "levels", dithering.random_dither, IMG, levels=2**70)
        assert str(error) != "out of range integral type conversion attempted"

    @pytest.mark.parametrize("value", [None, 2.0, "2", [2]])
    def test_not_an_integer(self, value):
        raises_with_note(TypeError, "levels", dithering.random_dither, IMG, levels=value)

    @pytest.mark.parametrize("value", [True, 0, 4, 2**32 - 1, np.int64(4), np.uint8(3)])
    def test_accepted(self, value):
        try:
            call(dithering.random_dither, IMG, levels=value, seed=0)
        except ValueError as error:
            # Range 2..256 is checked later, by the pixel pipeline.
            assert str(error).startswith("levels must be between 2 and 256")
            assert not hasattr(error, "__notes__")


class TestSeedRule:
    @pytest.mark.parametrize("value", [2**127, -(2**127) - 1, 2**200])
    def test_beyond_128_bits(self, value):
        error = raises_with_note(OverflowError, "seed", dithering.random_dither, IMG, seed=value)
        assert str(error) == "Python int larger than 128 bits"

    @pytest.mark.parametrize("value", ["1", 1.0, [1]])
    def test_not_an_integer(self, value):
        raises_with_note(TypeError, "seed", dithering.random_dither, IMG, seed=value)

    @pytest.mark.parametrize("value", [0, -1, 2**64, 2**127 - 1, -(2**127), np.uint64(2**64 - 1), True])
    def test_accepted(self, value):
        # Only the low 64 bits of the seed count.
        expected = dithering.random_dither(IMG, seed=int(value) % 2**64)
        assert np.array_equal(call(dithering.random_dither, IMG, seed=value), expected)

    def test_none_is_no_seed(self):
        call(dithering.random_dither, IMG, seed=None, palette=None)

    def test_dither_converts_seed_it_would_ignore(self):
        raises_with_note(TypeError, "seed", dithering.dither, IMG, "fs", seed="x")


class Floaty:
    def __float__(self):
        return 0.5


class BrokenFloat:
    def __float__(self):
        raise ZeroDivisionError("no float here")


class TestFloatRule:
    @pytest.mark.parametrize("value", ["0.5", None, [0.5], 1j])
    def test_not_convertible(self, value):
        raises_with_note(TypeError, "strength", dithering.random_dither, IMG, strength=value)

    def test_own_exception_passes_through(self):
        raises_with_note(ZeroDivisionError, "strength", dithering.random_dither, IMG, strength=BrokenFloat())

    @pytest.mark.parametrize(
        ("value", "same_as"),
        [(1, 1.0), (True, 1.0), (1.00000001, 1.0), (np.float32(0.25), 0.25), (Floaty(), 0.5),
         (-0.0, 0.0), (0.1 + 2**-40, 0.1)],
    )
    def test_accepted(self, value, same_as):
        expected = dithering.random_dither(IMG, strength=same_as, seed=0)
        assert np.array_equal(call(dithering.random_dither, IMG, strength=value, seed=0), expected)


class TestBoolRule:
    @pytest.mark.parametrize("parameter", ["linear", "preserve_alpha", "serpentine"])
    @pytest.mark.parametrize(
        ("value", "message"),
        [
            (1, "'int' object is not an instance of 'bool'"),
            (0, "'int' object is not an instance of 'bool'"),
            (None, "'None' is not an instance of 'bool'"),
            ("yes", "'str' object is not an instance of 'bool'"),
            (np.int64(1), "'int64' object is not an instance of 'bool'"),
            (np.array([True]), "'ndarray' object is not an instance of 'bool'"),
        ],
    )
    def test_rejected(self, parameter, value, message):
        error = raises_with_note(TypeError, parameter, dithering.dither, IMG, **{parameter: value})
        assert str(error) == message

    @pytest.mark.parametrize("value", [True, False, np.bool_(True), np.bool_(False)])
    def test_accepted(self, value):
        expected = dithering.error_diffusion(IMG, linear=bool(value), serpentine=bool(value))
        assert np.array_equal(call(dithering.error_diffusion, IMG, linear=value, serpentine=value,
                                   preserve_alpha=value), expected)


class TestTextRule:
    @pytest.mark.parametrize(
        ("value", "message"),
        [
            (None, "'None' is not an instance of 'str'"),
            (8, "'int' object is not an instance of 'str'"),
            (b"fs", "'bytes' object is not an instance of 'str'"),
        ],
    )
    @pytest.mark.parametrize("function", [dithering.error_diffusion, dithering.dither])
    def test_rejected(self, function, value, message):
        error = raises_with_note(TypeError, "method", function, IMG, method=value)
        assert str(error) == message

    def test_lone_surrogate(self):
        raises_with_note(UnicodeEncodeError, "method", dithering.error_diffusion, IMG, "fs\ud800")

    def test_str_subclass_accepted(self):
        class Name(str):
            pass

        assert np.array_equal(call(dithering.error_diffusion, IMG, Name("atkinson")),
                              dithering.error_diffusion(IMG, "atkinson"))


class TestConversionOrder:
    def test_first_failure_wins(self):
        raises_with_note(TypeError, "levels", dithering.random_dither, IMG, levels="x", linear=3)

    def test_error_diffusion_order(self):
        # method, levels, palette, serpentine, strength, linear, preserve_alpha
        raises_with_note(TypeError, "serpentine", dithering.error_diffusion, IMG,
                         preserve_alpha=1, linear=1, strength="x", serpentine=1)
        raises_with_note(TypeError, "strength", dithering.error_diffusion, IMG,
                         preserve_alpha=1, linear=1, strength="x")

    def test_dither_order(self):
        # serpentine before seed before strength
        raises_with_note(TypeError, "serpentine", dithering.dither, IMG, seed="x", serpentine=1)
        raises_with_note(TypeError, "seed", dithering.dither, IMG, seed="x", strength="x")

    def test_conversion_before_method_lookup(self):
        raises_with_note(TypeError, "levels", dithering.error_diffusion, IMG, "bogus", levels="x")

    def test_note_does_not_hide_the_message(self):
        error = raises_with_note(TypeError, "linear", dithering.random_dither, IMG, linear=math.pi)
        assert str(error) == "'float' object is not an instance of 'bool'"
