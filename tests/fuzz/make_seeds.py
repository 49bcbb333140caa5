#!/usr/bin/env python3
"""Write the seed corpus of the fuzz harnesses (tests/fuzz/corpus/<harness>/).

Each seed is a case spelled in the bytes each harness reads, in the order it
reads them (fuzz_case.hpp's Reader: a range takes two little-endian bytes,
reading past the end gives zeros). A handful per harness, chosen so that a
short run starts from every form at once: the wavefront's wide rows and
1-pixel columns, a bounded pass on a middle-band palette, thousands of
colours, NaN and cell-edge queries, every ordered loop. The fuzzer finds
the rest; these only save it the first minutes, which is all a short CI run
has. Run it again after changing what a harness reads:

    python3 tests/fuzz/make_seeds.py
"""

import shutil
import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"


def byte(v):
    return bytes([v & 0xFF])


def below(v):
    """A value below some n, as Reader::below reads it (v < n)."""
    return struct.pack("<H", v)


def in_range(lo, v):
    return below(v - lo)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def u64(v):
    return struct.pack("<Q", v & 0xFFFFFFFFFFFFFFFF)


def f32(v):
    return struct.pack("<f", v)


def pixels(style, a=0, b=0, seed=1, own=b""):
    """fuzz::make_pixels: style 0 takes its own bytes, repeated."""
    if style == 0:
        return byte(0) + byte(len(own) - 1) + own
    return byte(style) + byte(a) + byte(b) + u64(seed)


def palette(shape, knob=0, seed=7):
    """fuzz::make_palette: shape, knob, seed."""
    return byte(shape) + byte(knob) + u64(seed)


def levels_case(width, height, channels, channel=0, kernel=0, strength=(0, 0), levels=0,
                linear=False, serpentine=False, skip=0, planes=0xFF, px=pixels(1)):
    return (in_range(1, width) + in_range(1, height) + in_range(1, channels) + below(channel) +
            byte(kernel) + byte(strength[0]) + byte(strength[1]) + byte(levels) +
            byte(linear) + byte(serpentine) + byte(skip) + byte(planes) + px)


# Colour bands of fuzz_palette_diffusion: 0 -> 2..16, 3 -> 17..64,
# 5 -> 65..300, 7 -> 301..4096.
def palette_case(band, colors, lo, width, height, channels=3, kernel=0, strength=(0, 0),
                 linear=False, serpentine=False, bounded=False, in_flight=0,
                 shape=palette(0), px=pixels(1)):
    return (byte(band) + in_range(lo, colors) + in_range(1, width) + in_range(1, height) +
            in_range(3, channels) + byte(kernel) + byte(strength[0]) + byte(strength[1]) +
            byte(linear) + byte(serpentine) + byte(bounded) + byte(in_flight) + shape + px)


def component(mode, a=0, b=0, raw=None, nudge=0):
    """One component of fuzz_nearest's query value."""
    if mode == 0:
        return byte(0) + byte(a) + byte(b) + f32(raw)
    if mode == 1:
        return byte(1) + byte(a) + byte(b)
    return byte(mode) + byte(a) + byte(b) + byte(nudge)


# Bands of fuzz_nearest: 0 -> 2..16, 1 -> 17..64, 2 -> 65..400, 3 -> 401..4096.
def nearest_case(band, colors, lo, linear=False, shape=palette(0), queries=()):
    return byte(band) + in_range(lo, colors) + byte(linear) + shape + b"".join(queries)


def threshold_case(mode, width, height, channels, channels_lo, alpha=0, linear=False,
                   strength=(0, 0), matrix=b"", seed=5, target=b"", px=pixels(1)):
    return (byte(mode) + in_range(1, width) + in_range(1, height) +
            in_range(channels_lo, channels) + byte(alpha) + byte(linear) + byte(strength[0]) +
            u32(strength[1]) + matrix + u64(seed) + target + px)


