"""Ordered and random dither against the plain reference, and worked values."""

import numpy as np
import pytest

import dithering
from reference_threshold import bayer, ordered_dither, random_dither, splitmix_units

RNG = np.random.default_rng(20261207)


def random_image(shape):
    return RNG.integers(0, 256, shape, dtype=np.uint8)


def uniform(value, shape=(2, 2)):
    return np.full(shape, value, np.uint8)


@pytest.mark.parametrize(
    ("value", "expected"),
    [(128, [[0, 255], [255, 0]]), (64, [[0, 0], [255, 0]]), (191, [[0, 255], [255, 255]]),
     (0, [[0, 0], [0, 0]]), (255, [[255, 255], [255, 255]])],
)
def test_ordered_worked_example(value, expected):
    assert dithering.ordered_dither(uniform(value), 2).tolist() == expected


def test_ordered_palette_checkerboard():
    img = np.dstack([uniform(128)] * 3)
    out = dithering.ordered_dither(img, 2, palette=["#000", "#fff"])
    for c in range(3):
        assert out[..., c].tolist() == [[0, 255], [255, 0]]


def test_generator_worked_values():
    units = splitmix_units(0, 4)
    assert [int((u + np.float32(0.5)) * 2**24) for u in units] == [2953000, 7701871, 8811707, 6036809]
    assert float(units[0]) == -0.3239874839782715


def test_random_worked_example():
    assert dithering.random_dither(uniform(128, (1, 8)), seed=0).tolist() == [[0, 0, 255, 0, 255, 255, 0, 255]]


@pytest.mark.parametrize(("a", "b"), [(-1, 2**64 - 1), (2**64, 0), (2**64 + 5, 5), (-(2**127), 0)])
def test_seeds_modulo_two_to_the_64(a, b):
    img = random_image((9, 11, 3))
    assert np.array_equal(dithering.random_dither(img, seed=a), dithering.random_dither(img, seed=b))


def test_unseeded_calls_differ():
    img = uniform(128, (64, 64))
    results = {dithering.random_dither(img).tobytes() for _ in range(3)}
    assert len(results) > 1


@pytest.mark.parametrize("function", [dithering.ordered_dither, dithering.random_dither])
def test_strength_zero_is_plain_quantization(function):
    img = random_image((13, 17))
    expected = np.where(img >= 128, 255, 0)
    assert np.array_equal(function(img, strength=0.0), expected)
    assert np.array_equal(function(img, strength=0.0, levels=256), img)


def test_random_extremes_stay_put():
    img = np.array([[0, 255] * 50], np.uint8)
    for seed in range(5):
        assert np.array_equal(dithering.random_dither(img, seed=seed), img)


def test_random_gray_stays_gray():
    img = np.dstack([random_image((10, 10))] * 3)
    out = dithering.random_dither(img, seed=9, levels=3)
    assert np.array_equal(out[..., 0], out[..., 1]) and np.array_equal(out[..., 1], out[..., 2])


@pytest.mark.parametrize("function", [dithering.ordered_dither, dithering.random_dither])
@pytest.mark.parametrize("channels", [2, 4])
def test_alpha_pass_through(function, channels):
    img = random_image((6, 7, channels))
    out = function(img, seed=3) if function is dithering.random_dither else function(img)
    assert np.array_equal(out[..., -1], img[..., -1])
    kept = function(img, preserve_alpha=False, **({"seed": 3} if function is dithering.random_dither else {}))
    assert set(np.unique(kept[..., -1])) <= {0, 255}


def test_random_alpha_takes_no_draw():
    # With the alpha channel skipped, colour channels see the same draws as
    # the same pixels without an alpha channel.
    rgb = random_image((5, 6, 3))
    rgba = np.dstack([rgb, random_image((5, 6))])
    assert np.array_equal(dithering.random_dither(rgba, seed=4)[..., :3], dithering.random_dither(rgb, seed=4))


def test_gray_and_single_channel_agree():
    img = random_image((9, 10))
    out3 = dithering.ordered_dither(img[..., None])
    assert out3.shape == (9, 10, 1)
    assert np.array_equal(out3[..., 0], dithering.ordered_dither(img))


SHAPES = [(1, 1), (1, 9), (9, 1), (17, 23), (8, 8, 1), (5, 13, 2), (11, 7, 3), (6, 9, 4), (4, 5, 5)]
SETTINGS = [
    {"levels": 2}, {"levels": 3, "linear": True}, {"levels": 4, "strength": 0.3},
    {"levels": 7, "preserve_alpha": False}, {"levels": 16, "strength": 0.75, "linear": True},
    {"levels": 256}, {"levels": 2, "strength": 0.0},
]
PALETTES = [
    [(0, 0, 0), (255, 255, 255)],
    [(10, 50, 10), (40, 100, 40), (140, 170, 10), (160, 190, 10)],
    [tuple(int(v) for v in RNG.integers(0, 256, 3)) for _ in range(23)] + [(0, 0, 0), (0, 0, 0)],
]
MATRICES = [bayer(2), bayer(4), bayer(8), bayer(16), [[np.float32(0.3), np.float32(0.9), np.float32(0.1)]],
            [[np.float32((i * 5 + j * 3) % 11 / 11) for j in range(5)] for i in range(4)]]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("settings", SETTINGS, ids=str)
