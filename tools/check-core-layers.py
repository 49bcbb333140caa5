"""Checks that every dependency in src/core points down.

    python tools/check-core-layers.py

The core's folders are layers, listed bottom first in LAYERS; folders on one
line are peers. A file may include headers of its own folder and of lower
layers only, never of a higher layer or of a peer. Within the core, no
group of files may depend on each other in a circle, a file and its header
counting as one unit (a.cpp including b.hpp while b.cpp includes a.hpp is
such a circle). The core never includes the binding layer or Python.

Instruction sets stay behind simd/: outside it no file includes an
intrinsic header (<immintrin.h>, <arm_neon.h>...) or names an intrinsic,
its vector types or its constants (_mm_add_ps, __m256i, _MM_SHUFFLE,
vaddq_f32, float32x4_t...); the other folders use simd's vector types.
Compiler-specific spellings (#pragma GCC or clang, __builtin_*,
__attribute__, __declspec, _Pragma) appear in simd/compiler.hpp only,
which wraps each in a macro. And the choice of a kernel's form is made
only through the registries of simd/isa.hpp (IsaForms: pick, run_widest):
outside simd/ no file asks the processor (isa_available, cpu_has_*) or the
build's 128-bit back end (DITHERING_VEC128_SSE2/NEON/PORTABLE) itself.
Comments are left out of these three checks.

The loop bodies written once over a vector type (BODY_HEADERS) take
whichever form of it the including source defined first, so in every
source of a form (*_avx2.cpp, *_avx512.cpp, *_vec128.cpp) each body comes
after a vector type's header, and in a source with a target region both
lie inside it, with no standard header there (its functions would take
the region's target).
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

COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.DOTALL)
# Allowed in simd/ only.
INTRINSIC_HEADER = re.compile(
    r"^\s*#\s*include\s*<((?:[a-z0-9]*intrin|arm_neon|arm_sve|arm_acle)\.h)>", re.MULTILINE
)
INTRINSIC_NAME = re.compile(
    r"\b(_mm\d*_[a-z0-9_]+|_MM_[A-Z0-9_]+|__m(?:64|128|256|512)[dhi]?|__mmask(?:8|16|32|64)"
    r"|(?:u?int|float|poly|bfloat)(?:8|16|32|64)x\d+(?:x[234])?_t"
    r"|v[a-z0-9]+q?_(?:[usfp](?:8|16|32|64)|bf16))\b"
)
# Allowed in simd/ only: a form is chosen through its kernel's registry.
CHOICE = re.compile(
    r"\b(?:isa_available|cpu_has_\w+)\s*\(|\bDITHERING_VEC128_(?:SSE2|NEON|PORTABLE)\b"
)
# Written once over whichever vector type the including source defined
# first (simd/vec8_avx2.hpp, vec8_halves.hpp, lanes8.hpp, vec16_avx512.hpp).
BODY_HEADERS = {
    "core/diffusion/wavefront_steps.hpp",
    "core/diffusion/full_scan.hpp",
    "core/diffusion/palette_rows_loop.hpp",
    "core/threshold/compare_rows.hpp",
    "core/threshold/random_draws.hpp",
    "core/threshold/nearest_points.hpp",
    "core/threshold/palette_points.hpp",
    "core/color/nearest_lanes.hpp",
}
VECTOR_TYPE_HEADERS = {
    "core/simd/vec8_avx2.hpp",
    "core/simd/vec8_halves.hpp",
    "core/simd/vec16_avx512.hpp",
}
REGION_ONLY = VECTOR_TYPE_HEADERS | {"core/simd/lanes8.hpp"}
FORM_SOURCE = re.compile(r"_(?:avx2|avx512|vec128)\.cpp$")
REGION_LINE = re.compile(r"^\s*DITHERING_TARGET_AVX(?:2|512)_(BEGIN|END)\b")
# Allowed in simd/compiler.hpp only.
COMPILER_ONLY = re.compile(
    r"^\s*#\s*pragma\s+(?:GCC|clang)\b|\b__builtin_\w+|\b__attribute__\b|\b__declspec\b"
    r"|\b_Pragma\b",
    re.MULTILINE,
)


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
        text = path.read_text()
        problems += instruction_set_leaks(rel, folder, COMMENT.sub("", text))
        if FORM_SOURCE.search(path.name):
            problems += body_order(rel, COMMENT.sub("", text))
        for quote, name in INCLUDE.findall(text):
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


def instruction_set_leaks(rel, folder, code):
    """Intrinsics and choices of a form outside simd/, compiler-specific
    spellings outside simd/compiler.hpp: one message per file and name, in
    code without comments."""
    found = []
    if folder != "simd":
        for header in sorted(set(INTRINSIC_HEADER.findall(code))):
            found.append(f"{rel}: includes <{header}>, an intrinsic header, outside simd/")
        for name in sorted(set(INTRINSIC_NAME.findall(code))):
            found.append(f"{rel}: names the intrinsic {name!r} outside simd/")
        for choice in sorted({" ".join(m.split()) for m in CHOICE.findall(code)}):
            found.append(
                f"{rel}: chooses a form itself ({choice!r}) instead of through its registry"
            )
    if rel.as_posix() != "core/simd/compiler.hpp":
        for spelling in sorted({" ".join(m.split()) for m in COMPILER_ONLY.findall(code)}):
            found.append(
                f"{rel}: uses the compiler-specific {spelling!r} outside simd/compiler.hpp"
            )
    return found


def body_order(rel, code):
    """The includes of a form's source against the region and the vector
    type: see the module's docstring."""
    found = []
    has_region = "DITHERING_TARGET_AVX" in code
    inside = False
    vector_type = False
    for line in code.splitlines():
        region = REGION_LINE.match(line)
        if region:
            inside = region.group(1) == "BEGIN"
            continue
        include = INCLUDE.match(line)
        if not include:
            continue
        quote, name = include.groups()
        if quote == "<":
            if inside:
                found.append(f"{rel}: includes <{name}> inside its target region")
            continue
        if name in VECTOR_TYPE_HEADERS:
            vector_type = True
        if name in BODY_HEADERS and not vector_type:
            found.append(f'{rel}: includes "{name}" before a vector type\'s header')
        if has_region and not inside and (name in BODY_HEADERS or name in REGION_ONLY):
            found.append(f'{rel}: includes "{name}" outside its target region')
    return found


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
