"""The matrix argument of ordered dither: its three readings and messages."""

import numpy as np
import pytest

import dithering
from reference_threshold import bayer, bayer_indices, from_indices, from_thresholds, ordered_dither

# A ramp that crosses many thresholds, so different tiles give different bytes.
IMG = (np.add.outer(np.arange(19) * 13, np.arange(23) * 7) % 256).astype(np.uint8)
MATRIX_NAMES = "'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16'"


def unknown_matrix(shown):
    return (f"unknown dither matrix {shown}; valid values: {MATRIX_NAMES}, the size as an "
            "int (2, 4, 8, 16), or a custom 2-D numpy matrix")


def shape_message(shape):
    return (f"custom dither matrix must be a non-empty 2-D array, got shape {shape}; pass "
            "'bayerNxN', the size as an int (2, 4, 8, 16), or a 2-D numpy array")


@pytest.mark.parametrize("n", [2, 4, 8, 16])
def test_bayer_matrices_match_the_recursive_definition(n):
    expected = ordered_dither(IMG, bayer(n))
    assert np.array_equal(dithering.ordered_dither(IMG, n), expected)
    assert np.array_equal(dithering.ordered_dither(IMG, f"bayer{n}x{n}"), expected)


def test_bayer_index_tables():
    assert bayer_indices(2).tolist() == [[0, 2], [3, 1]]
    assert bayer_indices(4).tolist() == [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]
    assert bayer_indices(8)[0].tolist() == [0, 32, 8, 40, 2, 34, 10, 42]
    assert bayer_indices(8)[7].tolist() == [63, 31, 55, 23, 61, 29, 53, 21]
    assert bayer(2) == [[0.125, 0.625], [0.875, 0.375]]
    assert bayer(8)[0][0] == 0.0078125 and max(max(r) for r in bayer(8)) == 0.9921875


@pytest.mark.parametrize(
    "matrix",
    ["bayer8x8", "Bayer8X8", "BAYER_8x8", "bayer-8x8", "bayer 8 x 8", "8x8", "8", "bayer8", 8,
     np.int64(8), np.uint8(8), None],
)
def test_forms_of_the_default_matrix(matrix):
    assert np.array_equal(dithering.ordered_dither(IMG, matrix), ordered_dither(IMG, bayer(8)))


def test_matrix_omitted_is_bayer8():
    assert np.array_equal(dithering.ordered_dither(IMG), dithering.ordered_dither(IMG, "bayer8x8"))


@pytest.mark.parametrize(
    ("matrix", "shown"),
    [("bayer8x4", '"bayer8x4"'), ("bayer08x08", '"bayer08x08"'), ("+8", '"+8"'),
     ("bayer", '"bayer"'), ("x8", '"x8"'), ("Bayer3x3", '"Bayer3x3"'), ("bayer32x32", '"bayer32x32"'),
     ("1x1", '"1x1"'), ("0", '"0"'), ("", '""'), ("8x8x8", '"8x8x8"'), ('8"\t', '"8\\"\\t"'),
     (0, '"0"'), (1, '"1"'), (True, '"1"'), (3, '"3"'), (32, '"32"'), (2**64 - 1, '"18446744073709551615"')],
)
def test_unknown_names_and_sizes(matrix, shown):
    with pytest.raises(ValueError) as info:
        dithering.ordered_dither(IMG, matrix)
    assert str(info.value) == unknown_matrix(shown)


@pytest.mark.parametrize(
    ("matrix", "shape"),
    [(-4, "[]"), (8.0, "[]"), (b"8", "[]"), (2**64, "[]"), ([1, 2, 3], "[3]"),
     (np.zeros((0, 3)), "[0, 3]"), (np.zeros((2, 2, 2)), "[2, 2, 2]"), ([[]], "[1, 0]"),
     (np.zeros((2, 2, 2), bool), "[2, 2, 2]")],
)
def test_shape_errors(matrix, shape):
    with pytest.raises(ValueError) as info:
        dithering.ordered_dither(IMG, matrix)
    assert str(info.value) == shape_message(shape)


@pytest.mark.parametrize(
    ("matrix", "kind"),
    [(np.zeros((2, 2), bool), "b"), (np.zeros((2, 2), complex), "c"),
     (np.array([["a", "b"]]), "U"), (np.array([[object(), 1]], dtype=object), "O")],
)
def test_kind_errors(matrix, kind):
    with pytest.raises(TypeError) as info:
        dithering.ordered_dither(IMG, matrix)
    assert str(info.value) == (
        "custom dither matrix must have an integer dtype (Bayer-style indices) or float dtype "
        f'(thresholds in [0, 1]), got kind "{kind}"')


