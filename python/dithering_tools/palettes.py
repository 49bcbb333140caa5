"""Palettes from the command line: built-in names, inline colour lists and
palette files (GIMP .gpl, Paint.NET .txt, .hex, JSON, or an image).

Colours are checked by the extension itself, so a bad one gets the same
message whether it came from Python or from the command line: inline hex is
passed on as '#rrggbb' text, colours read from files as (r, g, b) tuples.
Colour names and (r,g,b) entries, which the extension does not take as
text, are checked here and passed on as '#rrggbb' text or tuples.
"""

from __future__ import annotations

import json
import re
from pathlib import Path

# For type checkers only: the command reads palettes before `typing` is
# needed for anything else.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence
    from typing import SupportsIndex, TypeAlias

    # What load_palette gives: the extension's colour texts, or tuples read
    # from a file.
    _Color: TypeAlias = str | tuple[int, ...]

# Built-in palettes: colours that are public facts, not taste.
_WEB_SAFE_STEPS = ("00", "33", "66", "99", "cc", "ff")
BUILTIN_PALETTES = {
    "bw": ["#000000", "#ffffff"],
    # The 16 colours of the CGA text modes (RGBI, with the darkened yellow).
    "cga": ["#000000", "#0000aa", "#00aa00", "#00aaaa", "#aa0000", "#aa00aa", "#aa5500",
            "#aaaaaa", "#555555", "#5555ff", "#55ff55", "#55ffff", "#ff5555", "#ff55ff",
            "#ffff55", "#ffffff"],
    # CGA 320x200 graphics, palette 1 at high intensity.
    "cga4": ["#000000", "#55ffff", "#ff55ff", "#ffffff"],
    # The four greens of the original handheld console's screen.
    "gameboy": ["#0f380f", "#306230", "#8bac0f", "#9bbc0f"],
    "pico8": ["#000000", "#1d2b53", "#7e2553", "#008751", "#ab5236", "#5f574f", "#c2c3c7",
              "#fff1e8", "#ff004d", "#ffa300", "#ffec27", "#00e436", "#29adff", "#83769c",
              "#ff77a8", "#ffccaa"],
    "websafe": [f"#{r}{g}{b}" for r in _WEB_SAFE_STEPS for g in _WEB_SAFE_STEPS
                for b in _WEB_SAFE_STEPS],
    # Three-colour and seven-colour e-paper panels, as their drivers name them.
    "epaper3": ["#000000", "#ffffff", "#ff0000"],
    "epaper7": ["#000000", "#ffffff", "#00ff00", "#0000ff", "#ff0000", "#ffff00", "#ff8000"],
}
# Grey ramps: gray2 .. gray256, evenly spaced from black to white.
_GRAY_RAMP = re.compile(r"gr[ae]y(\d+)")


class PaletteError(ValueError):
    """A palette that cannot be read: its file, or a name not known."""


def builtin_names() -> list[str]:
    return sorted(BUILTIN_PALETTES) + ["gray2 .. gray256"]


def gray_ramp(count: int) -> list[_Color]:
    return [(v, v, v) for v in (round(i * 255 / (count - 1)) for i in range(count))]


def load_palette(text: str) -> list[_Color]:
    """The palette named, written or stored in `text`: a built-in name, a
    file path, or colours separated by commas, semicolons or blanks: hex
    ('#000,#fff', '0f380f 306230'), CSS names ('black, White') and
    '(r,g,b)' or 'rgb(r,g,b)' with values 0..255, mixed as you like.
    Returns a list of '#rrggbb' texts or (r, g, b) tuples; hex is left
    unchecked, for the extension to judge. Raises PaletteError for an
    unreadable file or an entry that is no colour."""
    key = text.strip().lower()
    if key in BUILTIN_PALETTES:
        return list(BUILTIN_PALETTES[key])
    ramp = _GRAY_RAMP.fullmatch(key)
    if ramp and 2 <= int(ramp.group(1)) <= 256:
        return gray_ramp(int(ramp.group(1)))
    path = Path(text)
    if path.is_file():
        return read_palette_file(path)
    tokens = _split_colors(text)
    if not tokens:
        raise PaletteError("empty palette")
    # One word that is no colour is most likely a mistyped palette name or
    # path, so say what else it could have been.
    if len(tokens) == 1 and not (re.fullmatch(r"#?[0-9a-fA-F]+", tokens[0]) or "(" in tokens[0]
                                 or _named_color(tokens[0]) is not None):
        raise PaletteError(f"{text!r} is neither a built-in palette ({', '.join(builtin_names())}),"
                           " a file, nor a list of colours")
    return [_parse_color(t) for t in tokens]


