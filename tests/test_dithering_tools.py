"""The `dither` command's parts on their own: palette files, output
planning, sizes, the encoders and the temporary-file writes, called
directly on real files in a temporary folder."""

import errno
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import dithering

Image = pytest.importorskip("PIL.Image")

from dithering_tools import bounded_error_diffusion  # noqa: E402
from dithering_tools.batch import FileResult, _reason  # noqa: E402
from dithering_tools.encode import (LOSSY_FORMATS, gif_with_transparency,  # noqa: E402
                                    lossy_refusal, output_image)
from dithering_tools.files import (_TEMPORARY, check_name_pattern,  # noqa: E402
                                   remove_stale_temporaries, unwritable_folder,
                                   write_atomically)
from dithering_tools.palettes import PaletteError, load_palette  # noqa: E402
from dithering_tools.planning import PlanError, plan_jobs  # noqa: E402
from dithering_tools.prepare import float_to_bytes, parse_size, target_size  # noqa: E402

COLORS = [(0, 0, 0), (255, 255, 255), (48, 98, 48)]


def photo(seed, shape=(24, 32, 3)):
    rng = np.random.default_rng(seed)
    return rng.integers(0, 256, shape, dtype=np.uint8)


# -- palette files ---------------------------------------------------------

@pytest.mark.parametrize(("name", "text"), [
    ("p.gpl", "GIMP Palette\nName: test\nColumns: 3\n# comment\n0 0 0 black\n"
              "255 255 255\twhite\n 48  98  48\n"),
    ("p.txt", "; Paint.NET\nFF000000\nffffffff\nFF306230\n"),
    ("p.hex", "000000\n#FFFFFF\n\n306230\n"),
    ("p.pal", "#000\n# a comment line\nfff\n306230\n"),
    ("p.json", '["#000000", [255, 255, 255], "#306230"]'),
    ("q.json", '{"palette": [[0, 0, 0], "#ffffff", [48, 98, 48]]}'),
    ("p.png", None),
])
def test_palette_files_give_their_colours_in_order(tmp_path, name, text):
    path = tmp_path / name
    if text is None:
        Image.fromarray(np.array([[COLORS[0], COLORS[1]], [COLORS[0], COLORS[2]]],
                                 np.uint8)).save(path)
    else:
        path.write_text(text)
    palette = load_palette(str(path))
    from dithering_tools.palettes import palette_rgb
    assert palette_rgb(palette) == COLORS


@pytest.mark.parametrize(("name", "text", "message"), [
    ("p.gpl", "GIMP Palette\n0 0 0\n12 34\n", "line 3: expected 'R G B [name]'"),
    ("p.gpl", "GIMP Palette\nName: x\n\n0 0 0\n0 300 0 too bright\n", "line 5: "),
    ("p.gpl", "GIMP Palette\n0 0 zero\n", "line 2: expected 'R G B"),
    ("p.gpl", "JASC-PAL\n0 0 0\n", "must start with 'GIMP Palette'"),
    ("p.hex", "000000\nffffff\nnot-a-colour\n", "line 3: expected a colour as rrggbb"),
    ("p.txt", "; header\nFF000000\nFF12345\n", "line 3: expected a colour"),
    ("p.json", '["#000000", [1, 2]]', "colour 2: expected"),
    ("p.json", '[[0, 0, 256]]', "colour 1: expected"),
    ("p.json", '{"colours": []}', "expected a list of colours"),
    ("p.json", '["#000000",\n  oops]', "line 2 column 3"),
])
def test_malformed_palette_files_say_where(tmp_path, name, text, message):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(PaletteError) as raised:
        load_palette(str(path))
    assert str(raised.value).startswith(f"{path}: ")
    assert message in str(raised.value)


# -- output planning -------------------------------------------------------

def files(folder, *names):
    for name in names:
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        Image.fromarray(photo(0, (4, 4, 3))).save(path)
    return folder


def destinations(plan):
    return sorted(str(job.destination) for job in plan.jobs)


