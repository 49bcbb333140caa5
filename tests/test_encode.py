"""The files the `dither` command writes: indexed PNGs at the fewest bits a
pixel, palettes trimmed and ordered when their order is free, kept alpha
as a palette with per-entry alpha, and never a larger PNG than Pillow
makes of the same pixels. Every file is decoded again and compared."""

import io

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")

from dithering_tools import bounded_error_diffusion  # noqa: E402
from dithering_tools.encode import TRIAL_PIXELS, output_image, png_choice  # noqa: E402


def encoded_bytes(result, fmt="PNG", palette=None, levels=None, **keywords):
    image, save = output_image(result, fmt, palette, levels, **keywords)
    stream = io.BytesIO()
    image.save(stream, format=fmt, **save)
    return stream.getvalue()


def decoded(data):
    with Image.open(io.BytesIO(data)) as image:
        image.load()
        return image.copy()


def png_bit_depth(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return data[24], data[25]  # bit depth, colour type


def chunk(data, name):
    """The payload of the first chunk `name`, or None."""
    at = 8
    while at < len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        if data[at + 4:at + 8] == name:
            return data[at + 8:at + 8 + length]
        at += 12 + length
    return None


def colours(n, seed=0):
    """n distinct colours, drawn with a fixed seed."""
    rng = np.random.default_rng(seed)
    picked = rng.choice(1 << 24, n, replace=False)
    return [(int(v >> 16), int(v >> 8 & 255), int(v & 255)) for v in picked]


def photo_like(shape=(96, 128), seed=1):
    """A smooth gradient with noise: compresses like a photo, deterministically."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    base = np.dstack([x * 255 / shape[1], y * 255 / shape[0], (x + y) * 255 / sum(shape)])
    return np.clip(base + rng.normal(0, 12, base.shape), 0, 255).astype(np.uint8)


def pillow_best(image, smallest=True, **save):
    """The smallest PNG Pillow makes of `image` with its defaults (or
    `optimize`, with `smallest`)."""
    sizes = []
    for settings in ({}, {"optimize": True}) if smallest else ({},):
        stream = io.BytesIO()
        image.save(stream, format="PNG", **save, **settings)
        sizes.append(stream.tell())
    return min(sizes)


@pytest.mark.parametrize(("count", "bits"), [(2, 1), (3, 2), (4, 2), (5, 4), (16, 4), (17, 8),
                                             (256, 8)])
@pytest.mark.parametrize("keep_palette", [True, False])
def test_indexed_png_has_the_fewest_bits_and_decodes_exactly(count, bits, keep_palette):
    palette = colours(count)
    rng = np.random.default_rng(count)
    indices = rng.integers(0, count, (37, 53))
    indices.ravel()[:count] = np.arange(count)  # every colour used
    result = np.array(palette, np.uint8)[indices]
    data = encoded_bytes(result, palette=palette, keep_palette=keep_palette)
    assert png_bit_depth(data) == (bits, 3)
    assert len(chunk(data, b"PLTE")) == 3 * count
    back = decoded(data)
    assert back.mode == "P"
    assert np.array_equal(np.asarray(back.convert("RGB")), result)
    if keep_palette:
        assert back.getpalette() == [v for c in palette for v in c]


def test_a_free_palette_is_trimmed_to_the_colours_used():
    palette = colours(20)
    used = [palette[3], palette[7], palette[11], palette[19]]
    result = np.array(used, np.uint8)[np.random.default_rng(2).integers(0, 4, (40, 40))]
    kept = encoded_bytes(result, palette=palette)
    assert png_bit_depth(kept) == (8, 3) and len(chunk(kept, b"PLTE")) == 60
    trimmed = encoded_bytes(result, palette=palette, keep_palette=False)
    assert png_bit_depth(trimmed) == (2, 3)
    assert sorted(map(tuple, np.frombuffer(chunk(trimmed, b"PLTE"), np.uint8).reshape(-1, 3)
                      .tolist())) == sorted(used)
    assert np.array_equal(np.asarray(decoded(trimmed).convert("RGB")), result)


def test_levels_are_indexed_with_only_the_colours_that_occur():
    # Two levels per channel could be eight colours; only three occur.
    result = np.zeros((30, 30, 3), np.uint8)
    result[:10] = (255, 0, 0)
    result[10:20] = (0, 255, 255)
    data = encoded_bytes(result, levels=2)
    assert png_bit_depth(data) == (2, 3) and len(chunk(data, b"PLTE")) == 9
    assert np.array_equal(np.asarray(decoded(data).convert("RGB")), result)


def pillow_writes_sub_byte_grey():
    stream = io.BytesIO()
    Image.new("L", (4, 1)).save(stream, format="PNG", bits=2)
    return png_bit_depth(stream.getvalue())[0] == 2


@pytest.mark.parametrize(("values", "bits"), [((0, 85, 170, 255), 2), ((0, 255, 85), 2),
                                              (tuple(range(0, 256, 17)), 4), ((0, 128, 255), 8),
                                              ((0, 17, 255), 4)])
def test_even_grey_levels_take_two_or_four_bits(values, bits):
    result = np.array(values, np.uint8)[np.random.default_rng(3).integers(0, len(values), (20, 33))]
    data = encoded_bytes(result, levels=len(values))
    # Pillow before 13 writes grey at 8 bits whatever it is asked.
    assert png_bit_depth(data) == (bits if pillow_writes_sub_byte_grey() else 8, 0)
    back = decoded(data)
    assert back.mode == "L" and np.array_equal(np.asarray(back), result)


def test_black_and_white_stays_one_bit():
    result = np.where(np.random.default_rng(4).random((25, 31)) < 0.5, 0, 255).astype(np.uint8)
    image, _ = output_image(result, "PNG")
    assert image.mode == "1"
    data = encoded_bytes(result)
    assert png_bit_depth(data) == (1, 0)
    assert np.array_equal(np.asarray(decoded(data).convert("L")), result)


def cut_out(channels, alphas=(0, 255), seed=5):
    """A dithered picture with alpha of a few values and, under its
    transparent pixels, colours of their own (which must survive)."""
    rng = np.random.default_rng(seed)
    if channels == 4:
        palette = colours(6, seed)
        colour = np.array(palette, np.uint8)[rng.integers(0, 6, (40, 50))]
    else:
        palette = None
        colour = rng.choice([0, 85, 170, 255], (40, 50, 1)).astype(np.uint8)
    alpha = np.array(alphas, np.uint8)[rng.integers(0, len(alphas), (40, 50))]
    return np.dstack([colour, alpha]), palette


@pytest.mark.parametrize("channels", [2, 4])
@pytest.mark.parametrize("alphas", [(0, 255), (0, 64, 128, 255)])
def test_alpha_of_few_pairs_is_an_indexed_png_with_trns(channels, alphas):
    result, palette = cut_out(channels, alphas)
    data = encoded_bytes(result, palette=palette)
    depth, colour_type = png_bit_depth(data)
    assert colour_type == 3 and chunk(data, b"tRNS") is not None
    pairs = len(np.unique(result.reshape(-1, channels), axis=0))
    assert depth == next(b for b in (1, 2, 4, 8) if pairs <= 1 << b)
    back = decoded(data)
    assert back.mode == "P"
    rgba = np.asarray(back.convert("RGBA"))
    if channels == 2:
        assert np.array_equal(rgba[..., 0], rgba[..., 2])
        rgba = rgba[..., [0, 3]]
    assert np.array_equal(rgba, result)  # the colour under alpha 0 included


@pytest.mark.parametrize("channels", [2, 4])
def test_alpha_of_more_than_256_pairs_stays_rgba(channels):
    result, palette = cut_out(channels, tuple(range(0, 256, 2)))  # 128 alphas, 4 or 6 colours
    image, save = output_image(result, "PNG", palette)
    assert image.mode == ("LA" if channels == 2 else "RGBA")
    data = encoded_bytes(result, palette=palette)
    assert np.array_equal(np.asarray(decoded(data)), result)


def test_alpha_in_other_formats_is_unchanged():
    result, palette = cut_out(4)
    for fmt in ("TIFF", "WEBP"):
        image, _ = output_image(result, fmt, palette)
        assert image.mode == "RGBA"
    gif, save = output_image(result, "GIF", palette)
    assert gif.mode == "P" and "transparency" in save


@pytest.mark.parametrize("count", [4, 16, 64, 256])
@pytest.mark.parametrize("keep_palette", [True, False])
@pytest.mark.parametrize("smallest", [False, True])
def test_never_larger_than_pillow_makes_the_same_pixels(count, keep_palette, smallest):
    picture = photo_like()
    assert picture.shape[0] * picture.shape[1] <= TRIAL_PIXELS  # whole-image trials
    flat = Image.fromarray(picture).quantize(count, dither=Image.Dither.NONE).getpalette()
    palette = [tuple(flat[i:i + 3]) for i in range(0, 3 * count, 3)]
    result = bounded_error_diffusion(picture, palette=palette)
    ours = len(encoded_bytes(result, palette=palette, keep_palette=keep_palette, smallest=smallest))
    indexed = Image.fromarray(result).quantize(palette=_palette_image(palette),
                                               dither=Image.Dither.NONE)
    assert np.array_equal(np.asarray(indexed.convert("RGB")), result)
    assert ours <= pillow_best(indexed, smallest)
    assert ours <= pillow_best(Image.fromarray(result), smallest)


def _palette_image(palette):
    holder = Image.new("P", (1, 1))
    holder.putpalette([v for c in palette for v in c])
    return holder


def test_large_images_choose_from_bands_of_rows():
    # Beyond TRIAL_PIXELS the settings are tried on a sample, and the file
    # is still exact.
    picture = photo_like((600, 300), seed=6)
    palette = colours(12, 6)
    result = bounded_error_diffusion(picture, palette=palette)
    data = encoded_bytes(result, palette=palette, keep_palette=False)
    assert png_bit_depth(data) == (4, 3)
    assert np.array_equal(np.asarray(decoded(data).convert("RGB")), result)


def test_png_choice_keeps_the_first_of_equals():
    image = Image.new("L", (8, 8))
    chosen, _ = png_choice([image, image.copy()])
    assert chosen is image


@pytest.mark.parametrize("fmt", ["GIF", "BMP", "TIFF"])
@pytest.mark.parametrize("keep_palette", [True, False])
def test_other_indexed_formats_decode_exactly(fmt, keep_palette):
    palette = colours(10, 7)
    result = bounded_error_diffusion(photo_like((40, 60), 7), palette=palette)
    data = encoded_bytes(result, fmt, palette, keep_palette=keep_palette)
    back = decoded(data)
    assert back.mode == "P"
    assert np.array_equal(np.asarray(back.convert("RGB")), result)
    if keep_palette:
        assert back.getpalette()[:30] == [v for c in palette for v in c]