def _split_colors(text: str) -> list[str]:
    """The entries of an inline list: split at commas, semicolons and blanks,
    but not inside parentheses, which hold an (r,g,b) entry's own commas."""
    tokens: list[str] = []
    start: int | None = None
    depth = 0
    for i, char in enumerate(text):
        if char == "(":
            depth += 1
        elif char == ")":
            if depth == 0:
                raise PaletteError(f"{text!r}: ')' without its '('")
            depth -= 1
        elif depth == 0 and (char.isspace() or char in ",;"):
            if start is not None:
                tokens.append(text[start:i])
                start = None
            continue
        if start is None:
            start = i
    if depth:
        raise PaletteError(f"{text[start:]!r}: '(' without its ')'")
    if start is not None:
        tokens.append(text[start:])
    return tokens


_RGB = re.compile(r"(?:rgb)?\(\s*(-?\d+)\s*,\s*(-?\d+)\s*,\s*(-?\d+)\s*\)", re.IGNORECASE)


def _parse_color(token: str) -> _Color:
    """One entry: hex, a CSS colour name or (r,g,b). Hex goes to the
    extension as '#' text, unchecked, so its message quotes what was typed."""
    if token.startswith("#"):
        return token
    if re.fullmatch(r"[0-9a-fA-F]+", token):
        return "#" + token
    if "(" in token:
        match = _RGB.fullmatch(token)
        if not match:
            raise PaletteError(f"{token!r}: expected (r,g,b) or rgb(r,g,b) with integers 0..255")
        color = tuple(int(v) for v in match.groups())
        if not all(0 <= v <= 255 for v in color):
            raise PaletteError(f"{token!r}: each of r, g, b must be 0..255")
        return color
    named = _named_color(token)
    if named is None:
        raise PaletteError(f"{token!r} is not a colour: expected hex ('#000', '#rrggbb'), a CSS"
                           " name ('black') or (r,g,b)")
    return named


def _named_color(word: str) -> str | None:
    """The '#rrggbb' of a CSS colour name, any case; None for other words."""
    try:
        from PIL import ImageColor
    except ImportError:
        from . import install_hint
        raise PaletteError(f"colour names such as {word!r} need Pillow: {install_hint('cli')}") from None
    if word.lower() not in ImageColor.colormap:
        return None
    r, g, b = ImageColor.getrgb(word.lower())[:3]
    return f"#{r:02x}{g:02x}{b:02x}"


def read_palette_file(path: Path) -> list[_Color]:
    """Colours of a palette file, chosen by its extension (an unknown one is
    read as an image, then as a list of hex colours)."""
    suffix = path.suffix.lower()
    try:
        if suffix == ".gpl":
            return _read_gpl(path.read_text(encoding="utf-8", errors="replace"))
        if suffix == ".json":
            return _read_json(path.read_text(encoding="utf-8"))
        if suffix in (".txt", ".hex", ".pal"):
            return _read_hex_lines(path.read_text(encoding="utf-8", errors="replace"))
        return _read_image(path)
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise PaletteError(f"{path}: {error}") from None
    except PaletteError as error:
        message = str(error)
        if message.startswith(f"{path}: "):
            raise
        raise PaletteError(f"{path}: {message}") from None