@pytest.mark.parametrize(("arguments", "output", "name", "recursive", "expected"), [
    (["in/a.png"], None, None, False, ["in/a-dithered.png"]),
    (["in/a.png"], "x.gif", None, False, ["x.gif"]),
    (["in/a.png"], "out/", None, False, ["out/a.png"]),
    (["in/a.png", "in/b.jpg"], "out", None, False, ["out/a.png", "out/b.png"]),
    (["in"], "out", None, False, ["out/a.png", "out/b.png"]),
    (["in"], "out", None, True, ["out/a.png", "out/b.png", "out/sub/c.png", "out/sub/deeper/d.png"]),
    (["in"], None, None, True, ["in/a-dithered.png", "in/b-dithered.png",
                                "in/sub/c-dithered.png", "in/sub/deeper/d-dithered.png"]),
    (["in/*.png", "in/a.png"], "out/", None, False, ["out/a.png"]),
    (["in"], "out", "{stem}.{ext}", False, ["out/a.png", "out/b.jpg"]),
    (["in"], "out", "{stem}_bw{suffix}", False, ["out/a_bw.png", "out/b_bw.jpg"]),
    (["in"], "out", "{stem}-{ext}.gif", False, ["out/a-png.gif", "out/b-jpg.gif"]),
])
def test_planning_names_and_layouts(tmp_path, monkeypatch, arguments, output, name, recursive,
                                    expected):
    files(tmp_path / "in", "a.png", "b.jpg", "sub/c.png", "sub/deeper/d.bmp")
    (tmp_path / "in" / "notes.txt").write_text("not an image")
    monkeypatch.chdir(tmp_path)
    plan = plan_jobs(arguments, output, name, recursive=recursive)
    assert destinations(plan) == expected
    assert not plan.missing and not plan.skipped


def test_planning_leaves_out_earlier_outputs_found_in_folders(tmp_path, monkeypatch):
    files(tmp_path / "in", "a.png", "a-dithered.png", "a-dithered-dithered.png", "b.png",
          "c-dithered.png")
    monkeypatch.chdir(tmp_path)
    plan = plan_jobs(["in"])
    # c-dithered.png has no c beside it: a picture of its own.
    assert destinations(plan) == ["in/a-dithered.png", "in/b-dithered.png",
                                  "in/c-dithered-dithered.png"]
    assert sorted(str(path) for path, _ in plan.skipped) == [
        "in/a-dithered-dithered.png", "in/a-dithered.png"]
    # Named explicitly, an earlier output is dithered like any file.
    assert destinations(plan_jobs(["in/a-dithered.png"])) == ["in/a-dithered-dithered.png"]


def test_planning_keeps_two_pictures_of_one_stem(tmp_path, monkeypatch):
    # a.jpg's output in the same folder is a.png, which is a picture too:
    # neither is left out; the batch's overwrite refusal protects a.png.
    files(tmp_path / "in", "a.png", "a.jpg")
    monkeypatch.chdir(tmp_path)
    plan = plan_jobs(["in"], "in", "{stem}.png")
    assert not plan.skipped and len(plan.jobs) == 2
    from dithering_tools.batch import _refusals
    assert sorted(_refusals(plan.jobs).values()) == [
        "refusing to overwrite an input: in/a.png", "refusing to overwrite an input: in/a.png"]


@pytest.mark.parametrize(("arguments", "output", "kwargs", "message"), [
    (["in/a.png", "in/b.jpg"], "-", {}, "standard output takes exactly one input"),
    (["in/a.png"], "-", {"stdout_is_terminal": True}, "refusing to write an image to a terminal"),
    (["in/a.png"], "x.nope", {}, "x.nope: cannot tell an image format"),
    (["in"], "out", {"name": "{stem}.raw"}, "cannot tell an image format"),
])
def test_planning_refuses_what_cannot_work(tmp_path, monkeypatch, arguments, output, kwargs,
                                           message):
    files(tmp_path / "in", "a.png", "b.jpg")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(PlanError, match=message):
        plan_jobs(arguments, output, **kwargs)


