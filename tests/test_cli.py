"""The `dither` command, run as users run it: in a subprocess, on image
files in a temporary folder. Outputs are decoded and compared with the
extension's own results, and with dithering_tools.bounded_error_diffusion's
where the command diffuses the error to a palette."""

import json
import os
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import numpy as np
import pytest

import dithering
from dithering_tools import bounded_error_diffusion, make_palette
from dithering_tools.palette_making import DEFAULT_STRENGTH

Image = pytest.importorskip("PIL.Image")

GAMEBOY = [(0x0F, 0x38, 0x0F), (0x30, 0x62, 0x30), (0x8B, 0xAC, 0x0F), (0x9B, 0xBC, 0x0F)]


def photo(seed, shape=(48, 64, 3)):
    """Smooth gradients with noise: every method has something to do."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    base = (x * 255 / shape[1] + y * 96 / shape[0])[..., None] + rng.normal(0, 24, shape)
    return np.clip(base, 0, 255).astype(np.uint8)


def save(path, array, mode=None):
    Image.fromarray(array, mode).save(path)
    return path


def grey(array):
    """Pillow's own grey of an RGB array, as the command makes it."""
    return np.asarray(Image.fromarray(array).convert("L"))


def dither_cmd(*args, stdin=None, check=None):
    done = subprocess.run([sys.executable, "-m", "dithering_tools", *map(str, args)],
                          input=stdin, capture_output=True, timeout=120)
    if check is not None:
        assert done.returncode == check, done.stderr.decode()
    return done


def decoded(path):
    with Image.open(path) as image:
        alpha = "A" in image.mode or "transparency" in image.info  # an indexed PNG's tRNS
        return np.asarray(image.convert("RGBA" if alpha else "RGB"
                                      if image.mode != "1" and image.mode != "L" else "L"))


def test_console_script_is_installed_and_shows_examples():
    script = Path(sysconfig.get_path("scripts")) / "dither"
    done = subprocess.run([script, "--help"], capture_output=True, text=True, check=True)
    assert "examples:" in done.stdout and "--shared-palette" in done.stdout


@pytest.mark.parametrize(("args", "kwargs"), [
    (["-m", "atkinson", "--levels", "4"], {"method": "atkinson", "levels": 4}),
    (["-m", "JJN", "--serpentine", "--linear"], {"method": "jjn", "serpentine": True, "linear": True}),
    (["-m", "bayer8x8", "--levels", "3", "--strength", "0.5"],
     {"method": "bayer8x8", "levels": 3, "strength": 0.5}),
    (["-m", "random", "--seed", "7"], {"method": "random", "seed": 7}),
    (["-p", "gameboy", "-m", "sierra-2-4a", "--unbounded"],
     {"method": "sierra_lite", "palette": GAMEBOY}),
    # No error is carried by ordered and random dither, or run away with
    # levels: bounded or not, the module's own result.
    (["-p", "#000,#fff,#f00", "-m", "bayer-4"], {"method": "bayer4x4",
                                                 "palette": ["#000", "#fff", "#f00"]}),
    (["-p", "gameboy", "-m", "random", "--seed", "3"],
     {"method": "random", "palette": GAMEBOY, "seed": 3}),
    (["-m", "atkinson", "--levels", "4", "--unbounded"], {"method": "atkinson", "levels": 4}),
    (["-m", "stucki", "--levels", "3", "--linear"], {"method": "stucki", "levels": 3,
                                                     "linear": True}),
])
def test_output_is_the_extensions_result(tmp_path, args, kwargs):
    image = photo(1)
    save(tmp_path / "in.png", image)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", *args, check=0)
    if "levels" not in kwargs and "palette" not in kwargs:
        # Nothing asked of the colours: the photo in grey, to black and white.
        image = grey(image)
    assert np.array_equal(decoded(tmp_path / "out.png"), dithering.dither(image, **kwargs))


@pytest.mark.parametrize(("args", "method", "kwargs"), [
    ([], "floyd_steinberg", {}),
    (["-m", "JJN", "--serpentine"], "jarvis_judice_ninke", {"serpentine": True}),
    (["-m", "sierra2", "--linear", "--strength", "0.8"], "sierra_two_row",
     {"linear": True, "strength": 0.8}),
    (["-l", "2"], "floyd_steinberg", {}),
])
def test_error_diffusion_to_a_palette_is_bounded_unless_unbounded(tmp_path, args, method, kwargs):
    image = photo(15)
    save(tmp_path / "in.png", image)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "bounded.png", "-p", "gameboy", *args,
               check=0)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "unbounded.png", "-p", "gameboy", *args,
               "--unbounded", check=0)
    bounded = decoded(tmp_path / "bounded.png")
    unbounded = decoded(tmp_path / "unbounded.png")
    assert np.array_equal(bounded, bounded_error_diffusion(image, method, palette=GAMEBOY,
                                                           **kwargs))
    assert np.array_equal(unbounded, dithering.dither(image, method, palette=GAMEBOY, **kwargs))
    assert not np.array_equal(bounded, unbounded)


