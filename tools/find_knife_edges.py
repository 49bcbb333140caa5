"""Searches small images whose dithered bytes change if a cell's sum is reordered.

Usage: python tools/find_knife_edges.py [--seed N] [--batch N] [--need N]

Random images rarely tell a correctly ordered accumulation from a reordered
one: the low bits of the errors change, the bytes almost never do. This
script runs many small images at once through the reference's arithmetic
(one float32 NumPy operation per step, the batch along the first axis, so
each image is rounded exactly as tests/reference.py rounds it) and through a
few deliberately wrong variants, and prints the smallest images on which each
variant gives other bytes, ready to paste into tests/test_knife_edges.py.

Variants (each one small change of the reference):
  rows-above-reversed   the contributions of each row above, in reverse scan order
  row-above-first       the row above summed before the row two above
  own-row-first         the own row's contributions before the rows above
  row-sums-first        each row's contributions summed into a temporary, then added
  fused-multiply-add    w * e + cell rounded once (float64, then float32)
  round-quotient        two levels: roundf(v / 255) instead of v >= 127.5
  round-product         two levels: roundf(v * (1 / 255)) instead of v >= 127.5
  strength-before-divide  weight * strength / divisor
"""

import argparse
import itertools
import pickle
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference as ref  # noqa: E402

f32 = np.float32
VARIANTS = ["rows-above-reversed", "row-above-first", "own-row-first", "row-sums-first",
            "fused-multiply-add", "round-quotient", "round-product", "strength-before-divide"]
METHODS = ["floyd_steinberg", "jarvis_judice_ninke", "stucki", "sierra", "atkinson"]


def roundf(v):
    """Half away from zero, element-wise; exact in float64 for these magnitudes."""
    x = v.astype(np.float64)
    return (np.sign(x) * np.floor(np.abs(x) + 0.5)).astype(np.float32)


def weights(method, strength, variant):
    divisor, taps = ref.KERNELS[method]
    out = []
    for dx, dy, w in taps:
        if variant == "strength-before-divide":
            c = (f32(w) * f32(strength)) / f32(divisor)
        else:
            c = (f32(w) / f32(divisor)) * f32(strength)
        if c != f32(0):
            out.append((dx, dy, c))
    return out


def accumulate(entries, y, n, variant):
    """The cell's value from its contributions, listed in arrival (scan) order."""
    two = [c for c in entries if c[0] == y - 2]
    one = [c for c in entries if c[0] == y - 1]
    own = [c for c in entries if c[0] == y]
    if variant == "rows-above-reversed":
        order = two[::-1] + one[::-1] + own
    elif variant == "row-above-first":
        order = one + two + own
    elif variant == "own-row-first":
        order = own + two + one
    else:
        order = entries
    cell = np.zeros(n, np.float32)
    if variant == "row-sums-first":
        for group in (two, one, own):
            if group:
                t = group[0][1] * group[0][2]
                for _, w, e in group[1:]:
                    t = t + w * e
                cell = cell + t
        return cell
    for _, w, e in order:
        if variant == "fused-multiply-add":
            cell = (cell.astype(np.float64) + np.float64(w) * e.astype(np.float64)).astype(np.float32)
        else:
            cell = cell + w * e
    return cell


def diffuse(images, method, levels, strength, linear, serpentine, variant=None):
    """Dithers a batch of (N, H, W) uint8 images; variant None is the reference."""
    n, height, width = images.shape
    lut = ref.build_lut(linear)
    target = ref.Levels(levels, lut, linear)
    codes = np.array(target.codes, np.uint8)
    values = np.array(target.values, np.float32)
    taps = weights(method, strength, variant)
    cells = {}
    out = np.zeros_like(images)
    seen = np.zeros(images.shape, np.float32)
    for y, x in scan(height, width, serpentine):
        backwards = serpentine and y % 2 == 1
        seen[:, y, x] = accumulate(cells.pop((y, x), []), y, n, variant)
        v = lut[images[:, y, x]] + seen[:, y, x]
        i = quantize(v, target, variant)
        out[:, y, x] = codes[i]
        e = v - values[i]
        for dx, dy, w in taps:
            tx, ty = x - dx if backwards else x + dx, y + dy
            if 0 <= tx < width and ty < height:
                cells.setdefault((ty, tx), []).append((y, w, e))
    return out, seen