def test_planning_reports_missing_inputs_and_empty_folders(tmp_path, monkeypatch):
    files(tmp_path / "in", "a.png")
    (tmp_path / "empty").mkdir()
    (tmp_path / "texts").mkdir()
    (tmp_path / "texts" / "t.txt").write_text("words")
    monkeypatch.chdir(tmp_path)
    plan = plan_jobs(["in", "empty", "texts", "gone.png", "in/*.gif"], "out")
    assert destinations(plan) == ["out/a.png", "out/gone.png"]
    assert plan.missing == ["in/*.gif"]
    assert plan.empty_folders == ["empty", "texts"]


@pytest.mark.parametrize(("pattern", "message"), [
    ("{stem}{ext}", "{ext} is the extension without its dot"),
    ("{stem}-x{ext}", "write '.{ext}', or {suffix}"),
    ("{name}.png", "unknown field {name}"),
    ("{stem!r}.png", "unknown field"),
    ("{stem:>9}.png", "unknown field"),
    ("{stem.png", "--name '{stem.png'"),
])
def test_name_patterns_refused(pattern, message):
    with pytest.raises(ValueError) as raised:
        check_name_pattern(pattern)
    assert message in str(raised.value)


@pytest.mark.parametrize("pattern", ["{stem}.{ext}", "{stem}{suffix}", "{stem}-{ext}.png",
                                     "out.png", "{ext}/{stem}.png"])
def test_name_patterns_accepted(pattern):
    check_name_pattern(pattern)


# -- sizes -----------------------------------------------------------------

@pytest.mark.parametrize(("text", "parsed"), [
    ("640x480", (640, 480, False)), ("640X480!", (640, 480, True)),
    ("640x", (640, None, False)), ("x480", (None, 480, False)),
])
def test_sizes_parsed(text, parsed):
    assert parse_size(text) == parsed


@pytest.mark.parametrize("text", ["640", "x", "0x10", "640x!", "axb", "-5x10", "10x10!!"])
def test_bad_sizes_refused(text):
    with pytest.raises(ValueError):
        parse_size(text)


@pytest.mark.parametrize(("image", "resize", "fit", "expected"), [
    ((80, 60), (40, 40), True, (40, 30)),      # wide: width limits
    ((60, 80), (40, 40), True, (30, 40)),      # tall: height limits
    ((80, 60), (200, 200), True, (200, 150)),  # larger too
    ((80, 60), (40, 40), False, (40, 40)),     # '!': exactly
    ((80, 60), (40, None), True, (40, 30)),
    ((80, 60), (None, 15), True, (20, 15)),
    ((1000, 3), (10, 10), True, (10, 1)),      # never below one pixel
    ((333, 200), (100, 60), True, (100, 60)),  # both sides limit
    ((333, 201), (100, 60), True, (99, 60)),   # height limits: 99.4 rounds down
])
def test_resize_fits_inside_the_box(image, resize, fit, expected):
    size = target_size(image, resize, fit=fit)
    assert size == expected
    if fit and None not in resize:
        assert size[0] <= resize[0] and size[1] <= resize[1]


# -- float images ----------------------------------------------------------

@pytest.mark.parametrize(("values", "expected", "noted"), [
    ([0.0, 0.25, 1.0], [0, 64, 255], False),          # fractions of white
    ([0.0, 2.0, 255.0], [0, 2, 255], False),          # already 0..255
    ([0.0, 0.5, 2.0], [0, 0, 2], True),               # 0..2: nearly black, and said
    ([-3.0, 100.0, 700.0], [0, 100, 255], True),      # clipped, and said
    ([np.nan, 0.5, 1.0], [0, 128, 255], True),        # NaN: 0, and said
])
def test_float_images_scaled_or_clipped(values, expected, noted):
    notes = []
    image = Image.fromarray(np.array([values], np.float32), "F")
    assert np.asarray(float_to_bytes(image, notes)).tolist() == [expected]
    assert bool(notes) == noted


# -- encoders --------------------------------------------------------------

def round_trip(image, save, fmt):
    from io import BytesIO
    buffer = BytesIO()
    image.save(buffer, format=fmt, **save)
    buffer.seek(0)
    with Image.open(buffer) as back:
        back.load()
        return back.copy()