def test_colors_are_bounded_unless_unbounded(tmp_path):
    image = photo(16)
    save(tmp_path / "in.png", image)
    for flag in ([], ["--unbounded"]):
        dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", "--colors", "6", "-f", *flag,
                   check=0)
        with Image.open(tmp_path / "out.png") as out:
            colors = np.array(out.getpalette(), np.uint8).reshape(-1, 3)
            result = np.asarray(out.convert("RGB"))
        call = dithering.error_diffusion if flag else bounded_error_diffusion
        # --colors diffuses a share of the error on a serpentine scan.
        assert np.array_equal(result, call(image, palette=colors, strength=DEFAULT_STRENGTH,
                                           serpentine=True))


def test_colors_past_256_write_rgb_and_raster_takes_the_whole_error(tmp_path):
    image = photo(17, (64, 96, 3))
    save(tmp_path / "in.png", image)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "wide.png", "--colors", "300", check=0)
    with Image.open(tmp_path / "wide.png") as out:
        assert out.mode == "RGB"
        colours = np.unique(np.asarray(out).reshape(-1, 3), axis=0)
    palette = make_palette(image, 300)
    assert len(palette) == 300
    assert {tuple(c) for c in colours.tolist()} <= {tuple(c) for c in palette.tolist()}
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "raster.png", "--colors", "8", "--raster",
               "--strength", "1", check=0)
    with Image.open(tmp_path / "raster.png") as out:
        colors = np.array(out.getpalette(), np.uint8).reshape(-1, 3)
        assert np.array_equal(np.asarray(out.convert("RGB")),
                              bounded_error_diffusion(image, palette=colors))


def test_help_shows_the_colors_defaults():
    out = " ".join(dither_cmd("--help", check=0).stdout.decode().split())
    assert f"--strength {DEFAULT_STRENGTH} and --serpentine" in out
    assert f"(default 1; {DEFAULT_STRENGTH} with --colors)" in out
    assert "palette maker for --colors: variance (default" in out


def test_raster_with_a_method_that_has_no_scan_warns(tmp_path):
    save(tmp_path / "in.png", photo(18))
    done = dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", "-m", "bayer4x4",
                      "--raster", check=0)
    assert b"--raster only changes error diffusion" in done.stderr


def test_help_tells_of_the_bound():
    out = dither_cmd("--help", check=0).stdout.decode()
    assert "--unbounded" in out and "bounded_error_diffusion" in out


@pytest.mark.parametrize("grid", ["0,2\n3,1\n", "0.2 0.8\n0.6 0.4\n", "npy"])
def test_custom_matrix_files(tmp_path, grid):
    matrix_file = tmp_path / ("m.npy" if grid == "npy" else "m.csv")
    if grid == "npy":
        np.save(matrix_file, np.array([[0, 3], [2, 1]]))
        matrix = np.array([[0, 3], [2, 1]])
    else:
        matrix_file.write_text(grid)
        matrix = np.array([[float(v) for v in row.replace(",", " ").split()]
                           for row in grid.splitlines()])
        if "." not in grid:
            matrix = matrix.astype(np.int64)
    image = photo(2)[..., 0].copy()
    save(tmp_path / "in.png", image)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", "--matrix", matrix_file, check=0)
    with Image.open(tmp_path / "out.png") as out:
        assert out.mode == "1"  # two grey levels: a one-bit PNG
        assert np.array_equal(np.asarray(out.convert("L")), dithering.ordered_dither(image, matrix))


@pytest.mark.parametrize("suffix", [".png", ".gif"])
def test_indexed_output_carries_exactly_the_palette(tmp_path, suffix):
    # An unused colour and a repeated one: the file's palette is the user's, deduplicated.
    palette = ["#000000", "#ffffff", "#ff0000", "#0000ff", "#00ff00", "#ff0000"]
    image = photo(3, (32, 32, 3))
    image[..., 2] = 0  # no blue at all: #0000ff goes unused
    save(tmp_path / "in.png", image)
    out = tmp_path / f"out{suffix}"
    dither_cmd(tmp_path / "in.png", "-o", out, "-p", ",".join(palette), check=0)
    with Image.open(out) as written:
        assert written.mode == "P"
        expected = [0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 0, 255, 0, 255, 0]
        assert written.getpalette()[:15] == expected
        assert max(np.asarray(written).ravel()) < 5
        assert np.array_equal(np.asarray(written.convert("RGB")),
                              bounded_error_diffusion(image, palette=palette))


def test_alpha_kept_or_flattened(tmp_path):
    image = np.dstack([photo(4), np.tile(np.arange(64, dtype=np.uint8) * 4, (48, 1))])
    save(tmp_path / "in.png", image, "RGBA")
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "kept.png", "-p", "pico8", "--keep-alpha",
               check=0)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "flat.png", "-p", "pico8", check=0)
    kept = decoded(tmp_path / "kept.png")
    assert kept.shape[2] == 4 and np.array_equal(kept[..., 3], image[..., 3])
    from dithering_tools.palettes import BUILTIN_PALETTES
    assert np.array_equal(kept, bounded_error_diffusion(image, palette=BUILTIN_PALETTES["pico8"]))
    with Image.open(tmp_path / "flat.png") as flat:
        assert flat.mode == "P"