def seeds():
    q = [
        # NaN, infinities, huge, a cell edge a step either side, ties.
        component(1, 0) + component(2, 0x80, 0x0A, nudge=0) + component(1, 1),
        component(4, 0, 8, nudge=1) + component(4, 1, 9, nudge=2) + component(4, 2, 200),
        component(3, 0, 0) + component(3, 1, 0) + component(3, 2, 0),
        component(6, 0, 1) + component(6, 1, 2) + component(6, 2, 3),
        component(5, 7, 3) + component(5, 40, 9) + component(0, 0, 0, raw=1e-40),
        component(0, 0, 0, raw=-0.0) + component(2, 0, 0x30) + component(7, 127, 128),
    ]
    yield "levels_diffusion", {
        "wide_rows_fs": levels_case(152, 26, 1, levels=0, px=pixels(1, seed=3)),
        "one_column": levels_case(1, 64, 3, channel=2, kernel=4, px=pixels(3, a=10, b=3)),
        "one_row": levels_case(160, 1, 2, kernel=8, serpentine=True, px=pixels(2, a=127)),
        "mid_block_width": levels_case(37, 17, 4, channel=1, kernel=2, strength=(2, 200),
                                       levels=200, linear=True, skip=7, px=pixels(4, 127, 128)),
        "flat_jjn_serpentine": levels_case(75, 20, 1, kernel=5, serpentine=True,
                                           px=pixels(2, a=200)),
        "strength_beyond_one": levels_case(20, 9, 1, strength=(3, 64), px=pixels(1, seed=9)),
        "strength_zero_many_levels": levels_case(16, 16, 3, strength=(1, 0), levels=255,
                                                 px=pixels(0, own=bytes(range(0, 256, 7)))),
    }
    yield "palette_diffusion", {
        "few_colours": palette_case(0, 4, 2, 57, 40, px=pixels(1, seed=2)),
        "bounded_middle_band": palette_case(3, 32, 17, 41, 30, bounded=True, in_flight=31,
                                            shape=palette(7), px=pixels(5)),
        "grid_clusters": palette_case(5, 256, 65, 64, 20, channels=4, kernel=3, in_flight=0x1A,
                                      shape=palette(1, knob=3), px=pixels(1, seed=5)),
        "dark_palette_bright_image": palette_case(3, 40, 17, 33, 25, shape=palette(5, knob=30),
                                                  px=pixels(7, a=20)),
        "thousands_bounded": palette_case(7, 2000, 301, 16, 16, bounded=True,
                                          shape=palette(2), px=pixels(1, seed=8)),
        "serpentine_corners": palette_case(0, 12, 2, 23, 31, kernel=6, serpentine=True,
                                           linear=True, shape=palette(4, knob=3),
                                           px=pixels(3, a=0, b=5)),
        "duplicates_one_pixel": palette_case(5, 100, 65, 1, 1, shape=palette(3),
                                             px=pixels(0, own=b"\x80\x80\x80")),
    }
    yield "nearest", {
        "small_extremes": nearest_case(0, 8, 2, shape=palette(4), queries=q),
        "registers_ties": nearest_case(1, 64, 17, shape=palette(8), queries=q),
        "grid_edges": nearest_case(2, 300, 65, shape=palette(9), queries=q),
        "mirrored": nearest_case(1, 40, 17, linear=True, shape=palette(10), queries=q),
        "thousands_clusters": nearest_case(3, 4096, 401, shape=palette(1, knob=5), queries=q),
        "near_duplicates": nearest_case(2, 400, 65, shape=palette(2), queries=q),
    }
    bayer8 = byte(3 * 3) + byte(0) + byte(0)
    indices = byte(1 + 3 * 20) + byte(1) + byte(3) + bytes(range(8))
    thresholds = byte(2) + byte(1) + byte(2) + bytes([0, 255, 128, 1, 254, 64])
    # mode bit 0: palette, bit 1: ordered.
    yield "threshold", {
        "ordered_levels_bayer": threshold_case(2, 77, 13, 1, 1, strength=(0, 0),
                                               matrix=bayer8, target=byte(0)),
        "ordered_levels_rgba": threshold_case(2, 33, 9, 4, 1, alpha=7, matrix=indices,
                                              target=byte(2), px=pixels(3, 0, 1)),
        "ordered_many_levels": threshold_case(2, 64, 16, 3, 1, linear=True, strength=(2, 77),
                                              matrix=thresholds, target=byte(250)),
        "random_levels": threshold_case(0, 100, 10, 1, 1, target=byte(1)),
        "random_levels_alpha": threshold_case(0, 31, 7, 2, 1, alpha=3, strength=(3, 0x3F000000),
                                              target=byte(0)),
        "ordered_palette": threshold_case(3, 45, 11, 3, 3, matrix=bayer8,
                                          target=byte(0) + in_range(2, 8) + palette(4)),
        "random_palette_grid": threshold_case(1, 50, 8, 4, 3, target=byte(2) + in_range(65, 300) +
                                              palette(1, knob=4)),
        "ordered_palette_ties": threshold_case(3, 17, 5, 3, 3, matrix=thresholds,
                                               target=byte(1) + in_range(17, 40) + palette(8),
                                               px=pixels(6, a=7)),
    }


def main():
    for harness, cases in seeds():
        folder = CORPUS / harness
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in cases.items():
            (folder / name).write_bytes(data)
        print(f"{folder.relative_to(CORPUS.parent.parent.parent)}: {len(cases)} seeds")


if __name__ == "__main__":
    main()
