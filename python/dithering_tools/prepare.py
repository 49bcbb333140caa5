"""Turns a decoded image into what the extension dithers: upright, in one of
the modes L, LA, RGB or RGBA, resized and greyed as asked."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
from PIL import Image, ImageOps

if TYPE_CHECKING:
    from .options import DitherOptions

GRAY_MODES = {"1", "L", "LA", "La", "I", "F", "I;16", "I;16B", "I;16L", "I;16N"}
SIXTEEN_BIT_GRAY = {"I", "I;16", "I;16B", "I;16L", "I;16N"}


def has_alpha(image: Image.Image) -> bool:
    return image.mode in ("RGBA", "RGBa", "LA", "La", "PA") or "transparency" in image.info


def parse_size(text: str) -> tuple[int | None, int | None, bool]:
    """'640x480', '640x480!', '640x' or 'x480' -> (width or None, height or
    None, exact): with both sides the image fits inside the box keeping its
    aspect, unless a final '!' asks for exactly that size."""
    exact = text.endswith("!")
    body = text[:-1] if exact else text
    width, sep, height = body.lower().partition("x")
    if (not sep or not (width or height) or not all(v.isdigit() for v in (width, height) if v)):
        raise ValueError(f"--resize: expected WIDTHxHEIGHT (e.g. 640x480, 640x480! for exactly"
                         f" that size, 640x or x480), got {text!r}")
    size = tuple(int(v) if v else None for v in (width, height))
    if any(v is not None and v < 1 for v in size):
        raise ValueError(f"sizes must be at least 1, got {text!r}")
    if exact and None in size:
        raise ValueError(f"--resize: '!' asks for both sides exactly; give both, got {text!r}")
    return size[0], size[1], exact


def target_size(image_size: tuple[int, int], resize: tuple[int | None, int | None] | None = None,
                scale: float | None = None, fit: bool = False) -> tuple[int, int]:
    """The size an image of `image_size` is resized to: by `scale`, or to
    `resize` (width, height), a missing side following the aspect; with
    both sides and `fit`, the largest size inside that box with the
    image's aspect (larger or smaller than the image)."""
    width, height = image_size
    if scale is not None:
        return max(1, round(width * scale)), max(1, round(height * scale))
    if resize is not None:
        new_width, new_height = resize[:2]
        if new_width is not None and new_height is not None and fit:
            # The side that limits keeps the box's length; the other is
            # rounded, never beyond the box.
            if new_width * height <= new_height * width:
                new_height = min(new_height, max(1, round(height * new_width / width)))
            else:
                new_width = min(new_width, max(1, round(width * new_height / height)))
            return new_width, new_height
        # One side given: the other follows the aspect ratio.
        if new_width is None:
            assert new_height is not None  # a resize names a side at least
            new_width = max(1, round(width * new_height / height))
        if new_height is None:
            new_height = max(1, round(height * new_width / width))
        return new_width, new_height
    return width, height


# A float image whose brightest value is below this, taken as levels of
# 0..255, is all but black: said, since its values more likely meant another range.
NEARLY_BLACK = 16


def float_to_bytes(image: Image.Image, notes: list[str] | None = None) -> Image.Image:
    """A mode "F" image (32-bit float: scientific TIFFs) as mode "L". Values
    within 0..1 are fractions of white and are scaled to 0..255 (Pillow's
    own conversion would clip them all to black or 1); others are taken as
    0..255 and clipped, which `notes` records with their range (as it does
    a range that leaves the picture nearly black, and NaN, made 0)."""
    values = np.asarray(image, dtype=np.float32)
    finite = np.isfinite(values)
    if not finite.all():
        if notes is not None:
            notes.append("not-a-number and infinite values in the float image taken as 0")
        values = np.where(finite, values, 0)
    low, high = (float(values.min()), float(values.max())) if values.size else (0.0, 0.0)
    if low >= 0 and high <= 1:
        values = values * 255
    elif notes is not None and (low < 0 or high > 255 or high < NEARLY_BLACK):
        # Levels of 0..255 is a guess the user should see when it clips, or
        # when it makes the picture nearly black (values of 0..2, say).
        outcome = "clipped to 0..255" if low < 0 or high > 255 else "a nearly black picture"
        notes.append(f"float values from {low:g} to {high:g} taken as levels of 0..255: {outcome}"
                     " (values within 0..1 would be scaled)")
    return Image.fromarray(np.clip(np.rint(values), 0, 255).astype(np.uint8), "L")


def prepare_image(image: Image.Image, options: DitherOptions, notes: list[str] | None = None) -> Image.Image:
    """A new image in mode L, LA, RGB or RGBA, ready for the extension;
    what was done beyond the options' asking is added to `notes` (a list)."""
    # Phone photos store their orientation apart from the pixels.
    image = ImageOps.exif_transpose(image)
    gray = image.mode in GRAY_MODES or options.grayscale
    if image.mode in SIXTEEN_BIT_GRAY:
        # Pillow's own conversion clips 16-bit values to 255; keep the top byte.
        image = Image.fromarray((np.asarray(image).astype(np.uint32) >> 8).astype(np.uint8))
    elif image.mode == "F":
        image = float_to_bytes(image, notes)
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
    size = target_size(image.size, options.resize, options.scale, options.resize_fit)
    if size != image.size:
        # Resampling premultiplies alpha (Pillow does it for LA and RGBA).
        image = image.resize(size, Image.Resampling.LANCZOS)
    return image