PALETTE_FILES = {
    "p.gpl": "GIMP Palette\nName: test\nColumns: 2\n# a comment\n  0   0   0 black\n"
             "255 255 255\t white\n 48  98  48 green\n",
    "p.txt": "; Paint.NET palette\nFF000000\nFFFFFFFF\nFF306230\n",
    "p.hex": "000000\n#ffffff\n306230\n",
    "p.json": '{"colors": ["#000000", [255, 255, 255], "#306230"]}',
    "p.png": None,
}


@pytest.mark.parametrize("name", PALETTE_FILES)
def test_palette_files(tmp_path, name):
    colors = [(0, 0, 0), (255, 255, 255), (48, 98, 48)]
    if PALETTE_FILES[name] is None:
        # Distinct pixels in the order they first appear, repeats ignored.
        save(tmp_path / name, np.array([[colors[0], colors[1]], [colors[0], colors[2]]], np.uint8))
    else:
        (tmp_path / name).write_text(PALETTE_FILES[name])
    image = photo(5)
    save(tmp_path / "in.png", image)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", "-p", tmp_path / name, check=0)
    with Image.open(tmp_path / "out.png") as out:
        assert out.getpalette() == [v for c in colors for v in c]
        assert np.array_equal(np.asarray(out.convert("RGB")),
                              bounded_error_diffusion(image, palette=colors))


def test_palette_colours_by_name_or_rgb_are_the_hex_ones(tmp_path):
    save(tmp_path / "in.png", photo(6))
    written = []
    for n, palette in enumerate(["#000,#fff", "black,white", "(0,0,0),(255,255,255)"]):
        dither_cmd(tmp_path / "in.png", "-o", tmp_path / f"{n}.png", "-p", palette, check=0)
        written.append((tmp_path / f"{n}.png").read_bytes())
    assert written[1] == written[0] and written[2] == written[0]


@pytest.mark.parametrize("shared", [False, True])
def test_colors_made_per_image_or_shared(tmp_path, shared):
    save(tmp_path / "a.png", photo(6))
    save(tmp_path / "b.png", 255 - photo(7))
    dither_cmd(tmp_path / "a.png", tmp_path / "b.png", "-o", tmp_path / "out", "--colors", "8",
               *(["--shared-palette"] if shared else []), check=0)
    palettes = []
    for name in ("a", "b"):
        with Image.open(tmp_path / "out" / f"{name}.png") as out:
            colors = np.array(out.getpalette(), np.uint8).reshape(-1, 3)
            assert out.mode == "P" and 2 <= len(colors) <= 8
            with Image.open(tmp_path / f"{name}.png") as source_image:
                source = np.asarray(source_image)
            assert np.array_equal(np.asarray(out.convert("RGB")),
                                  bounded_error_diffusion(source, palette=colors,
                                                          strength=DEFAULT_STRENGTH,
                                                          serpentine=True))
            palettes.append(colors.tolist())
    assert (palettes[0] == palettes[1]) == shared


def test_resize_grayscale_and_folders(tmp_path):
    (tmp_path / "in" / "sub").mkdir(parents=True)
    save(tmp_path / "in" / "a.png", photo(8))
    save(tmp_path / "in" / "sub" / "b.jpg", photo(9))
    (tmp_path / "in" / "notes.txt").write_text("not an image")
    dither_cmd(tmp_path / "in", "-r", "-o", tmp_path / "out", "--resize", "32x", "--grayscale",
               "-l", "4", check=0)
    for name in ("a.png", "sub/b.png"):
        with Image.open(tmp_path / "in" / name.replace("sub/b.png", "sub/b.jpg")) as source:
            expected = dithering.dither(np.asarray(
                source.convert("L").resize((32, 24), Image.Resampling.LANCZOS)), levels=4)
        assert np.array_equal(decoded(tmp_path / "out" / name), expected)
    assert sorted(p.name for p in (tmp_path / "out").rglob("*")) == ["a.png", "b.png", "sub"]


def test_failures_are_reported_and_the_batch_goes_on(tmp_path):
    save(tmp_path / "good.png", photo(10))
    (tmp_path / "corrupt.png").write_bytes(b"\x89PNG\r\n\x1a\nnot really")
    truncated = (tmp_path / "good.png").read_bytes()[:300]
    (tmp_path / "truncated.png").write_bytes(truncated)
    done = dither_cmd(tmp_path / "corrupt.png", tmp_path / "good.png", tmp_path / "truncated.png",
                      tmp_path / "missing.png", "-o", tmp_path / "out", "--json", "-j", "2", check=1)
    errors = done.stderr.decode().splitlines()
    for name in ("corrupt.png", "truncated.png", "missing.png"):
        assert any(line.startswith(f"{tmp_path / name}: ") for line in errors), errors
    lines = [json.loads(line) for line in done.stdout.decode().splitlines()]
    assert sorted((Path(r["input"]).name, r["ok"]) for r in lines) == [
        ("corrupt.png", False), ("good.png", True), ("missing.png", False), ("truncated.png", False)]
    good = next(r for r in lines if r["ok"])
    assert good["output_bytes"] == (tmp_path / "out" / "good.png").stat().st_size
    assert sorted(os.listdir(tmp_path / "out")) == ["good.png"]


