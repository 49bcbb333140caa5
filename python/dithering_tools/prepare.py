"""Turns a decoded image into what the extension dithers: upright, in one of
the modes L, LA, RGB or RGBA, resized and greyed as asked."""

import numpy as np
from PIL import Image, ImageOps

GRAY_MODES = {"1", "L", "LA", "La", "I", "F", "I;16", "I;16B", "I;16L", "I;16N"}
SIXTEEN_BIT_GRAY = {"I", "I;16", "I;16B", "I;16L", "I;16N"}


def has_alpha(image):
    return image.mode in ("RGBA", "RGBa", "LA", "La", "PA") or "transparency" in image.info


def parse_size(text):
    """'640x480', '640x' or 'x480' -> (width or None, height or None)."""
    width, sep, height = text.lower().partition("x")
    if not sep or not (width or height):
        raise ValueError(f"expected WIDTHxHEIGHT (e.g. 640x480, 640x or x480), got {text!r}")
    size = tuple(int(v) if v else None for v in (width, height))
    if any(v is not None and v < 1 for v in size):
        raise ValueError(f"sizes must be at least 1, got {text!r}")
    return size


def target_size(image_size, resize=None, scale=None):
    width, height = image_size
    if scale is not None:
        return max(1, round(width * scale)), max(1, round(height * scale))
    if resize is not None:
        new_width, new_height = resize
        # One side given: the other follows the aspect ratio.
        if new_width is None:
            new_width = max(1, round(width * new_height / height))
        if new_height is None:
            new_height = max(1, round(height * new_width / width))
        return new_width, new_height
    return width, height


def prepare_image(image, options):
    """A new image in mode L, LA, RGB or RGBA, ready for the extension."""
    # Phone photos store their orientation apart from the pixels.
    image = ImageOps.exif_transpose(image)
    gray = image.mode in GRAY_MODES or options.grayscale
    if image.mode in SIXTEEN_BIT_GRAY:
        # Pillow's own conversion clips 16-bit values to 255; keep the top byte.
        image = Image.fromarray((np.asarray(image).astype(np.uint32) >> 8).astype(np.uint8))
    alpha = has_alpha(image)
    if alpha and options.alpha == "flatten":
        rgba = image.convert("RGBA")
        background = Image.new("RGBA", rgba.size, (255, 255, 255, 255))
        image = Image.alpha_composite(background, rgba)
        alpha = False
    mode = ("L" if gray else "RGB") + ("A" if alpha else "")
    # A palette is of colours: grey images are dithered to it as RGB.
    if options.wants_palette:
        mode = "RGBA" if alpha else "RGB"
        if options.grayscale:
            image = image.convert("LA" if alpha else "L")
    image = image.convert(mode)
    size = target_size(image.size, options.resize, options.scale)
    if size != image.size:
        # Resampling premultiplies alpha (Pillow does it for LA and RGBA).
        image = image.resize(size, Image.Resampling.LANCZOS)
    return image
