"""dithering_tools.make_palette and quantize: the palette maker's promises
(exact colours when they fit, every colour used, weights and alpha
respected, the same palette on every machine) and the one-call quantize."""

import hashlib

import numpy as np
import pytest
from PIL import Image

import dithering
from dithering_tools import bounded_error_diffusion, make_palette, quantize
from dithering_tools.palette_making import DEFAULT_STRENGTH, activity_weights


def photo_like(seed, shape=(96, 128)):
    """Smooth gradients, a few flat patches and noise: many colours, as a
    photo has, in a few tenths of a megapixel."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:shape[0], 0:shape[1]] / np.array(shape).reshape(2, 1, 1)
    rgb = np.stack([255 * x, 255 * y, 128 + 100 * np.sin(6 * x * y)], axis=-1)
    rgb[10:30, 10:40] = (200, 60, 20)
    rgb += rng.normal(0, 6, rgb.shape)
    return np.clip(rgb, 0, 255).astype(np.uint8)


def nearest_indices(image, palette):
    """Each pixel's nearest colour, the dithering functions' own rule
    (strength 0 is plain quantization), as indices into `palette`."""
    out = dithering.error_diffusion(image, palette=palette, strength=0.0)
    def keys(a):
        return (a[..., 0].astype(np.int64) << 16) | (a[..., 1].astype(np.int64) << 8) | a[..., 2]
    lookup = {k: i for i, k in reversed(list(enumerate(keys(palette).tolist())))}
    return np.vectorize(lookup.__getitem__)(keys(out))


def distinct(palette):
    return len(np.unique(palette, axis=0))


@pytest.fixture(scope="module")
def many_colours():
    """More distinct colours (301,497) than the maker keeps one point for
    each: it refines on the histogram's cells instead."""
    return photo_like(1, (512, 640))


@pytest.mark.parametrize("size", ["small", "many colours"])
@pytest.mark.parametrize("n", [2, 7, 16, 256, 4096])
def test_n_distinct_colours_each_nearest_to_some_pixel(n, size, many_colours):
    image = photo_like(1, (128, 160)) if size == "small" else many_colours
    palette = make_palette(image, n)
    assert palette.dtype == np.uint8 and palette.shape == (n, 3) and distinct(palette) == n
    used = np.unique(nearest_indices(image, palette))
    assert len(used) == n


@pytest.mark.parametrize("refine", [0, 1, 30])
@pytest.mark.parametrize("weights", ["activity", None])
def test_every_colour_used_whatever_the_steps_and_weights(refine, weights):
    image = photo_like(2)
    palette = make_palette(image, 64, refine=refine, weights=weights)
    assert len(palette) == 64 and len(np.unique(nearest_indices(image, palette))) == 64


def test_an_image_of_few_colours_gets_exactly_them_heaviest_first():
    colours = np.array([[0, 0, 0], [255, 0, 0], [0, 128, 255], [10, 20, 30], [200, 200, 200]],
                       np.uint8)
    counts = [50, 400, 30, 20, 100]
    pixels = np.repeat(colours, counts, axis=0)
    image = np.random.default_rng(3).permutation(pixels).reshape(20, 30, 3)
    palette = make_palette(image, 5, weights=None)
    assert palette.tolist() == [[255, 0, 0], [200, 200, 200], [0, 0, 0], [0, 128, 255],
                                [10, 20, 30]]
    assert sorted(map(tuple, make_palette(image, 256).tolist())) == sorted(map(tuple, colours.tolist()))


def test_more_distinct_colours_than_cells_still_fill_the_palette():
    # 300 colours inside a few cells of the histogram: the splits stop
    # early and the palette is filled from the pixels themselves.
    rng = np.random.default_rng(4)
    base = rng.integers(100, 108, size=(300, 3), dtype=np.uint8)
    while len(np.unique(base, axis=0)) < 300:
        base = np.unique(np.concatenate([base, rng.integers(100, 108, (50, 3), np.uint8)]),
                         axis=0)[:300]
    image = base[:300].reshape(15, 20, 3)
    palette = make_palette(image, 256)
    assert len(palette) == 256 and distinct(palette) == 256
    assert len(np.unique(nearest_indices(image, palette))) == 256