def test_overwriting(tmp_path):
    source = save(tmp_path / "in.png", photo(11))
    out = tmp_path / "out.png"
    out.write_bytes(b"keep me")
    assert b"--force" in dither_cmd(source, "-o", out, check=1).stderr
    assert out.read_bytes() == b"keep me"
    dither_cmd(source, "-o", out, "--force", check=0)
    assert decoded(out).shape == (48, 64)  # black and white
    before = source.read_bytes()
    done = dither_cmd(source, "-o", source, "--force", check=1)
    assert b"refusing to overwrite an input" in done.stderr
    assert source.read_bytes() == before


def test_standard_input_and_output(tmp_path):
    image = photo(12)
    save(tmp_path / "in.png", image)
    done = dither_cmd("-", "-p", "gameboy", stdin=(tmp_path / "in.png").read_bytes(), check=0)
    (tmp_path / "out.png").write_bytes(done.stdout)
    assert np.array_equal(decoded(tmp_path / "out.png"),
                          bounded_error_diffusion(image, palette=GAMEBOY))


@pytest.mark.parametrize(("args", "message"), [
    (["-m", "nope"], b"unknown dither method \"nope\"; valid values: 'floyd_steinberg'"),
    (["-l", "1"], b"levels must be between 2 and 256, got 1"),
    (["-p", "#zzz,#fff"], b"invalid hex color \"#zzz\""),
    (["--strength", "2"], b"strength must be between 0.0 and 1.0"),
    (["-l", "3", "-p", "bw"], b"pass either levels or palette, not both"),
    (["--colors", "1"], b"--colors must be between 2 and 4096 (quantizer variance), got 1"),
    (["--colors", "257", "--quantizer", "octree"], b"--colors must be between 2 and 256"),
    (["--colors", "8", "--quantizer", "wu"], b"unknown quantizer 'wu'"),
    (["-o", "out.xyz"], b"out.xyz: cannot tell an image format"),
    (["-f", "--skip-existing"], b"argument --skip-existing: not allowed with argument -f/--force"),
])
def test_bad_arguments_exit_2_with_the_message(tmp_path, args, message):
    save(tmp_path / "in.png", photo(13))
    done = dither_cmd(tmp_path / "in.png", *args, check=2)
    assert b"dither: error: " + message in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["in.png"]


def interrupted_batch(tmp_path, count, signum, *args):
    """(process, stdout, stderr) of a batch of `count` photos into out/,
    sent `signum` once its first output is there."""
    (tmp_path / "in").mkdir()
    image = photo(14, (384, 384, 3))
    for i in range(count):
        save(tmp_path / "in" / f"{i:02}.png", np.roll(image, i, axis=1))
    with subprocess.Popen(
            [sys.executable, "-m", "dithering_tools", tmp_path / "in", "-o", tmp_path / "out",
             "-m", "jjn", "--colors", "64", *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        deadline = time.monotonic() + 60
        while not list((tmp_path / "out").glob("*.png")) and time.monotonic() < deadline:
            time.sleep(0.01)
        process.send_signal(signum)
        out, errors = process.communicate(timeout=60)
    return process, out, errors


@pytest.mark.serial
@pytest.mark.skipif(sys.platform == "win32",
                    reason="Windows has no SIGINT to send to another process, and "
                           "its SIGTERM is TerminateProcess, which nothing can catch")
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_interrupted_batch_leaves_only_complete_files(tmp_path, signum):
    process, _, errors = interrupted_batch(tmp_path, 60, signum, "--serpentine", "-j", "2", "-q")
    assert process.returncode == 128 + signum, errors
    written = sorted((tmp_path / "out").iterdir())
    assert 0 < len(written) < 60
    for path in written:
        assert path.suffix == ".png"  # no temporary files left behind
        with Image.open(path) as out:
            out.load()


def without_pillow(*args):
    code = ("import sys; sys.modules['PIL'] = None\n"
            f"from dithering_tools.cli import main\nsys.exit(main({list(args)!r}))")
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)


def test_without_pillow_the_command_says_what_it_needs():
    done = without_pillow("in.png")
    assert done.returncode == 2
    assert "needs Pillow: pip install 'dithering-exact[cli]'" in done.stderr


@pytest.mark.parametrize(("arg", "expected"), [
    ("--help", "this installation has no Pillow, which image files need: "
               "pip install 'dithering-exact[cli]'"),
    ("--version", f"dither (dithering {dithering.__version__})"),
    ("--list", "quantizers: variance (the rest need Pillow: pip install 'dithering-exact[cli]')"),
])
def test_without_pillow_the_command_still_answers(arg, expected):
    done = without_pillow(arg)
    assert done.returncode == 0, done.stderr
    assert expected in done.stdout
    if arg == "--list":
        assert "palettes:   bw, cga" in done.stdout


def warnings_of(done):
    return [line for line in done.stderr.decode().splitlines()
            if line.startswith("dither: warning: ")]


@pytest.mark.parametrize(("args", "expected"), [
    ([], "grey"),                          # black and white, as the examples say
    (["-m", "bayer4x4"], "grey"),
    (["--levels", "2"], "colour"),         # levels asked: per channel, in colour
    (["--levels", "2", "--grayscale"], "grey"),
])
def test_a_colour_photo_is_black_and_white_unless_levels_are_asked(tmp_path, args, expected):
    image = photo(20)
    save(tmp_path / "photo.png", image)
    dither_cmd(tmp_path / "photo.png", *args, check=0)
    method = args[1] if args[:1] == ["-m"] else "floyd_steinberg"
    with Image.open(tmp_path / "photo-dithered.png") as out:
        assert out.mode == ("1" if expected == "grey" else "P")
        written = np.asarray(out.convert("L" if expected == "grey" else "RGB"))
    source = grey(image) if expected == "grey" else image
    assert np.array_equal(written, dithering.dither(source, method, levels=2))
    assert "black and white" in dither_cmd("--help", check=0).stdout.decode()


@pytest.mark.parametrize(("args", "refused"), [
    (["-o", "{d}/x.jpg"], "JPEG is lossy"),
    (["-o", "{d}/x.jpeg", "-p", "pico8"], "JPEG is lossy"),
    (["-o", "{d}/x.png", "--format", "jpg"], "JPEG is lossy"),
    (["-o", "{d}/x.pdf"], "PDF is lossy"),
    (["-o", "{d}/out/", "--name", "{{stem}}.{{ext}}"], "JPEG is lossy"),  # input photo.jpg
])
def test_lossy_outputs_refused_unless_allowed(tmp_path, args, refused):
    save(tmp_path / "photo.jpg", photo(21))
    args = [a.format(d=tmp_path) for a in args]
    done = dither_cmd(tmp_path / "photo.jpg", *args, check=2)
    assert f"dither: error: {tmp_path}/".encode() in done.stderr
    assert (refused + ": its compression").encode() in done.stderr
    assert b"--allow-lossy" in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["photo.jpg"]
    allowed = dither_cmd(tmp_path / "photo.jpg", *args, "--allow-lossy", check=0)
    assert any("is lossy" in line and "--allow-lossy" in line for line in warnings_of(allowed))
    assert len(os.listdir(tmp_path)) == 2


@pytest.mark.parametrize("args", [["-p", "pico8"], ["-p", "pico8", "-m", "bayer8x8"],
                                  ["--levels", "3"], ["--colors", "12"]])
def test_webp_is_written_lossless(tmp_path, args):
    image = photo(22)
    save(tmp_path / "in.png", image)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.webp", *args, check=0)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", *args, check=0)
    assert np.array_equal(decoded(tmp_path / "out.webp"), decoded(tmp_path / "out.png"))


