"""Small images whose bytes hold only with the exact rounding and order of every addition.

A cell's error is summed from the row two above, then the row above, then the
earlier pixels of its own row, each in scan order, every product rounded
before its sum. A faster loop that reorders or reassociates those sums, fuses
a multiply into an add or folds the strength into the weights differently
changes the low bits of most errors but almost never a byte, so comparisons on
random images let it through. On each image below some pixel's value lies so
close to a level boundary that the shortcut named by the case id (and those
listed beside it) lands on the other side of it: tools/find_knife_edges.py
found them and prints what each shortcut gives instead.
"""

import numpy as np
import pytest

import dithering
import reference


def case(name, method, levels, strength, linear, serpentine, image, expected):
    return pytest.param(method, levels, strength, linear, serpentine, image, expected, id=name)


CASES = [
    # Also caught: own row first, each row summed apart, rows above in reverse.
    case("row-above-first", "jarvis_judice_ninke", 4, 1.0, True, False,
         [[243, 171, 180], [200, 130, 75], [3, 215, 228], [58, 232, 101]],
         [[255, 156, 156], [213, 156, 0], [0, 213, 213], [0, 213, 156]]),
    case("row-above-first-serpentine", "sierra", 4, 0.93, True, True,
         [[215, 205, 202, 205], [217, 205, 215, 209], [201, 198, 131, 215]],
         [[213, 213, 213, 213], [213, 213, 213, 213], [213, 213, 0, 213]]),
    case("strength-before-divide", "jarvis_judice_ninke", 4, 0.7, False, False,
         [[125, 141, 125], [144, 140, 213], [124, 137, 143], [131, 131, 138]],
         [[85, 170, 85], [170, 170, 170], [85, 170, 170], [170, 85, 170]]),
    # Also caught: a fused multiply-add.
    case("strength-before-divide-two-levels", "jarvis_judice_ninke", 2, 0.7, False, False,
         [[100, 155, 157, 139, 101, 110, 116], [113, 152, 153, 104, 120, 125, 158]],
         [[0, 255, 255, 0, 0, 255, 0], [0, 255, 255, 0, 255, 255, 255]]),
    # Also caught: a fused multiply-add, own row first, roundf(v * (1 / 255)) for two levels.
    case("rows-above-reversed", "floyd_steinberg", 2, 0.93, False, True,
         [[100, 114, 104, 125, 133, 119], [106, 105, 126, 181, 99, 142]],
         [[0, 255, 0, 255, 0, 255], [255, 0, 255, 0, 255, 0]]),
    # Also caught: a fused multiply-add, own row first.
    case("row-sums-first", "atkinson", 4, 0.93, False, False,
         [[156, 112, 109, 158, 136], [155, 121, 133, 122, 46], [117, 140, 98, 158, 148]],
         [[170, 85, 85, 170, 170], [170, 85, 170, 85, 85], [85, 170, 85, 170, 170]]),
    # The second row's middle pixel comes to 127.49999, the float just below
    # 127.5: two levels compare with 127.5, and v * (1 / 255) would round it up.
    case("round-product", "jarvis_judice_ninke", 2, 0.7, False, True,
         [[182, 48, 56], [245, 132, 178]],
         [[255, 0, 0], [255, 0, 255]]),
]

ARGUMENTS = ("method", "levels", "strength", "linear", "serpentine", "image", "expected")


def run(implementation, image, method, levels, strength, linear, serpentine):
    return implementation(np.array(image, np.uint8), method, levels=levels, strength=strength,
                          linear=linear, serpentine=serpentine)


@pytest.mark.parametrize(ARGUMENTS, CASES)
def test_extension_gives_the_pinned_bytes(method, levels, strength, linear, serpentine, image, expected):
    result = run(dithering.error_diffusion, image, method, levels, strength, linear, serpentine)
    assert result.dtype == np.uint8
    assert result.tolist() == expected


@pytest.mark.parametrize(ARGUMENTS, CASES)
def test_pinned_bytes_are_the_reference_bytes(method, levels, strength, linear, serpentine, image,
                                               expected):
    result = run(reference.error_diffusion, image, method, levels, strength, linear, serpentine)
    assert result.tolist() == expected