def quantize(v, target, variant):
    if target.n == 2 and variant == "round-quotient":
        return np.clip(roundf(v / f32(255)), 0, 1).astype(np.intp)
    if target.n == 2 and variant == "round-product":
        return np.clip(roundf(v * target.inv_step), 0, 1).astype(np.intp)
    if target.n == 2:
        return (v >= f32(127.5)).astype(np.intp)
    return np.clip(roundf(v * target.inv_step), 0, target.top).astype(np.intp)


def random_images(rng, n, height, width):
    """A third uniform bytes, a third near mid-grey, a third near a flat random grey."""
    k = n // 3
    flat = rng.integers(0, 256, (n - 2 * k, 1, 1))
    parts = [rng.integers(0, 256, (k, height, width)),
             rng.integers(96, 160, (k, height, width)),
             np.clip(flat + rng.integers(-12, 13, (n - 2 * k, height, width)), 0, 255)]
    return np.concatenate(parts).astype(np.uint8)


def scan(height, width, serpentine):
    for y in range(height):
        backwards = serpentine and y % 2 == 1
        for x in (range(width - 1, -1, -1) if backwards else range(width)):
            yield y, x


def applies(variant, levels, strength):
    if variant.startswith("round-"):
        return levels == 2
    return variant != "strength-before-divide" or strength != 1.0


def knife_edges(rng, images, config, good, good_cells, variant, keep=3):
    """Images, each the given one with at most one byte replaced, that the variant dithers differently.

    A byte changes nothing before its pixel, so where the two runs still agree
    on every earlier pixel but hold different values in the pixel's cell, any
    byte that lands between the two values separates them.
    """
    method, levels, strength, linear, serpentine = config
    lut = ref.build_lut(linear)
    target = ref.Levels(levels, lut, linear)
    codes = np.array(target.codes)  # several levels may share a byte
    bad, bad_cells = diffuse(images, *config, variant=variant)
    hits = [images[j] for j in np.flatnonzero((bad != good).any(axis=(1, 2)))[:keep]]
    agree = np.ones(len(images), bool)
    for y, x in scan(*images.shape[1:], serpentine):
        if len(hits) >= keep:
            break
        rows = np.flatnonzero(agree)
        if not variant.startswith("round-"):
            rows = rows[good_cells[rows, y, x] != bad_cells[rows, y, x]]
        if rows.size:
            right = codes[quantize(lut[None, :] + good_cells[rows, y, x][:, None], target, None)]
            wrong = codes[quantize(lut[None, :] + bad_cells[rows, y, x][:, None], target, variant)]
            for r in np.flatnonzero((right != wrong).any(axis=1))[:keep - len(hits)]:
                image = images[rows[r]].copy()
                image[y, x] = rng.choice(np.flatnonzero(right[r] != wrong[r]))
                hits.append(image)
        agree &= good[:, y, x] == bad[:, y, x]
    return hits


def self_check(rng):
    """The batched reference must agree with tests/reference.py byte for byte."""
    for method, levels, strength, linear, serpentine in itertools.product(
            METHODS, (2, 4, 256), (1.0, 0.93), (False, True), (False, True)):
        images = random_images(rng, 6, 3, 5)
        got, _ = diffuse(images, method, levels, strength, linear, serpentine)
        for image, mine in zip(images, got):
            want = ref.error_diffusion(image, method, levels=levels, strength=strength,
                                       linear=linear, serpentine=serpentine)
            assert np.array_equal(mine, want), (method, levels, strength, linear, serpentine)


def separated(image, config):
    """The variants whose bytes differ from the reference's on this image, with those bytes."""
    good, _ = diffuse(image[None], *config)
    out = {}
    for variant in VARIANTS:
        if applies(variant, config[1], config[2]):
            bad, _ = diffuse(image[None], *config, variant=variant)
            if not np.array_equal(bad, good):
                out[variant] = bad[0]
    return good[0], out