@pytest.mark.parametrize("address", ["bogus", "tcp://scheduler", "local:x", "local:0", "tcp://"])
def test_bad_cluster_addresses_are_usage_errors(tmp_path, address):
    save(tmp_path / "in.png", photo(23))
    done = dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", "--cluster", address,
                      check=2)
    assert b"dither: error: --cluster" in done.stderr
    assert b"Traceback" not in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["in.png"]


def wait_for(predicate, seconds=60):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError("gave up waiting")
        time.sleep(0.001)


def temporaries(folder):
    return [p for p in folder.iterdir() if p.name.endswith(".part")] if folder.exists() else []


@pytest.mark.parametrize("force", [False, True])
def test_a_later_run_removes_what_a_killed_one_left(tmp_path, force):
    (tmp_path / "in").mkdir()
    image = photo(24, (700, 900, 3))
    for i in range(8):
        save(tmp_path / "in" / f"{i}.png", np.roll(image, i, axis=0))
    out = tmp_path / "out"
    command = [sys.executable, "-m", "dithering_tools", tmp_path / "in", "-o", out, "-q",
               "-m", "jjn", "--colors", "256", "-j", "2"]
    # Killed the moment a temporary exists; a run whose temporary was
    # already renamed when the kill landed is tried again.
    for _ in range(20):
        with subprocess.Popen(command + ["--force"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL) as process:
            try:
                wait_for(lambda: temporaries(out) or process.poll() is not None)
            finally:
                process.kill()
        if temporaries(out):
            break
    left = temporaries(out)
    assert left, "no run was killed while writing"
    done = dither_cmd(tmp_path / "in", "-o", out, "-m", "bayer2x2", "-q",
                      *(["--force"] if force else []))
    # Without --force, outputs the killed run completed are refused.
    assert done.returncode in ((0,) if force else (0, 1)), done.stderr
    assert b"Traceback" not in done.stderr
    assert temporaries(out) == []
    for path in out.iterdir():
        with Image.open(path) as written:
            written.load()


def test_unwritable_output_folder_found_before_any_work(tmp_path):
    save(tmp_path / "a.png", photo(25))
    (tmp_path / "in-the-way").write_text("a file where the folder would go")
    done = dither_cmd(tmp_path / "a.png", "-o", f"{tmp_path / 'in-the-way' / 'out'}/", check=2)
    assert (f"dither: error: cannot write into {tmp_path / 'in-the-way' / 'out'}: "
            f"{tmp_path / 'in-the-way'} is not a folder").encode() in done.stderr


@pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0,
                    reason="permissions do not bind root")
def test_folder_without_permission_found_before_any_work(tmp_path):
    save(tmp_path / "a.png", photo(25))
    (tmp_path / "locked").mkdir(mode=0o555)
    done = dither_cmd(tmp_path / "a.png", "-o", tmp_path / "locked" / "a.png", check=2)
    assert b"permission denied" in done.stderr
    assert b".part" not in done.stderr