def _read_gpl(text: str) -> list[_Color]:
    lines = text.splitlines()
    if not lines or lines[0].strip() != "GIMP Palette":
        raise PaletteError("a .gpl file must start with 'GIMP Palette'")
    colors: list[_Color] = []
    for number, line in enumerate(lines[1:], start=2):
        line = line.strip()
        if not line or line.startswith("#") or ":" in line.split()[0]:
            continue  # comments and headers such as 'Name: ...', 'Columns: 8'
        fields = line.split()
        try:
            color = tuple(int(v) for v in fields[:3])
        except ValueError:
            color = ()
        if len(color) != 3 or not all(0 <= v <= 255 for v in color):
            raise PaletteError(f"line {number}: expected 'R G B [name]' with values 0..255,"
                               f" got {line!r}")
        colors.append(color)
    return colors


def _read_hex_lines(text: str) -> list[_Color]:
    """One colour per line: 'rrggbb', '#rrggbb', or Paint.NET's 'aarrggbb'
    (its alpha dropped), or a colour name or (r,g,b) as inline lists take
    them; ';' and '#' lines with blanks are comments."""
    colors: list[_Color] = []
    for number, line in enumerate(text.splitlines(), start=1):
        line = line.strip()
        if not line or line.startswith(";") or (line.startswith("#") and " " in line):
            continue
        token = line.split()[0].lstrip("#")
        if len(token) == 8 and re.fullmatch(r"[0-9a-fA-F]{8}", token):
            token = token[2:]
        if re.fullmatch(r"[0-9a-fA-F]{6}|[0-9a-fA-F]{3}", token):
            colors.append("#" + token)
            continue
        color: _Color | None = None
        if not line.startswith("#") and not re.fullmatch(r"[0-9a-fA-F]+", token):
            try:
                entry = _split_colors(line)[0]
                color = _parse_color(entry) if "(" in entry else _named_color(entry)
            except PaletteError as error:
                raise PaletteError(f"line {number}: {error}") from None
        if color is None:
            raise PaletteError(f"line {number}: expected a colour as rrggbb, #rrggbb or"
                               f" aarrggbb, a name or (r,g,b), got {line!r}")
        colors.append(color)
    return colors


def _read_json(text: str) -> list[_Color]:
    """A list of colours ('#rrggbb' or [r, g, b]), or an object holding one
    under "colors" or "palette"."""
    data = json.loads(text)
    if isinstance(data, dict):
        data = data.get("colors", data.get("palette"))
    if not isinstance(data, list):
        raise PaletteError('JSON palette: expected a list of colours or {"colors": [...]}')
    for number, color in enumerate(data, start=1):
        if isinstance(color, str):
            continue  # the extension checks the text, and quotes it
        if not (isinstance(color, list) and len(color) == 3
                and all(type(v) is int and 0 <= v <= 255 for v in color)):
            raise PaletteError(f"colour {number}: expected \"#rrggbb\" or [r, g, b] with"
                               f" values 0..255, got {json.dumps(color)}")
    return [c if isinstance(c, str) else tuple(c) for c in data]


def _read_image(path: Path) -> list[_Color]:
    """The distinct colours of an image, in the order they first appear."""
    import numpy as np
    from PIL import Image, UnidentifiedImageError

    try:
        with Image.open(path) as image:
            pixels = np.asarray(image.convert("RGB")).reshape(-1, 3)
    except UnidentifiedImageError:
        return _read_hex_lines(path.read_text(encoding="utf-8"))
    packed = (pixels[:, 0].astype(np.uint32) << 16) | (pixels[:, 1].astype(np.uint32) << 8) | pixels[:, 2]
    _, first = np.unique(packed, return_index=True)
    # Far more colours than any palette may hold: stop before listing millions.
    if len(first) > 4096:
        raise PaletteError(f"{path}: {len(first)} distinct colours; a palette image holds at most 4096")
    return [tuple(int(v) for v in pixels[i]) for i in sorted(first)]


def palette_rgb(palette: Iterable[str | Sequence[SupportsIndex]]) -> list[tuple[int, ...]]:
    """The (r, g, b) tuples of a palette the extension has accepted."""
    out = []
    for color in palette:
        if isinstance(color, str):
            digits = color.lstrip("#")
            if len(digits) == 3:
                digits = "".join(c * 2 for c in digits)
            out.append(tuple(int(digits[i:i + 2], 16) for i in (0, 2, 4)))
        else:
            out.append(tuple(int(v) for v in color))
    return out
