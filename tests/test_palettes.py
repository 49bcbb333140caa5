"""Inline palettes as people write them: hex, CSS colour names and (r,g,b),
mixed in one list, and the messages for entries that are no colour."""

import re
import sys

import pytest

pytest.importorskip("PIL.ImageColor")

from dithering_tools.palettes import PaletteError, load_palette, palette_rgb  # noqa: E402

BLACK, WHITE, RED = (0, 0, 0), (255, 255, 255), (255, 0, 0)


@pytest.mark.parametrize(("text", "expected"), [
    ("black,white", [BLACK, WHITE]),
    ("Black; WHITE  RebeccaPurple", [BLACK, WHITE, (0x66, 0x33, 0x99)]),
    ("(0,0,0),(255,255,255)", [BLACK, WHITE]),
    ("( 0, 0, 0 ) (255 ,255, 255)", [BLACK, WHITE]),
    ("rgb(0,0,0);RGB( 255,0,0 )", [BLACK, RED]),
    ("black, #fff, (255,0,0) 0f380f", [BLACK, WHITE, RED, (15, 56, 15)]),
    ("red", [RED]),
    ("(255,0,0)", [RED]),
])
def test_inline_colours_by_name_and_rgb(text, expected):
    assert palette_rgb(load_palette(text)) == expected


@pytest.mark.parametrize(("text", "message"), [
    ("nope", "'nope' is neither a built-in palette (bw, "),
    ("black,inky", "'inky' is not a colour"),
    ("black,(0,0,300)", "'(0,0,300)': each of r, g, b must be 0..255"),
    ("(0,-1,0)", "'(0,-1,0)': each of r, g, b must be 0..255"),
    ("white (1,2)", "'(1,2)': expected (r,g,b) or rgb(r,g,b)"),
    ("black,rgb(0,0,0", "'rgb(0,0,0': '(' without its ')'"),
    ("0,0,0),white", "')' without its '('"),
])
def test_entries_that_are_no_colour_are_quoted(text, message):
    with pytest.raises(PaletteError, match=re.escape(message)):
        load_palette(text)


def test_palette_file_lines_take_names_and_rgb(tmp_path):
    path = tmp_path / "p.hex"
    path.write_text("000000\nWhite\n( 255, 0, 0 )\n")
    assert palette_rgb(load_palette(str(path))) == [BLACK, WHITE, RED]
    path.write_text("000000\n(0,0,256)\n")
    with pytest.raises(PaletteError, match=re.escape("line 2: '(0,0,256)': each of r, g, b")):
        load_palette(str(path))


def test_colour_names_without_pillow_say_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "PIL", None)
    assert load_palette("#000,(255,255,255)") == ["#000", WHITE]
    with pytest.raises(PaletteError, match=re.escape("pip install 'dithering-exact[cli]'")):
        load_palette("black,white")