def quotient_is_comparison():
    """roundf(v / 255) >= 1 exactly when v >= 127.5, checked on every float in [126, 129)."""
    bits = np.arange(*np.array([126, 129], np.float32).view(np.uint32), dtype=np.uint32)
    v = bits.view(np.float32)
    return np.array_equal(roundf(v / f32(255)) >= 1, v >= f32(127.5))


def search(args, rng, start):
    found = {}  # (config, image bytes) -> (pixels, config, image, expected, {variant: bytes})
    shapes = sorted(itertools.product(range(2, 5), range(3, 9)), key=lambda s: (s[0] * s[1], s))
    configs = list(itertools.product(METHODS, (2, 4, 256), (1.0, 0.7, 0.93), (False, True), (False, True)))
    for height, width in shapes:
        for config in configs:
            method, levels, strength, linear, serpentine = config
            if levels == 256 and not linear:
                continue  # every error is zero: the output is the input
            images = random_images(rng, args.batch, height, width)
            good, good_cells = diffuse(images, *config)
            for variant in VARIANTS:
                if applies(variant, levels, strength):
                    for image in knife_edges(rng, images, config, good, good_cells, variant):
                        expected, bad = separated(image, config)
                        assert variant in bad, (variant, config, image.tolist())
                        found[config, image.tobytes()] = (height * width, config, image, expected, bad)
        counts = {v: sum(v in f[4] for f in found.values()) for v in VARIANTS}
        print(f"# {height}x{width} ({time.perf_counter() - start:.0f} s): candidates {counts}", flush=True)
        if all(counts[v] >= args.enough for v in VARIANTS if v != "round-quotient"):
            break
    return list(found.values())


def choose(found, need):
    """Per variant, scarcest first, the smallest images until it is separated `need` times.

    An image chosen for one variant counts for every variant it separates;
    among equally small ones, plain scan before serpentine, then the one that
    separates most, then a kernel and level count not used yet.
    """
    covered = dict.fromkeys(VARIANTS, 0)
    chosen = []
    for variant in sorted(VARIANTS, key=lambda v: sum(v in f[4] for f in found)):
        while covered[variant] < need:
            used = [(c[1][0], c[1][1]) for _, c in chosen]
            pool = [f for f in found if variant in f[4] and all(f is not c for _, c in chosen)]
            if not pool:
                break
            best = min(pool, key=lambda f: (f[0], f[1][4], -len(f[4]), used.count(f[1][:2])))
            chosen.append((variant, best))
            for v in best[4]:
                covered[v] += 1
    return chosen, covered


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--batch", type=int, default=2000)
    parser.add_argument("--need", type=int, default=2, help="cases wanted per variant")
    parser.add_argument("--enough", type=int, default=8, help="candidates per variant before stopping")
    parser.add_argument("--pool", help="pickle file: reused if it exists, else written after the search")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    start = time.perf_counter()
    self_check(rng)
    print(f"# batched reference agrees with tests/reference.py ({time.perf_counter() - start:.1f} s)")
    print(f"# round-quotient is the comparison itself on every float: {quotient_is_comparison()}")
    if args.pool and Path(args.pool).exists():
        found = pickle.loads(Path(args.pool).read_bytes())
    else:
        found = search(args, rng, start)
        if args.pool:
            Path(args.pool).write_bytes(pickle.dumps(found))
    print(f"# search took {time.perf_counter() - start:.1f} s, {len(found)} candidates")

    chosen, covered = choose(found, args.need)
    print(f"# {len(chosen)} cases; times each variant is separated: {covered}")
    for variant, (_, config, image, expected, bad) in chosen:
        print(f"    # also: {', '.join(sorted(set(bad) - {variant})) or '-'}")
        print(f"    case({variant!r}, {', '.join(map(repr, config))},")
        print(f"         {image.tolist()},")
        print(f"         {expected.tolist()}),")
    print("\n# bytes of each variant on the chosen cases")
    for variant, (_, _config, _image, expected, bad) in chosen:
        for v in sorted(bad):
            print(f"# {variant} case, {v}: {bad[v].tolist()} != {expected.tolist()}")


if __name__ == "__main__":
    main()
