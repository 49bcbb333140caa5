"""The dither dispatcher: which algorithm a method text selects."""

import numpy as np
import pytest

import dithering

IMG = (np.add.outer(np.arange(15) * 11, np.arange(21) * 5) % 256).astype(np.uint8)
ALL_NAMES = (
    "'floyd_steinberg', 'false_floyd_steinberg', 'jarvis_judice_ninke', 'stucki', 'atkinson', "
    "'burkes', 'sierra', 'sierra_two_row', 'sierra_lite', 'bayer2x2', 'bayer4x4', 'bayer8x8', "
    "'bayer16x16', 'random'"
)


def same(a, b):
    return np.array_equal(a, b)


def test_default_is_floyd_steinberg():
    assert same(dithering.dither(IMG), dithering.error_diffusion(IMG))


@pytest.mark.parametrize("name", dithering.available_methods() + ["JJN", "fs", "Sierra-2-4A"])
def test_error_diffusion_names(name):
    assert same(dithering.dither(IMG, name, serpentine=True, seed=5),
                dithering.error_diffusion(IMG, name, serpentine=True))


@pytest.mark.parametrize("name", ["random", "Random", "RANDOM", "ran-dom", "r a n d o m"])
def test_random_names(name):
    assert same(dithering.dither(IMG, name, seed=1, serpentine=True), dithering.random_dither(IMG, seed=1))


@pytest.mark.parametrize(
    ("name", "size"),
    [("bayer4x4", 4), ("8", 8), ("8x8", 8), ("Bayer-8", 8), ("bayer16x16", 16), ("BAYER_2X2", 2)],
)
def test_matrix_names(name, size):
    assert same(dithering.dither(IMG, name, serpentine=True, seed=5), dithering.ordered_dither(IMG, size))


def test_options_reach_the_driver():
    rgb = np.dstack([IMG, IMG[::-1], IMG[:, ::-1]])
    palette = ["#000", "#f00", "#0f0", "#00f", "#fff"]
    assert same(dithering.dither(rgb, "atkinson", palette=palette, linear=True, strength=0.5),
                dithering.error_diffusion(rgb, "atkinson", palette=palette, linear=True, strength=0.5))
    assert same(dithering.dither(rgb, "bayer4x4", levels=3, preserve_alpha=False),
                dithering.ordered_dither(rgb, 4, levels=3, preserve_alpha=False))


@pytest.mark.parametrize(
    ("name", "shown"),
    [("bogus", '"bogus"'), ("3x3", '"3x3"'), ("bayer", '"bayer"'), ('a"b\\c', '"a\\"b\\\\c"'),
     ("", '""'), ("fs\t", '"fs\\t"')],
)
def test_unknown_method(name, shown):
    with pytest.raises(ValueError) as info:
        dithering.dither(IMG, name)
    assert str(info.value) == f"unknown dither method {shown}; valid values: {ALL_NAMES}"
    assert info.value.__context__ is None


def test_integer_method_is_rejected():
    with pytest.raises(TypeError) as info:
        dithering.dither(IMG, 8)
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'method'"]


def test_method_checked_before_image():
    with pytest.raises(ValueError, match="unknown dither method"):
        dithering.dither("not an image", "bogus")
