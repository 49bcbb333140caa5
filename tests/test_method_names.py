"""Method-name resolution and the message for unknown names."""

import numpy as np
import pytest

import dithering

IMG = np.full((3, 4), 100, dtype=np.uint8)
NAME_LIST = (
    "'floyd_steinberg', 'false_floyd_steinberg', 'jarvis_judice_ninke', "
    "'stucki', 'atkinson', 'burkes', 'sierra', 'sierra_two_row', 'sierra_lite'"
)

ALIASES = {
    "floyd_steinberg": ["fs", "FS", "F-S", "f_s", " fs ", "Floyd Steinberg",
                        "floyd-steinberg", "FLOYD_STEINBERG", "floydsteinberg"],
    "false_floyd_steinberg": ["ffs", "false-floyd-steinberg", "False Floyd Steinberg"],
    "jarvis_judice_ninke": ["jjn", "JJN", "jarvis", "Jarvis-Judice-Ninke"],
    "stucki": ["stucki", "STUCKI"],
    "atkinson": ["atkinson", "At_Kinson"],
    "burkes": ["burkes"],
    "sierra": ["sierra", "sierra3", "sierra_3", "sierra 3", "Sierra-3"],
    "sierra_two_row": ["sierra2", "sierra_2", "sierra_two_row", "two_row_sierra", "TwoRowSierra"],
    "sierra_lite": ["sierra_lite", "sierra-2-4a", "Sierra24A", "Sierra-2-4A", "SIERRA LITE"],
}


def resolves(method):
    """True when error_diffusion accepts the name (it resolves the name
    before it looks at anything else)."""
    try:
        dithering.error_diffusion(IMG, method)
    except ValueError as error:
        if str(error).startswith("unknown error-diffusion method"):
            return False
        raise
    return True


@pytest.mark.parametrize(
    "alias", [alias for aliases in ALIASES.values() for alias in aliases]
)
def test_aliases_resolve(alias):
    assert resolves(alias)


@pytest.mark.parametrize("name", dithering.available_methods())
def test_every_listed_name_resolves(name):
    assert resolves(name)


@pytest.mark.parametrize(
    "name",
    ["judice", "ninke", "jjnk", "false_fs", "fs\t", "", "\uff26\uff33", "floyd",
     "sierra4", "fs.", "f\u00a0s"],
)
def test_unknown_names(name):
    assert not resolves(name)


@pytest.mark.parametrize(
    ("name", "shown"),
    [
        ("bogus", '"bogus"'),
        ("Floyd-X", '"Floyd-X"'),
        ('say "hi"', '"say \\"hi\\""'),
        ("back\\slash", '"back\\\\slash"'),
        ("tab\there", '"tab\\there"'),
        ("cr\rlf\n", '"cr\\rlf\\n"'),
        ("nul\0", '"nul\\0"'),
        ("it's", "\"it's\""),
        ("e\u0301", '"e\\u{301}"'),
        ("\u0301start", '"\\u{301}start"'),
        ("caf\u00e9 \u20ac \u65e5\u672c", '"caf\u00e9 \u20ac \u65e5\u672c"'),
        ("\x1b[0m\x7f", '"\\u{1b}[0m\\u{7f}"'),
        ("zero\u200bwidth", '"zero\\u{200b}width"'),
        ("\U0001f600", '"\U0001f600"'),
        ("\U000e0001", '"\\u{e0001}"'),
    ],
)
def test_unknown_name_message(name, shown):
    with pytest.raises(ValueError) as info:
        dithering.error_diffusion(IMG, name)
    assert str(info.value) == f"unknown error-diffusion method {shown}; valid values: {NAME_LIST}"
    assert not hasattr(info.value, "__notes__")


def test_unknown_method_reported_before_bad_image_and_options():
    with pytest.raises(ValueError, match="unknown error-diffusion method"):
        dithering.error_diffusion("not an image", "bogus", levels=1, strength=5.0, palette=3)