def animated_gif(path):
    frames = [Image.fromarray(photo(26 + i)) for i in range(3)]
    frames[0].save(path, save_all=True, append_images=frames[1:])


def float_tiff(path):
    ramp = np.tile(np.linspace(0, 1, 64, dtype=np.float32), (48, 1))
    Image.fromarray(ramp, "F").save(path)


@pytest.mark.parametrize(("setup", "args", "warning"), [
    (lambda d: (d / "empty").mkdir(), ["{d}/empty", "-o", "{d}/out"],
     "{d}/empty: no image files in this folder"),
    (lambda d: save((d / "top" / "sub").mkdir(parents=True) or d / "top" / "sub" / "a.png",
                    photo(27)),
     ["{d}/top", "-o", "{d}/out"],
     "{d}/top: no image files in this folder (-r looks into its sub-folders)"),
    (lambda d: save(d / "in.png", photo(27)), ["{d}/in.png", "--seed", "4"],
     "--seed only changes random dither; floyd_steinberg ignores it"),
    (lambda d: save(d / "in.png", photo(27)), ["{d}/in.png", "-m", "bayer4x4", "--seed", "4"],
     "--seed only changes random dither; bayer4x4 ignores it"),
    (lambda d: save(d / "in.png", photo(27)), ["{d}/in.png", "-m", "random", "--seed", "4"],
     None),
    (lambda d: save(d / "in.png", photo(27)), ["{d}/in.png", "-p", "gameboy", "-m", "random",
                                               "--seed", "4"], None),
    (lambda d: save(d / "in.png", photo(27)), ["{d}/in.png", "-m", "bayer8x8", "--serpentine"],
     "--serpentine only changes error diffusion; bayer8x8 ignores it"),
    (lambda d: save(d / "in.png", photo(27)), ["{d}/in.png", "-m", "random", "--serpentine"],
     "--serpentine only changes error diffusion; random ignores it"),
    (lambda d: save(d / "in.png", photo(27)), ["{d}/in.png", "-m", "atkinson", "--serpentine"],
     None),
    (lambda d: animated_gif(d / "anim.gif"), ["{d}/anim.gif"],
     "{d}/anim.gif: animated: only the first of its 3 frames dithered"),
    (lambda d: float_tiff(d / "f.tif"), ["{d}/f.tif"], None),
])
def test_surprises_are_warned_of(tmp_path, setup, args, warning):
    setup(tmp_path)
    done = dither_cmd(*[a.format(d=tmp_path) for a in args], check=0)
    expected = [] if warning is None else [f"dither: warning: {warning.format(d=tmp_path)}"]
    assert warnings_of(done) == expected


def test_an_animated_gif_gives_its_first_frame(tmp_path):
    animated_gif(tmp_path / "anim.gif")
    dither_cmd(tmp_path / "anim.gif", "-o", tmp_path / "out.png", "-l", "2", check=0)
    with Image.open(tmp_path / "anim.gif") as source:
        first = np.asarray(source.convert("RGB"))
    assert np.array_equal(decoded(tmp_path / "out.png"), dithering.dither(first, levels=2))


@pytest.mark.parametrize(("values", "scale"), [((0.0, 1.0), 255), ((0.0, 255.0), 1)])
def test_float_tiffs_in_fractions_of_white_are_scaled(tmp_path, values, scale):
    ramp = np.tile(np.linspace(*values, 64, dtype=np.float32), (48, 1))
    Image.fromarray(ramp, "F").save(tmp_path / "f.tif")
    done = dither_cmd(tmp_path / "f.tif", "-o", tmp_path / "out.png", "-l", "4", check=0)
    assert warnings_of(done) == []
    expected = dithering.dither(np.clip(np.rint(ramp * scale), 0, 255).astype(np.uint8), levels=4)
    assert np.array_equal(decoded(tmp_path / "out.png"), expected)
    assert decoded(tmp_path / "out.png").mean() > 100  # not black


def test_a_float_tiff_beyond_0_255_is_clipped_with_a_warning(tmp_path):
    ramp = np.tile(np.linspace(-100, 400, 64, dtype=np.float32), (48, 1))
    Image.fromarray(ramp, "F").save(tmp_path / "f.tif")
    done = dither_cmd(tmp_path / "f.tif", "-o", tmp_path / "out.png", check=0)
    assert warnings_of(done) == [f"dither: warning: {tmp_path / 'f.tif'}: float values from "
                                 "-100 to 400 taken as levels of 0..255: clipped to 0..255 "
                                 "(values within 0..1 would be scaled)"]


def test_a_second_run_beside_the_inputs_skips_the_first_runs_outputs(tmp_path):
    for name in ("a", "b"):
        save(tmp_path / f"{name}.png", photo(28))
    first = dither_cmd(tmp_path, "-q", check=0)
    assert warnings_of(first) == []
    again = dither_cmd(tmp_path, "-q", "--force", check=0)
    assert warnings_of(again) == [
        f"dither: warning: skipped {tmp_path / 'a-dithered.png'}, the output of "
        f"{tmp_path / 'a.png'} under this run's names, and 1 more such (name them to dither them)"]
    assert sorted(os.listdir(tmp_path)) == ["a-dithered.png", "a.png", "b-dithered.png", "b.png"]


