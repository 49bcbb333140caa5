// Docstrings of the module functions, each opening with its text signature.
//
// The interpreter splits each at the "--" line: the part before becomes
// __text_signature__ (so inspect.signature works), the rest __doc__.
#pragma once

namespace dithering::docs {

inline constexpr const char DITHER[] = R"doc(dither(image, method="floyd_steinberg", *, levels=2, palette=None, serpentine=False, seed=None, strength=1.0, linear=False, preserve_alpha=True)
--

Dither an image — the one-stop entry point.

Dispatches on `method`: an error-diffusion name ('floyd_steinberg', 'fs',
'atkinson', ...), an ordered matrix name ('bayer8x8', ...), or 'random'.
See `error_diffusion`, `ordered_dither` and `random_dither` for the
method-specific parameters; parameters that don't apply to the chosen
method are ignored.

Args:
    image: uint8 numpy array — 2-D grayscale or 3-D (H, W, C) — or a PIL
        image (a PIL image is returned in that case).
    method: what to dither with; default 'floyd_steinberg'.
    levels: number of output levels per channel (2 = black & white).
    palette: dither to these colors instead of gray levels — a sequence
        of '#rrggbb' hex strings or (r, g, b) tuples; the alpha channel
        is always passed through.
    serpentine: (error diffusion) alternate scan direction every row.
    seed: (random) optional seed for reproducible output.
    strength: dithering strength in [0, 1]; 0 = plain quantization.
    linear: do the math in linear light instead of raw sRGB values
        (gamma-correct; preserves perceived brightness).
    preserve_alpha: leave the last channel untouched for 2- or 4-channel
        images (LA / RGBA).

Returns:
    A new uint8 array (or PIL image) of the same shape.)doc";

inline constexpr const char ORDERED_DITHER[] = R"doc(ordered_dither(image, matrix=None, *, levels=2, palette=None, strength=1.0, linear=False, preserve_alpha=True)
--

Apply ordered (Bayer / threshold-matrix) dithering.

Args:
    image: uint8 numpy array — 2-D grayscale or 3-D (H, W, C) — or a PIL
        image (a PIL image is returned in that case).
    matrix: 'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16'
        (case-insensitive), the size as an int (2, 4, 8, 16), or a custom
        2-D numpy matrix: integer dtype = Bayer-style indices,
        float dtype = thresholds in [0, 1].
    levels: number of output levels per channel (2 = black & white).
    palette: dither to these colors instead of gray levels — a sequence
        of '#rrggbb' hex strings or (r, g, b) tuples. Needs an RGB(A)
        image; the alpha channel is always passed through. Mutually
        exclusive with levels.
    strength: dithering strength in [0, 1]; 0 = plain quantization.
    linear: do the math in linear light instead of raw sRGB values
        (gamma-correct; preserves perceived brightness).
    preserve_alpha: leave the last channel untouched for 2- or 4-channel
        images (LA / RGBA).

Returns:
    A new uint8 array (or PIL image) of the same shape.)doc";

inline constexpr const char ERROR_DIFFUSION[] = R"doc(error_diffusion(image, method="floyd_steinberg", *, levels=2, palette=None, serpentine=False, strength=1.0, linear=False, preserve_alpha=True)
--

Apply error-diffusion dithering (Floyd–Steinberg and friends).

Args:
    image: uint8 numpy array — 2-D grayscale or 3-D (H, W, C) — or a PIL
        image (a PIL image is returned in that case).
    method: 'floyd_steinberg', 'false_floyd_steinberg',
        'jarvis_judice_ninke', 'stucki', 'atkinson', 'burkes', 'sierra',
        'sierra_two_row' or 'sierra_lite' (case-insensitive; '-' and '_'
        interchangeable; aliases like 'fs', 'jjn', 'sierra2' work).
    levels: number of output levels per channel (2 = black & white).
    palette: dither to these colors instead of gray levels — a sequence
        of '#rrggbb' hex strings or (r, g, b) tuples. Needs an RGB(A)
        image; the alpha channel is always passed through. Mutually
        exclusive with levels.
    serpentine: alternate scan direction every row; reduces directional
        worm artifacts.
    strength: fraction of the quantization error diffused, in [0, 1].
    linear: do the math in linear light instead of raw sRGB values
        (gamma-correct; preserves perceived brightness).
    preserve_alpha: leave the last channel untouched for 2- or 4-channel
        images (LA / RGBA).

Returns:
    A new uint8 array (or PIL image) of the same shape.)doc";

inline constexpr const char RANDOM_DITHER[] = R"doc(random_dither(image, *, levels=2, palette=None, seed=None, strength=1.0, linear=False, preserve_alpha=True)
--

Apply random (white-noise) threshold dithering.

Args:
    image: uint8 numpy array — 2-D grayscale or 3-D (H, W, C) — or a PIL
        image (a PIL image is returned in that case).
    levels: number of output levels per channel (2 = black & white).
    palette: dither to these colors instead of gray levels — a sequence
        of '#rrggbb' hex strings or (r, g, b) tuples. Needs an RGB(A)
        image; the alpha channel is always passed through. Mutually
        exclusive with levels.
    seed: optional seed for reproducible output; random when omitted.
    strength: dithering strength in [0, 1]; 0 = plain quantization.
    linear: do the math in linear light instead of raw sRGB values
        (gamma-correct; preserves perceived brightness).
    preserve_alpha: leave the last channel untouched for 2- or 4-channel
        images (LA / RGBA).

Returns:
    A new uint8 array (or PIL image) of the same shape.)doc";

inline constexpr const char AVAILABLE_MATRICES[] = R"doc(available_matrices()
--

List the valid `matrix` values for `ordered_dither`.)doc";

inline constexpr const char AVAILABLE_METHODS[] = R"doc(available_methods()
--

List the valid `method` values for `error_diffusion`.)doc";

}  // namespace dithering::docs