@pytest.mark.parametrize("source", ["array", "pil", "repeat"])
def test_the_same_image_gives_the_same_palette(source):
    image = photo_like(5)
    first = make_palette(image, 32)
    other = {"array": lambda: make_palette(image.copy(), 32),
             "pil": lambda: make_palette(Image.fromarray(image), 32),
             "repeat": lambda: make_palette(np.asfortranarray(image), 32)}[source]()
    assert np.array_equal(first, other)


# The palettes of a fixed picture, byte for byte: integer moments, exact
# cuts and the search's own distances give these on every machine.
PINNED = {
    ("small", 16): "830b7c44afe20e09",
    ("small", 256): "1f4ca02b29a4164f",
    ("small", 4096): "bfb9ffd4bc1734aa",
    ("many colours", 16): "e08748d9f621efbb",
    ("many colours", 256): "fb0f113a520513d8",
    ("many colours", 4096): "3c550545b78e2a0f",
}


def test_palettes_are_pinned(many_colours):
    images = {"small": photo_like(6, (160, 200)), "many colours": many_colours}
    digests = {(name, n): hashlib.sha256(make_palette(image, n).tobytes()).hexdigest()[:16]
               for name, image in images.items() for n in (16, 256, 4096)}
    assert digests == PINNED


def test_zero_weights_leave_pixels_out():
    image = photo_like(7)
    weights = np.ones(image.shape[:2])
    weights[:, 64:] = 0
    left = make_palette(image, 8, weights=weights)
    assert np.array_equal(left, make_palette(np.ascontiguousarray(image[:, :64]), 8, weights=None))


def test_heavy_pixels_draw_colours_to_them():
    # Two flat halves and a faint gradient stripe: weighted up, the stripe
    # gets most of the colours; weighted down, the flat halves keep theirs.
    image = np.zeros((64, 64, 3), np.uint8)
    image[:, :32] = (30, 30, 30)
    image[:, 32:] = (220, 220, 220)
    image[28:36] = np.linspace(0, 255, 64).astype(np.uint8)[None, :, None]
    weights = np.ones((64, 64))
    weights[28:36] = 100
    heavy = make_palette(image, 6, weights=weights)
    light = make_palette(image, 6, weights=1 + 99 * (weights == 1))
    stripe = image[28:36, :, 0].ravel()

    def stripe_error(palette):
        grey = palette.astype(int).mean(axis=1)
        return np.abs(stripe[:, None] - grey[None, :]).min(axis=1).mean()
    assert stripe_error(heavy) < stripe_error(light)
    flats = {(30, 30, 30), (220, 220, 220)}
    assert flats <= set(map(tuple, light.tolist()))
    assert not flats <= set(map(tuple, heavy.tolist()))


def test_activity_weights_favour_smooth_areas():
    image = np.full((40, 40, 3), 128, np.uint8)
    image[:, 20:] = np.random.default_rng(8).integers(0, 256, (40, 20, 3))
    w = activity_weights(image)
    assert w.shape == (40, 40) and w.dtype == np.uint8
    assert (w[:, :18] == 16).all() and w[:, 22:].max() < 4 and w.min() >= 1


@pytest.mark.parametrize("shape", [(32, 32), (32, 32, 1), (32, 32, 2)])
def test_grey_images_get_grey_colours(shape):
    grey = np.tile(np.arange(0, 256, 8, dtype=np.uint8), (32, 1)).reshape(shape[:2])
    image = grey if len(shape) == 2 else np.dstack([grey] * shape[2]) if shape[2] == 1 \
        else np.dstack([grey, np.full_like(grey, 255)])
    palette = make_palette(image, 8)
    assert len(palette) == 8 and (palette[:, 0] == palette[:, 1]).all() \
        and (palette[:, 1] == palette[:, 2]).all()


def test_a_single_colour_image():
    image = np.full((10, 10, 3), (12, 34, 56), np.uint8)
    assert make_palette(image, 16).tolist() == [[12, 34, 56]]
    indices, palette = quantize(image, 16)
    assert palette.tolist() == [[12, 34, 56]] and (indices == 0).all()