@pytest.mark.parametrize(("resize", "size"), [
    ("32x32", (32, 24)), ("32x32!", (32, 32)), ("200x30", (40, 30)), ("128x", (128, 96)),
    ("x12", (16, 12)), ("640x480", (640, 480)),
])
def test_resize_fits_inside_the_box_unless_forced(tmp_path, resize, size):
    image = photo(29)  # 64 x 48
    save(tmp_path / "in.png", image)
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", "--resize", resize, "-l", "3",
               check=0)
    resized = Image.fromarray(image).resize(size, Image.Resampling.LANCZOS)
    assert np.array_equal(decoded(tmp_path / "out.png"),
                          dithering.dither(np.asarray(resized), levels=3))


@pytest.mark.parametrize(("name", "outputs"), [
    ("{stem}.{ext}", ["a.png", "b.gif"]),
    ("{stem}-bw{suffix}", ["a-bw.png", "b-bw.gif"]),
    ("{ext}-{stem}.png", ["gif-b.png", "png-a.png"]),
])
def test_name_fields(tmp_path, name, outputs):
    save(tmp_path / "a.png", photo(30))
    save(tmp_path / "b.gif", photo(31)[..., 0].copy())
    dither_cmd(tmp_path / "a.png", tmp_path / "b.gif", "-o", tmp_path / "out", "--name", name,
               check=0)
    assert sorted(os.listdir(tmp_path / "out")) == outputs


def test_ext_glued_to_the_name_is_a_usage_error(tmp_path):
    save(tmp_path / "a.png", photo(30))
    done = dither_cmd(tmp_path / "a.png", "-o", tmp_path / "out/", "--name", "{stem}{ext}",
                      check=2)
    assert b"dither: error: --name '{stem}{ext}': {ext} is the extension without its dot" \
        in done.stderr


@pytest.mark.parametrize(("args", "channels"), [
    (["-p", "pico8"], 4), (["-l", "2"], 4), (["--colors", "8"], 4), ([], 2), (["-p", "bw"], 4),
])
def test_gif_keeps_alpha_as_a_transparent_entry(tmp_path, args, channels):
    alpha = np.tile(np.arange(64, dtype=np.uint8) * 4, (48, 1))
    image = np.dstack([photo(32), alpha])
    save(tmp_path / "in.png", image, "RGBA")
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", "--keep-alpha", *args, check=0)
    done = dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.gif", "--keep-alpha", *args,
                      check=0)
    assert warnings_of(done) == [f"dither: warning: {tmp_path / 'in.png'}: GIF transparency is"
                                 " all or nothing: alpha below 128 written transparent, the"
                                 " rest opaque"]
    with Image.open(tmp_path / "out.png") as png:
        exact = np.asarray(png.convert("RGBA"))
    if channels == 2:  # grey and alpha: LA, or indexed with few enough grey-alpha pairs
        assert png.mode in ("LA", "P") and (exact[..., :1] == exact[..., :3]).all()
    with Image.open(tmp_path / "out.gif") as gif:
        assert gif.mode == "P" and "transparency" in gif.info
        written = np.asarray(gif.convert("RGBA"))
    opaque = alpha >= 128
    assert np.array_equal(written[..., 3], np.where(opaque, 255, 0).astype(np.uint8))
    assert np.array_equal(written[..., :3][opaque], exact[..., :3][opaque])


# -- outputs that exist, folders that do not, refusals and their words -----

@pytest.mark.parametrize("mkdir", [False, True])
def test_a_missing_output_folder_is_made_only_when_asked(tmp_path, mkdir):
    source = save(tmp_path / "in.png", photo(30))
    out = tmp_path / "typo" / "dir" / "out.png"
    done = dither_cmd(source, "-o", out, *(["--mkdir"] if mkdir else []), check=0 if mkdir else 2)
    if mkdir:
        assert out.is_file()
    else:
        assert done.stderr.decode() == (f"dither: error: cannot write {out}: folder {out.parent}"
                                        " does not exist (--mkdir makes it)\n")
        assert sorted(os.listdir(tmp_path)) == ["in.png"]


def test_a_batch_makes_its_own_output_folder(tmp_path):
    save(tmp_path / "a.png", photo(31))
    dither_cmd(tmp_path / "a.png", "-o", f"{tmp_path / 'new' / 'out'}/", check=0)
    assert os.listdir(tmp_path / "new" / "out") == ["a.png"]


def test_usage_errors_alone_print_the_usage(tmp_path):
    save(tmp_path / "a.png", photo(32))
    (tmp_path / "in-the-way").write_text("a file")
    refused = dither_cmd(tmp_path / "a.png", "-o", f"{tmp_path / 'in-the-way' / 'out'}/", check=2)
    wrong = dither_cmd(tmp_path / "a.png", "--levels", "x", check=2)
    assert b"usage:" not in refused.stderr and b"usage:" in wrong.stderr


