#!/usr/bin/env bash
# Usage: check-sdist.sh PYTHON
# Build the source distribution with PYTHON (a venv holding `build` and the
# build backend) and check that it holds everything a build from it needs.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

py=${1:?usage: check-sdist.sh PYTHON}
out="$REPO_ROOT/build/sdist"
rm -rf "$out"
run_logged "$REPO_ROOT/build/sdist.log" \
  "$py" -m build --sdist --no-isolation --outdir "$out" "$REPO_ROOT"
shopt -s nullglob
sdists=("$out"/"$DIST_STEM"-*.tar.gz)
((${#sdists[@]} == 1)) || die "expected one sdist in $out, found ${#sdists[@]}"
"$py" - "${sdists[0]}" "$REPO_ROOT" <<'PY'
import pathlib, re, sys, tarfile

sdist, repo = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
with tarfile.open(sdist) as tar:
    members = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
# The packaging files, the licence, every file under src/, and every file CMakeLists.txt
# names that exists here (it may name test sources the module build skips).
need = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE"}
need |= {p.relative_to(repo).as_posix() for p in (repo / "src").rglob("*")
         if p.is_file() and "__pycache__" not in p.parts}
cmake_text = (repo / "CMakeLists.txt").read_text()
need |= {f for f in re.findall(r"[\w./-]+\.(?:cpp|hpp|h|cmake|in|py)\b", cmake_text)
         if (repo / f).is_file()}
# The scripts and pins cibuildwheel's Linux recipe runs from the sdist (CI
# builds a wheel from it), and the tools/ files their code (not their
# comments) names.
recipe = re.findall(r"tools/[\w.-]+", (repo / "pyproject.toml").read_text().split("[tool.cibuildwheel.linux]")[1])
todo = [f for f in recipe if (repo / f).is_file()]
while todo:
    f = todo.pop()
    if f in need:
        continue
    need.add(f)
    code = "\n".join(line for line in (repo / f).read_text().splitlines() if not line.lstrip().startswith("#"))
    todo += [f"tools/{n}" for n in re.findall(r"\b([\w-]+\.(?:sh|txt))\b", code) if (repo / "tools" / n).is_file()]
missing = sorted(need - members)
# Build output must never be shipped.
stray = sorted(m for m in members if m.split("/")[0] in {"build", "dist", "out", "_skbuild"})
for m in missing:
    print("missing from sdist:", m)
for m in stray:
    print("build output in sdist:", m)
if missing or stray:
    sys.exit(1)
print(f"{sdist.name}: {len(members)} files, every source needed to build is present")
PY