def test_transparent_pixels_take_no_colour():
    image = np.zeros((20, 20, 4), np.uint8)
    image[..., :3] = (255, 0, 255)       # hidden magenta
    image[:10, :, :3] = (0, 200, 0)
    image[:10, :, 3] = 255
    image[10:, :, 3] = 0
    assert make_palette(image, 4).tolist() == [[0, 200, 0]]
    pil = Image.fromarray(image, "RGBA")
    assert make_palette(pil, 4).tolist() == [[0, 200, 0]]
    # All transparent: every pixel counts, rather than none.
    image[..., 3] = 0
    assert len(make_palette(image, 4)) == 2


@pytest.mark.parametrize("kwargs, error, message", [
    ({"n": 1}, ValueError, "n must be an integer from 2 to 4096"),
    ({"n": 4097}, ValueError, "n must be an integer from 2 to 4096"),
    ({"n": 300, "method": "octree"}, ValueError, "from 2 to 256 for method 'octree'"),
    ({"n": 8, "method": "wu"}, ValueError, "unknown method 'wu'"),
    ({"n": 8, "weights": "busy"}, ValueError, "weights must be 'activity', None or an array"),
    ({"n": 8, "weights": np.ones((3, 3))}, ValueError, "weights must have the image's shape"),
    ({"n": 8, "weights": -np.ones((16, 16))}, ValueError, "finite and non-negative"),
    ({"n": 8, "weights": np.zeros((16, 16))}, ValueError, "every weight is 0"),
    ({"n": 8, "weights": None, "method": "median-cut"}, ValueError, "variance method only"),
    ({"n": 8, "refine": 1001}, ValueError, "refine must be between 0 and 1000"),
])
def test_bad_arguments_are_refused(kwargs, error, message):
    image = photo_like(9, (16, 16))
    with pytest.raises(error, match=message):
        make_palette(image, **kwargs)


def test_float_images_are_refused():
    with pytest.raises(TypeError, match="must be uint8"):
        make_palette(np.zeros((4, 4, 3), np.float32), 4)


@pytest.mark.parametrize("method", ["median-cut", "octree"])
def test_pillow_methods_give_colours_of_their_own(method):
    image = photo_like(10)
    palette = make_palette(image, 16, method=method)
    assert palette.dtype == np.uint8 and 2 <= len(palette) <= 16


def test_quantize_an_array_is_the_bounded_dither_to_its_own_palette():
    image = photo_like(11)
    indices, palette = quantize(image, 32)
    assert indices.dtype == np.uint8 and indices.shape == image.shape[:2]
    assert np.array_equal(palette, make_palette(image, 32))
    expected = bounded_error_diffusion(image, palette=palette, strength=DEFAULT_STRENGTH,
                                       serpentine=True)
    assert np.array_equal(palette[indices], expected)
    plain, _ = quantize(image, 32, dither=False)
    assert np.array_equal(plain, nearest_indices(image, palette))


def test_quantize_past_256_colours_gives_wide_indices():
    image = photo_like(12, (128, 160))
    indices, palette = quantize(image, 1000)
    assert indices.dtype == np.uint16 and len(palette) == 1000
    assert indices.max() < 1000


def test_quantize_a_pil_image_gives_an_indexed_image():
    image = photo_like(13)
    out = quantize(Image.fromarray(image), 16, serpentine=False, strength=1.0)
    assert out.mode == "P" and out.size == (128, 96)
    palette = np.array(out.getpalette()[:48], np.uint8).reshape(16, 3)
    assert np.array_equal(palette, make_palette(image, 16))
    assert np.array_equal(np.asarray(out.convert("RGB")),
                          bounded_error_diffusion(image, palette=palette))
    with pytest.raises(ValueError, match="at most 256 colours"):
        quantize(Image.fromarray(image), 300)


def test_threads_make_the_serial_palettes(many_colours):
    from concurrent.futures import ThreadPoolExecutor
    counts = [16, 64, 256, 1024] * 2
    serial = [make_palette(many_colours, n) for n in counts]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(lambda n: make_palette(many_colours, n), counts))
    assert all(np.array_equal(a, b) for a, b in zip(serial, threaded))