def test_skip_existing_finishes_an_interrupted_batch(tmp_path):
    for i in range(3):
        save(tmp_path / f"{i}.png", photo(33 + i))
    out = tmp_path / "out"
    dither_cmd(tmp_path / "0.png", tmp_path / "1.png", "-o", f"{out}/", "-q", check=0)
    (out / "1.png").write_bytes(b"left as it is")
    done = dither_cmd(*(tmp_path / f"{i}.png" for i in range(3)), "-o", out, "--skip-existing",
                      check=0)
    assert (out / "1.png").read_bytes() == b"left as it is"
    assert sorted(os.listdir(out)) == ["0.png", "1.png", "2.png"]
    assert "dithered 1 of 3 files" in done.stderr.decode()
    assert "2 skipped (outputs there already)" in done.stderr.decode()
    lines = [json.loads(line) for line in dither_cmd(
        *(tmp_path / f"{i}.png" for i in range(3)), "-o", out, "--skip-existing", "--json",
        check=0).stdout.decode().splitlines()]
    assert [(r["ok"], r["skipped"]) for r in lines] == [(True, True)] * 3


@pytest.mark.serial
@pytest.mark.skipif(sys.platform == "win32", reason="Windows has no SIGINT to send to another process")
def test_an_interrupted_file_is_reported_once_with_json(tmp_path):
    _, out, errors = interrupted_batch(tmp_path, 40, signal.SIGINT, "-j", "1", "--json")
    results = [json.loads(line) for line in out.decode().splitlines()]
    inputs = [r["input"] for r in results]
    assert len(inputs) == len(set(inputs))
    written = [r for r in results if r["ok"]]
    assert len(written) == len(list((tmp_path / "out").glob("*.png")))
    # Standard error: no line per file, and a last line that adds up.
    stopped = len(results) - len(written)
    assert errors.decode().splitlines()[-1] == (
        f"dither: interrupted ({len(written)} written"
        + (f", {stopped} interrupted" if stopped else "")
        + f", {40 - len(results)} not started of 40 files)")


@pytest.mark.parametrize(("args", "colors"), [
    ([], 2), (["-l", "3"], 27), (["-l", "4", "--grayscale"], 4), (["-p", "gameboy"], 4)])
def test_json_counts_the_output_colours(tmp_path, args, colors):
    save(tmp_path / "in.png", photo(36))
    done = dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", "--json", *args, check=0)
    assert json.loads(done.stdout)["colors"] == colors


@pytest.mark.parametrize(("args", "warning"), [
    (["--unbounded"], "--unbounded only changes error diffusion to a palette (-p, --colors);"
                      " nothing here is bounded"),
    (["--unbounded", "-p", "gameboy", "-m", "bayer4x4"], "--unbounded only changes error diffusion"
     " to a palette (-p, --colors); nothing here is bounded"),
    (["--unbounded", "-p", "gameboy"], None),
    (["--quantizer", "octree"], "--quantizer only changes --colors; octree makes no palette here"),
    (["--allow-lossy"], "--allow-lossy changes nothing: no output is in a lossy format"),
    (["--name", "x.png"], "--name only names outputs in a folder or beside their inputs;"
                          " {d}/out.png is named already"),
    (["-r"], "-r only looks into folders, and no input is a folder"),
    (["--smallest", "--format", "gif"], "--smallest only changes PNG outputs, and none is a PNG"),
])
def test_options_that_change_nothing_are_warned_of(tmp_path, args, warning):
    save(tmp_path / "in.png", photo(37))
    done = dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", *args, check=0)
    assert warnings_of(done) == ([] if warning is None
                                 else [f"dither: warning: {warning.format(d=tmp_path)}"])


def rgb_profile():
    ImageCms = pytest.importorskip("PIL.ImageCms")
    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


@pytest.mark.parametrize(("args", "profile", "dpi"), [
    (["-l", "3"], True, True),      # colour output: the RGB profile fits
    ([], False, True),              # black and white: an RGB profile would not
    (["-l", "3", "--strip"], False, False),
])
def test_profile_and_resolution_kept_unless_stripped_and_exif_never(tmp_path, args, profile, dpi):
    image = Image.fromarray(photo(38))
    tags = Image.Exif()
    tags[0x0112] = 6             # stored on its side: the output is upright
    tags[0x010F] = "a camera"
    image.save(tmp_path / "in.png", icc_profile=rgb_profile(), exif=tags.tobytes(), dpi=(300, 300))
    dither_cmd(tmp_path / "in.png", "-o", tmp_path / "out.png", *args, check=0)
    with Image.open(tmp_path / "out.png") as out:
        assert out.size == (48, 64)  # turned upright by its orientation
        assert bool(out.info.get("icc_profile")) == profile
        assert (tuple(round(v) for v in out.info["dpi"]) if "dpi" in out.info else None) == (
            (300, 300) if dpi else None)
        assert "exif" not in out.info and not len(out.getexif())


def test_smallest_writes_the_same_pixels_in_no_more_bytes(tmp_path):
    save(tmp_path / "in.png", photo(39, (96, 128, 3)))
    for name, args in (("fast.png", []), ("small.png", ["--smallest"])):
        dither_cmd(tmp_path / "in.png", "-o", tmp_path / name, "-c", "16", *args, check=0)
    assert np.array_equal(decoded(tmp_path / "fast.png"), decoded(tmp_path / "small.png"))
    assert (tmp_path / "small.png").stat().st_size <= (tmp_path / "fast.png").stat().st_size