@pytest.mark.parametrize(
    ("matrix", "message"),
    [([[0, 16777216]], "integer matrix values must be below 2^24, got 16777216"),
     ([[0, -1]], "integer matrix values must be >= 0, got -1 (note: unsigned 64-bit values "
                 "above 2^63 overflow to negative)"),
     (np.array([[2**63, 1]], np.uint64), "integer matrix values must be >= 0, got "
      "-9223372036854775808 (note: unsigned 64-bit values above 2^63 overflow to negative)"),
     ([[1.5]], "float matrix thresholds must be in [0, 1]"),
     ([[0.5, np.nan]], "float matrix thresholds must be in [0, 1]"),
     ([[-0.0, -1e-300]], "float matrix thresholds must be in [0, 1]")],
)
def test_value_errors(matrix, message):
    with pytest.raises(ValueError) as info:
        dithering.ordered_dither(IMG, matrix)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "matrix",
    [[[0, 1, 2], [3, 4, 5]], [[0, 0], [0, 10]], [[5]], [[0, 2], [3, 1]],
     np.array([[3, 1, 4, 1, 5]], np.uint16), np.arange(12, dtype=np.int8).reshape(4, 3)],
)
def test_integer_matrices(matrix):
    assert np.array_equal(dithering.ordered_dither(IMG, matrix), ordered_dither(IMG, from_indices(matrix)))


def test_integer_thresholds_worked_values():
    assert from_indices([[0, 1, 2], [3, 4, 5]])[1][2] == np.float32(5.5) / np.float32(6)
    assert from_indices([[0, 0], [0, 10]])[1][1] == np.float32(10.5) / np.float32(11)
    # The 2x2 index matrix given as integers is the 2x2 Bayer matrix.
    assert np.array_equal(dithering.ordered_dither(IMG, [[0, 2], [3, 1]]), dithering.ordered_dither(IMG, 2))


@pytest.mark.parametrize(
    "matrix",
    [[[0.0, 1.0]], [[0.25, 0.5], [0.75, 0.999999999]], np.float32([[0.1, 0.9, 0.3]]),
     np.random.default_rng(3).random((7, 5)), np.array([[0.5]], np.float16)],
)
def test_float_matrices(matrix):
    assert np.array_equal(dithering.ordered_dither(IMG, matrix), ordered_dither(IMG, from_thresholds(matrix)))


def test_threshold_one_is_capped_below_one():
    assert from_thresholds([[1.0]])[0][0] == np.float32(0.99999988079071044921875)
    # Byte 255 with threshold 1 at full strength still maps to 255, and byte 0
    # with threshold 0 to 0: the cap keeps the offset inside half a step.
    img = np.array([[0, 255]], np.uint8)
    assert dithering.ordered_dither(img, [[0.0, 1.0]]).tolist() == [[0, 255]]


def test_caller_matrix_untouched():
    matrix = np.array([[3, 0], [1, 2]], np.int32)
    copy = matrix.copy()
    dithering.ordered_dither(IMG, matrix)
    assert np.array_equal(matrix, copy)


def test_matrix_error_before_image_error():
    with pytest.raises(ValueError, match="unknown dither matrix"):
        dithering.ordered_dither("not an image", "bayer3x3", levels=1)


class BrokenIndex:
    def __index__(self):
        raise ZeroDivisionError("broken")


def test_broken_index_passes_through():
    with pytest.raises(ZeroDivisionError):
        dithering.ordered_dither(IMG, BrokenIndex())


def test_ragged_list_passes_numpys_error():
    with pytest.raises(ValueError) as info:
        dithering.ordered_dither(IMG, [[1, 2], [3]])
    assert "custom dither matrix" not in str(info.value)


def test_tuple_matrix_is_one_argument():
    # A tuple is handed to numpy.asarray whole, not spread into its arguments.
    assert np.array_equal(dithering.ordered_dither(IMG, ((0.25, 0.75),)),
                          dithering.ordered_dither(IMG, [[0.25, 0.75]]))
    assert np.array_equal(dithering.ordered_dither(IMG, (np.array([0, 2]), np.array([3, 1]))),
                          dithering.ordered_dither(IMG, 2))
