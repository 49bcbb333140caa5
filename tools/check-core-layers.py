"""Checks that every dependency in src/core points down.

    python tools/check-core-layers.py

The core's folders are layers, listed bottom first in LAYERS; folders on one
line are peers. A file may include headers of its own folder and of lower
layers only, never of a higher layer or of a peer. Within the core, no
group of files may depend on each other in a circle, a file and its header
counting as one unit (a.cpp including b.hpp while b.cpp includes a.hpp is
such a circle). The core never includes the binding layer or Python.
Prints every violation and exits 1 if there is one.
"""

import pathlib
import re
import sys

LAYERS = [
    ["simd"],
    ["text", "image"],
    ["color"],
    ["diffusion", "threshold", "palettes"],
]

RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.MULTILINE)


def main():
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    core = src / "core"
    problems = []
    # unit (path without suffix, relative to src) -> units it includes
    edges = {}
    for path in sorted(core.rglob("*")):
        if path.suffix not in (".hpp", ".cpp"):
            continue
        rel = path.relative_to(src)
        if len(rel.parts) != 3:
            problems.append(f"{rel}: every core file belongs in a folder of src/core")
            continue
        folder = rel.parts[1]
        if folder not in RANK:
            problems.append(f"{rel}: folder {folder!r} is in no layer of {__file__}")
            continue
        unit = rel.with_suffix("").as_posix()
        targets = edges.setdefault(unit, set())
        for quote, name in INCLUDE.findall(path.read_text()):
            if quote == "<":
                if name.startswith("Python") or name.startswith("numpy/"):
                    problems.append(f"{rel}: the core includes <{name}>")
                continue
            parts = pathlib.PurePosixPath(name).parts
            if parts[0] != "core" or len(parts) != 3:
                problems.append(f'{rel}: includes "{name}", outside the core\'s folders')
                continue
            other = parts[1]
            if other not in RANK:
                problems.append(f'{rel}: includes "{name}" of no known folder')
            elif other != folder and RANK[other] >= RANK[folder]:
                kind = "a peer" if RANK[other] == RANK[folder] else "a higher layer"
                problems.append(f'{rel}: includes "{name}", of {kind} ({other}/)')
            target = pathlib.PurePosixPath(name).with_suffix("").as_posix()
            if target != unit:
                targets.add(target)
    problems += cycles(edges)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} dependency problem(s) in src/core")
        return 1
    print(f"src/core: {len(edges)} units, every dependency points down")
    return 0


def cycles(edges):
    """Every unit that lies on a circle of includes, one message per circle."""
    found = []
    state = {}  # unit -> 1 while on the current path, 2 when done
    path = []

    def visit(unit):
        state[unit] = 1
        path.append(unit)
        for target in sorted(edges.get(unit, ())):
            if state.get(target) == 1:
                circle = path[path.index(target):] + [target]
                found.append("include circle: " + " -> ".join(circle))
            elif target not in state:
                visit(target)
        path.pop()
        state[unit] = 2

    for unit in sorted(edges):
        if unit not in state:
            visit(unit)
    return found


if __name__ == "__main__":
    sys.exit(main())