def as_array(image, channels):
    mode = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}[channels]
    return np.asarray(image.convert(mode))


EXACT_FORMATS = ["PNG", "GIF", "BMP", "TIFF", "WEBP", "PPM", "TGA"]


@pytest.mark.parametrize("fmt", EXACT_FORMATS)
@pytest.mark.parametrize("kind", ["palette", "levels", "bw", "grey-levels"])
def test_every_exact_format_round_trips(fmt, kind):
    image = photo(1)
    palette = None
    if kind == "palette":
        palette = [(15, 56, 15), (48, 98, 48), (139, 172, 15), (155, 188, 15)]
        result = bounded_error_diffusion(image, palette=palette)
    elif kind == "levels":
        result = dithering.dither(image, levels=2)
    else:
        grey = image[..., 0].copy()
        result = dithering.dither(grey, levels=2 if kind == "bw" else 4)
    levels = 4 if kind == "grey-levels" else None
    encoded, save = output_image(result, fmt, palette, levels)
    back = round_trip(encoded, save, fmt)
    channels = 1 if result.ndim == 2 else result.shape[2]
    assert np.array_equal(as_array(back, channels), result)
    if fmt in ("PNG", "GIF") and kind == "palette":
        assert encoded.mode == "P"
        assert encoded.getpalette()[:12] == [v for c in palette for v in c]
    if kind == "bw" and fmt in ("PNG", "BMP", "TIFF", "GIF"):
        assert encoded.mode == "1"


def test_webp_is_lossless_with_alpha():
    image = np.dstack([photo(2), photo(3)[..., 0]])
    result = bounded_error_diffusion(image, palette=["#000", "#fff", "#f00", "#00f"])
    encoded, save = output_image(result, "WEBP")
    assert save.get("lossless") is True
    back = round_trip(encoded, save, "WEBP")
    assert np.array_equal(np.asarray(back.convert("RGBA")), result)


@pytest.mark.parametrize("channels", [2, 4])
@pytest.mark.parametrize("use_palette", [False, True])
def test_gif_transparency_from_alpha(channels, use_palette):
    rng = np.random.default_rng(4)
    colours = np.array([[0, 0, 0], [255, 255, 255], [255, 0, 0]], np.uint8)
    if channels == 2:
        colours = colours[:2, :1]
    picked = colours[rng.integers(0, len(colours), (20, 30))]
    alpha = rng.integers(0, 256, (20, 30), dtype=np.uint8)
    alpha[0, :3] = (127, 128, 0)  # either side of the threshold
    result = np.dstack([picked, alpha])
    palette = ([(0, 0, 0), (255, 255, 255), (255, 0, 0), (0, 0, 255)]
               if use_palette and channels == 4 else None)
    notes = []
    encoded, save = output_image(result, "GIF", palette, None, notes)
    back = np.asarray(round_trip(encoded, save, "GIF").convert("RGBA"))
    opaque = alpha >= 128
    assert np.array_equal(back[..., 3], np.where(opaque, 255, 0))
    shown = np.repeat(picked, 3, axis=-1) if channels == 2 else picked
    assert np.array_equal(back[..., :3][opaque], shown[opaque])
    assert notes and "alpha below 128" in notes[0]
    if palette is not None:
        assert encoded.getpalette()[:12] == [v for c in palette for v in c]


def test_gif_transparency_all_or_nothing_alpha_says_nothing():
    result = np.zeros((4, 4, 4), np.uint8)
    result[..., 3] = 255
    result[0, 0, 3] = 0
    notes = []
    encoded, save = gif_with_transparency(result, notes=notes)
    assert notes == [] and save["transparency"] == 1


def test_gif_transparency_with_too_many_colours_is_refused():
    values = np.arange(256 * 3, dtype=np.uint16).reshape(16, 16, 3) % 256
    result = np.dstack([values.astype(np.uint8), np.full((16, 16), 255, np.uint8)])
    result[..., 2] = np.arange(256, dtype=np.uint8).reshape(16, 16)
    with pytest.raises(ValueError, match="at most 255 colours"):
        output_image(result, "GIF")