def test_ordered_levels_match_reference(shape, settings):
    img = random_image(shape)
    for matrix in MATRICES:
        expected = ordered_dither(img, matrix, **settings)
        assert np.array_equal(dithering.ordered_dither(img, np.array(matrix, np.float32), **settings), expected)


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("settings", SETTINGS, ids=str)
def test_random_levels_match_reference(shape, settings):
    img = random_image(shape)
    for seed in (0, 1, 2**64 - 1, -12345):
        assert np.array_equal(dithering.random_dither(img, seed=seed, **settings),
                              random_dither(img, seed, **settings))


@pytest.mark.parametrize("shape", [(1, 1, 3), (7, 9, 3), (12, 10, 4), (5, 6, 5)], ids=str)
@pytest.mark.parametrize("palette", PALETTES, ids=len)
@pytest.mark.parametrize("settings", [{}, {"strength": 0.4}, {"linear": True}, {"preserve_alpha": False}], ids=str)
def test_palettes_match_reference(shape, palette, settings):
    img = random_image(shape)
    for matrix in MATRICES[:3] + MATRICES[4:]:
        assert np.array_equal(dithering.ordered_dither(img, np.array(matrix, np.float32), palette=palette, **settings),
                              ordered_dither(img, matrix, palette=palette, **settings))
    assert np.array_equal(dithering.random_dither(img, seed=7, palette=palette, **settings),
                          random_dither(img, 7, palette=palette, **settings))


def test_large_image_fast_paths_match_reference_rows():
    # Big enough for the per-call lookup tables and vector paths; compare a
    # few rows computed by the reference on a cropped copy of the same image.
    img = random_image((64, 300, 3))
    for levels in (2, 5):
        out = dithering.ordered_dither(img, 4, levels=levels)
        assert np.array_equal(out[:8], ordered_dither(img[:8], bayer(4), levels=levels))
        out = dithering.random_dither(img, seed=11, levels=levels)
        assert np.array_equal(out[:3], random_dither(img, 11, levels=levels)[:3])


THRESHOLD_CALLS = {
    "ordered 2": lambda img: dithering.ordered_dither(img),
    "ordered 4 linear": lambda img: dithering.ordered_dither(img, 4, levels=4, linear=True),
    "random 2": lambda img: dithering.random_dither(img, seed=5),
    "random 4": lambda img: dithering.random_dither(img, levels=4, seed=5),
    "random 9": lambda img: dithering.random_dither(img, levels=9, seed=5),
}


@pytest.mark.parametrize("call", THRESHOLD_CALLS)
@pytest.mark.parametrize("shape", [(1, 1), (3, 33), (40, 70), (9, 31, 3), (5, 65, 4)], ids=str)
def test_contiguous_input_read_in_place_matches_copied_layouts(call, shape):
    # A C-contiguous array is read where it is; other layouts are copied
    # first. Both give the same bytes and leave the caller's array alone.
    function = THRESHOLD_CALLS[call]
    img = random_image(shape)
    before = img.copy()
    expected = function(img)
    assert np.array_equal(img, before)
    reversed_view = img[::-1, ::-1][::-1, ::-1]
    fortran = np.asfortranarray(img)
    assert np.array_equal(function(fortran), expected)
    assert np.array_equal(function(reversed_view), expected)
    read_only = img.copy()
    read_only.flags.writeable = False
    assert np.array_equal(function(read_only), expected)
    assert np.array_equal(img, before)


@pytest.mark.parametrize("call", THRESHOLD_CALLS)
def test_image_larger_than_the_caches(call):
    # Results this large are written past the caches; a strided view of the
    # same pixels goes through the copied input instead.
    function = THRESHOLD_CALLS[call]
    img = random_image((1100, 8000))
    before = img.copy()
    expected = function(img)
    assert np.array_equal(img, before)
    wide = np.empty((1100, 16000), np.uint8)
    wide[:, ::2] = img
    assert np.array_equal(function(wide[:, ::2]), expected)
    # The first rows against the plain reference.
    references = {
        "ordered 2": lambda part: ordered_dither(part, bayer(8)),
        "ordered 4 linear": lambda part: ordered_dither(part, bayer(4), levels=4, linear=True),
        "random 2": lambda part: random_dither(part, 5),
        "random 4": lambda part: random_dither(part, 5, levels=4),
        "random 9": lambda part: random_dither(part, 5, levels=9),
    }
    assert np.array_equal(expected[:2], references[call](img[:2]))