@pytest.mark.parametrize("fmt", sorted(LOSSY_FORMATS) + ["jpeg"])
def test_lossy_formats_have_a_refusal(fmt):
    assert "--allow-lossy" in lossy_refusal(fmt)


@pytest.mark.parametrize("fmt", EXACT_FORMATS + ["JPEG2000"])
def test_exact_formats_have_none(fmt):
    assert lossy_refusal(fmt) is None


# -- writes and their temporaries ------------------------------------------

def test_a_failed_write_names_the_output_and_leaves_nothing(tmp_path):
    out = tmp_path / "out.png"

    def write(stream):
        stream.write(b"half")
        raise OSError(errno.ENOSPC, "No space left on device")

    with pytest.raises(OSError) as raised:
        write_atomically(out, write)
    assert raised.value.filename == str(out)
    assert _reason(raised.value, "in.png") == f"cannot write {out}: No space left on device"
    assert os.listdir(tmp_path) == []


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="/proc takes no new files on Linux")
def test_a_temporary_that_cannot_be_made_is_named_as_the_output():
    with pytest.raises(OSError) as raised:
        write_atomically("/proc/x.png", lambda stream: None)
    assert _reason(raised.value, "in.png").startswith("cannot write /proc/x.png: ")


def test_a_file_in_the_way_of_the_folders_is_an_error_not_an_existing_output(tmp_path):
    # An existing output is a FileExistsError, which a batch with
    # --skip-existing counts as done; a file where the output's folder
    # should be must not pass for one.
    (tmp_path / "in-the-way").write_text("a file")
    out = tmp_path / "in-the-way" / "out.png"
    with pytest.raises(OSError) as raised:
        write_atomically(out, lambda stream: stream.write(b"png"), make_folders=True)
    assert not isinstance(raised.value, FileExistsError)
    assert _reason(raised.value) == (
        f"cannot write {out}: {tmp_path / 'in-the-way'} is a file, not a folder")
    assert sorted(os.listdir(tmp_path)) == ["in-the-way"]


@pytest.mark.parametrize("make_folders", [True, False])
def test_missing_folders_made_only_when_asked(tmp_path, make_folders):
    out = tmp_path / "new" / "deeper" / "out.png"
    if make_folders:
        assert write_atomically(out, lambda stream: stream.write(b"png"), make_folders=True) == 3
        assert out.read_bytes() == b"png"
    else:
        with pytest.raises(OSError) as raised:
            write_atomically(out, lambda stream: stream.write(b"png"), make_folders=False)
        assert _reason(raised.value) == f"cannot write {out}: folder {out.parent} does not exist"
        assert os.listdir(tmp_path) == []


def test_a_stopped_batch_reports_no_job_that_never_started(tmp_path, monkeypatch):
    import threading

    from dithering_tools import batch
    from dithering_tools.options import DitherOptions
    for i in range(4):
        Image.fromarray(np.full((8, 8), 40 * i, np.uint8)).save(tmp_path / f"{i}.png")
    jobs = [batch.Job(tmp_path / f"{i}.png", tmp_path / f"out{i}.png") for i in range(4)]
    stop = threading.Event()
    prepare = batch.prepare_image

    def stopping(*args, **kwargs):   # Ctrl-C while the first file is being dithered
        stop.set()
        return prepare(*args, **kwargs)

    monkeypatch.setattr(batch, "prepare_image", stopping)
    # One worker: the file queued behind the first starts only after the stop.
    results = list(batch.dither_files(jobs, DitherOptions(), workers=1, stop=stop))
    assert [(r.input, r.error) for r in results] == [(str(tmp_path / "0.png"), "interrupted")]
    assert list(tmp_path.glob("out*")) == []


@pytest.mark.parametrize(("make", "message"), [
    (lambda root: (root / "file").write_text("x") and root / "file", "is not a folder"),
    (lambda root: (root / "file").write_text("x") and root / "file" / "deeper",
     "file is not a folder"),
    (lambda root: root / "new" / "deeper", None),
    (lambda root: root, None),
])
def test_unwritable_folders_found(tmp_path, make, message):
    reason = unwritable_folder(make(tmp_path))
    assert (reason is None) if message is None else (message in reason)


@pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0,
                    reason="permissions do not bind root")
def test_a_folder_without_write_permission_is_found(tmp_path):
    (tmp_path / "locked").mkdir(mode=0o555)
    assert "permission denied" in unwritable_folder(tmp_path / "locked" / "sub")


def test_temporaries_name_their_output_and_writer(tmp_path):
    seen = []
    write_atomically(tmp_path / "a.b.png", lambda out: seen.extend(os.listdir(tmp_path)))
    [name] = seen
    match = _TEMPORARY.fullmatch(name)
    assert match["name"] == "a.b.png" and match["pid"] == str(os.getpid())


def dead_pid():
    """The id of a process that has ended (and been waited for)."""
    done = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, check=True)
    return int(done.stdout)


@pytest.mark.parametrize(("own", "everyone"), [(False, False), (True, False), (False, True)])
def test_stale_temporaries_removed_and_live_ones_kept(tmp_path, own, everyone):
    from dithering_tools.files import _HOST
    gone, me = dead_pid(), os.getpid()
    names = {
        f".a.png.{_HOST}-{gone}-x1.part": True,              # its writer died
        f".a.png.{_HOST}-{me}-x2.part": own or everyone,     # still being written
        f".a.png.{_HOST}-{2**70}-x6.part": everyone,          # no such id: unknown, kept
        f".a.png.otherhost-{gone}-x3.part": everyone,        # another machine's
        ".a.png.k1tm2a0x.part": everyone,                    # old-style, recent
        ".a.png.oldstyle.part": True,                        # old-style, a day old
        f".b.png.{_HOST}-{gone}-x4.part": False,             # not this batch's output
        f"a.png.{_HOST}-{gone}-x5.part": False,              # not hidden: not ours
        "a.png": False,
    }
    for name in names:
        (tmp_path / name).write_bytes(b"x")
    day_ago = time.time() - 86400
    os.utime(tmp_path / ".a.png.oldstyle.part", (day_ago, day_ago))
    removed = remove_stale_temporaries([tmp_path / "a.png"], everyone=everyone, own=own)
    left = set(os.listdir(tmp_path))
    assert left == {name for name, goes in names.items() if not goes}
    assert removed == sum(names.values())


@pytest.mark.parametrize("pid", [0, -1, 2**32, 2**70])
def test_ids_windows_cannot_hold_never_count_as_a_gone_writer(pid):
    # Checked before any call into Windows, which would truncate the id
    # onto a live process's.
    from dithering_tools.files import _windows_process_is_gone
    assert _windows_process_is_gone(pid) is False


def test_file_results_carry_warnings_into_json():
    result = FileResult(input="a.gif", output="a.png", warnings=["animated"])
    assert result.as_dict()["warnings"] == ["animated"]
    assert FileResult(input="b", output=None).warnings == []


def test_install_hints_name_this_distribution():
    # Every "pip install '<name>[extra]'" the package prints or documents
    # names the distribution it was installed as, never the index's
    # "dithering", which is another project's.
    import re
    from importlib.metadata import distribution, packages_distributions
    from pathlib import Path

    import dithering_tools

    assert packages_distributions()["dithering_tools"] == [dithering_tools.DISTRIBUTION]
    assert distribution(dithering_tools.DISTRIBUTION).metadata["Name"] == "dithering-exact"
    texts = [p.read_text() for p in Path(dithering_tools.__file__).parent.glob("*.py")]
    repo = Path(__file__).resolve().parent.parent
    texts += [p.read_text() for p in (repo / "README.md", repo / "docs" / "cluster.md")
              if p.is_file()]
    hints = re.findall(r"pip install '([\w.-]+)\[", "\n".join(texts))
    assert "dithering-exact" in hints and set(hints) <= {dithering_tools.DISTRIBUTION, "."}
    assert dithering_tools.install_hint("cli") == "pip install 'dithering-exact[cli]'"
