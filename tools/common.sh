# shellcheck shell=bash disable=SC2034
# Shared settings for the tools/ scripts; sourced, never run.

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Outside the work tree so interpreters and venvs survive fresh clones.
CACHE_DIR="${DITHERING_CACHE:-$HOME/.cache/dithering}"
mkdir -p "$CACHE_DIR"

# Keep pip's output to what matters: no upgrade nag, no root-user warning.
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Run a noisy step with its output in a log file; show the tail only on failure.
run_logged() {
  local logfile=$1; shift
  if ! "$@" >"$logfile" 2>&1; then
    tail -n 60 "$logfile" >&2
    die "'$*' failed (full log: $logfile)"
  fi
}

# Serialise work on one cache entry, so two clones or two make runs don't race.
# With -s the lock is shared: many users at once, but no one rebuilding.
# Re-entrant within one shell: flock on a second descriptor of the same file
# would wait for the first, i.e. for ourselves, so a name this shell already
# holds reuses its descriptor (a shared hold asked to become exclusive is
# converted in place; an exclusive one is never weakened).
declare -gA HELD_LOCKS=() HELD_LOCK_MODES=()
lock() {
  local name=$1 mode=${2:-} fd=${HELD_LOCKS[$1]:-}
  if [[ -n $fd ]]; then
    [[ ${HELD_LOCK_MODES[$name]} == -s && $mode != -s ]] || return 0
  else
    exec {fd}>"$CACHE_DIR/.lock-$name"
    HELD_LOCKS[$name]=$fd
  fi
  HELD_LOCK_MODES[$name]=$mode
  flock ${mode:+"$mode"} "$fd"
}

# Release a lock taken with `lock` (nothing if this shell does not hold it).
unlock() {
  local fd=${HELD_LOCKS[$1]:-}
  [[ -n $fd ]] || return 0
  flock -u "$fd"
  exec {fd}>&-
  unset "HELD_LOCKS[$1]" "HELD_LOCK_MODES[$1]"
}

# Usage: dependency_group NAME
# Prints pyproject.toml's dependency group NAME, one requirement a line, the
# groups it includes expanded: what `pip install --group` installs there,
# for stamping a venv with what it holds.
dependency_group() {
  "${GIL_PYTHON:-python3}" - "$REPO_ROOT/pyproject.toml" "$1" <<'PY'
import sys, tomllib
groups = tomllib.load(open(sys.argv[1], "rb"))["dependency-groups"]
def expand(name):
    for item in groups[name]:
        yield from expand(item["include-group"]) if isinstance(item, dict) else [item]
print("\n".join(expand(sys.argv[2])))
PY
}

# Usage: zig_toolchain DIR PYTHON TARGET
# Writes DIR/c++, DIR/ar and DIR/ranlib: zig (the binary of the ziglang
# package installed for PYTHON) as the compiler for TARGET (a zig target such
# as x86_64-linux-gnu.2.17), archiver and indexer, for CMake to be given.
# They run the binary itself, not `PYTHON -m ziglang`: no interpreter start
# per compile, and nothing for a build's own environment (pip's isolated
# builds set PYTHONPATH for every interpreter they start) to hide.
zig_toolchain() {
  local dir=$1 py=$2 target=$3 tool zig
  zig=$("$py" -I -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))') &&
    [[ -x $zig ]] || die "$py has no ziglang (tools/requirements-zig.txt)"
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec %q c++ -target %s "$@"\n' "$zig" "$target" >"$dir/c++"
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$dir/$tool"
  done
  chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
}

# Usage: gil_python_with_wheel
# Prints the python of the ordinary python3's (or GIL_PYTHON's) venv after
# a wheel of this checkout is built and installed into it, as the gil lane
# does (same build tree: after that lane, a relink at most).
gil_python_with_wheel() {
  local venv
  use_compiler_cache
  venv=$("$REPO_ROOT/tools/venv.sh" "${GIL_PYTHON:-python3}")
  "$REPO_ROOT/tools/install-ext.sh" "${venv##*/venv-}" "$venv/bin/python" >&2
  echo "$venv/bin/python"
}

# Install whichever of the given Debian packages are missing on this machine.
apt_install() {
  local missing=() p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  log "installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Two clones setting up at once would fight over dpkg's lock. Held only
  # for the install, so scripts waiting on it (or this one, installing more
  # later) go on; kept if the caller already held it.
  local held=${HELD_LOCKS[apt]:-}
  lock apt
  run_logged "$CACHE_DIR/apt-install.log" \
    bash -c 'apt-get update && apt-get install -y --no-install-recommends "$@"' _ "${missing[@]}"
  [[ -n $held ]] || unlock apt
}

# Usage: use_compiler_cache
# Every C++ build below the caller (CMake's and scikit-build-core's, the
# cross builds', clang's) compiles through ccache, its cache in
# $CACHE_DIR/ccache: the same sources are compiled by a dozen builds of a
# run, several with the same compiler and flags, and by every run again.
# BASEDIR makes the paths inside this checkout relative in what ccache
# hashes, and NOHASHDIR leaves the working directory out of it, so that a
# fresh clone (CI's) hits what an earlier clone compiled. CCACHE=0 builds
# without it. Exported, so that it reaches every script a run calls.
use_compiler_cache() {
  [[ ${CCACHE:-1} != 0 ]] || return 0
  apt_install ccache
  export CCACHE_DIR=${CCACHE_DIR:-$CACHE_DIR/ccache} CCACHE_BASEDIR=$REPO_ROOT CCACHE_NOHASHDIR=1
  # Room for every build tree of two runs (a dozen of 10 to 60 MB each,
  # compressed); ccache drops the oldest beyond it.
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-3G}
  # CMake's default launcher for a build tree configured from now on.
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
}

# "URI KEYRING" of the machine's main Debian archive (KEYRING is "-" if none),
# read from its own apt setup so no mirror is ever named in this repository.
debian_archive() {
  local f found=
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -r $f ]] || continue
    found=$(awk '
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { if (uri != "") exit; key = ""; next }
      tolower($1) == "uris:" { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { uri = $i; break } }
      tolower($1) == "signed-by:" && $2 ~ /^\// { key = $2 }
      END { if (uri != "") print uri, (key == "" ? "-" : key) }' "$f")
    [[ -n $found ]] && { echo "$found"; return; }
  done
  [[ -r /etc/apt/sources.list ]] && found=$(awk '
    $1 == "deb" || $1 == "deb-src" {
      key = ""; i = 2
      if ($2 ~ /^\[/) {
        for (; i <= NF; i++) {
          if ($i ~ /signed-by=/) { k = $i; sub(/.*signed-by=/, "", k); sub(/\]$/, "", k); key = k }
          if ($i ~ /\]$/) { i++; break }
        }
      }
      if ($i ~ /\/debian\/?$/) { print $i, (key == "" ? "-" : key); exit }
    }' /etc/apt/sources.list)
  [[ -n $found ]] || die "no Debian archive found in /etc/apt"
  echo "$found"
}

# Usage: chroot_run ROOT COMMAND [ARGS...]
# Run COMMAND in the directory tree ROOT with a clean environment, from this
# checkout, which appears there at its own path (so build trees and messages
# carry the same paths inside and out). The mounts live in a private mount
# namespace: the kernel drops them when the command ends, however it ends
# (even killed), and they are never visible to the host, so nothing that
# deletes the cache can reach through them into the checkout or /dev.
chroot_run() {
  local root=$1; shift
  # shellcheck disable=SC2016 # expanded by the inner shells
  unshare --mount --propagation private -- bash -euo pipefail -c '
    root=$1 repo=$2 jobs=$3 ccache=${4:+$4/${1##*/}}; shift 4
    ccache=${ccache%%.tmp.*}
    mkdir -p "$root$repo"
    mount --bind "$repo" "$root$repo"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    # The root compiles through its own ccache, into a cache of its own
    # (its compiler and ccache are not this machine'\''s), mounted at the
    # same path outside and in.
    cache=()
    if [[ -n $ccache && -x $root/usr/bin/ccache ]]; then
      mkdir -p "$ccache" "$root$ccache"
      mount --bind "$ccache" "$root$ccache"
      cache=(CCACHE_DIR="$ccache" CCACHE_BASEDIR="$repo" CCACHE_NOHASHDIR=1
             CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-3G}" CMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    # No index: the root must build and test with its own packages only.
    exec chroot "$root" /usr/bin/env -i \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
      PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore \
      CMAKE_BUILD_PARALLEL_LEVEL="$jobs" ${cache[@]+"${cache[@]}"} \
      /bin/sh -c '\''cd "$0" && exec "$@"'\'' "$repo" "$@"
  ' _ "$root" "$REPO_ROOT" "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
    "${CCACHE_DIR:+$CACHE_DIR/ccache-roots}" "$@"
}

# Wheel and sdist file names begin with the distribution's name, its "-"
# made "_" (dithering-exact on the package index; the import name is
# dithering).
DIST_STEM=dithering_exact

# Usage: drop_old_distribution PYTHON [ARGS...]
# This package was installed as "dithering" before it took its own name,
# and a venv cached from then keeps that distribution's metadata beside the
# new one's. Nothing here ever installs the package index's "dithering"
# (another project), so one found in our venvs is that earlier install of
# ours: it is removed before a wheel goes in.
drop_old_distribution() {
  if "$@" -m pip show -q dithering >/dev/null 2>&1; then
    "$@" -m pip uninstall -q -y dithering
  fi
}

# Usage: checked_wheel WHEEL_DIR BUILD_DIR
# Prints the one wheel in WHEEL_DIR, after checking that the two extension
# modules as linked in BUILD_DIR (dithering and the companion package's
# _native, before the wheel's stripped copies, so that a finding names its
# function) hold no fused multiply-add.
checked_wheel() {
  local built modules companions
  built=$(compgen -G "$1/$DIST_STEM-*.whl") || die "no wheel in $1"
  [[ $built != *$'\n'* ]] || die "more than one wheel in $1"
  modules=$(compgen -G "$2/dithering*.so") || die "no dithering*.so in $2"
  companions=$(compgen -G "$2/_native*.so") || die "no _native*.so in $2"
  [[ $modules$companions != *$'\n'* ]] || die "more than one module of a name in $2"
  "$REPO_ROOT/tools/check-no-fma.sh" "$modules" "$companions" >&2
  echo "$built"
}

# Usage: fresh_build_tree DIR KEY
# A build tree caches what it was configured for (a root's paths, the
# interpreter, the toolchain file); one made for another KEY, e.g. a root
# elsewhere (another DITHERING_CACHE), starts afresh.
fresh_build_tree() {
  [[ $(cat "$1/.made-for" 2>/dev/null) == "$2" ]] && return
  rm -rf "$1"
  mkdir -p "$1"
  echo "$2" >"$1/.made-for"
}

# Under emulation the whole suite takes half an hour, so the arm64 lane (and
# the aarch64 wheel's test in tools/wheels.sh) runs the tests that compare
# pixels: the corpus digests recorded on x86-64, every comparison with the
# plain references, the knife-edge images, palettes, levels, matrices, input
# layouts and the dispatcher, the palettes the palette maker makes, and
# results made on several threads; not the
# argument-model fuzzing, leak, huge-image and first-call tests, which
# exercise the binding's C code, not arithmetic that could differ between
# processors. (The README says the same.)
arm64_tests=(tests/test_corpus_digests.py tests/test_error_diffusion.py
             tests/test_threshold_dither.py tests/test_palette.py tests/test_levels.py
             tests/test_knife_edges.py tests/test_matrices.py tests/test_intake.py
             tests/test_dispatch.py tests/test_bounded.py
             tests/test_palette_making.py::test_palettes_are_pinned
             tests/test_fuzz.py::test_valid_calls_match_reference
             tests/test_fuzz.py::test_mid_sized_inputs_match_reference
             tests/test_threads.py::TestConcurrentCalls::test_mixed_calls_match_serial_results)

# ----------------------------------------------------------- stage timings
# A run's entry point (.ci/run, tools/test.sh, tools/sanitize.sh,
# tools/fuzz-core.sh) calls stage_times_begin: the first one in a process
# tree makes the file every `timed` below it appends to, and only that one
# prints the table (stage_times_end), so that `.ci/run` ends with one table
# for all three and `make test` alone with its own.
# Usage: stage_times_begin
stage_times_begin() {
  [[ -n ${STAGE_TIMES:-} ]] && return 0
  STAGE_TIMES=$(mktemp "${TMPDIR:-/tmp}/dithering-stages.XXXXXX")
  STAGE_T0=$(date +%s) STAGE_OWNER=$BASHPID
  export STAGE_TIMES STAGE_T0 STAGE_OWNER
}

# Usage: timed NAME COMMAND [ARGS...]
# Runs COMMAND (a program, not a shell function: errexit does not reach
# into a function run under `||`) and records its wall-clock time under
# NAME; its exit status is COMMAND's.
timed() {
  local name=$1 start rc=0; shift
  start=$(date +%s)
  "$@" || rc=$?
  stage_record "$name" "$start" "$rc"
  return "$rc"
}

# Usage: stage_record NAME START STATUS
# Records a stage that started at START (seconds since the epoch) and ends
# now, for stages that are shell functions or parts of one.
stage_record() {
  [[ -z ${STAGE_TIMES:-} ]] ||
    printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$(date +%s)" "$3" >>"$STAGE_TIMES"
}

# Usage: stage_times_end
# Prints the table of every stage timed since stage_times_begin, in the
# order they started: when each started (from the run's start), how long it
# took and how it ended; stages that ran beside each other overlap, so the
# total is the run's wall-clock time, not their sum. Only the process that
# made the file prints it (and removes it).
stage_times_end() {
  [[ ${STAGE_OWNER:-} == "$BASHPID" && -f ${STAGE_TIMES:-} ]] || return 0
  sort -t $'\t' -k2,2n -s "$STAGE_TIMES" | awk -F '\t' -v t0="$STAGE_T0" -v now="$(date +%s)" '
    function mmss(s) { return sprintf("%d:%02d", int(s / 60), s % 60) }
    BEGIN { printf "\n===== stage times (wall clock; %d cores) =====\n", '"$(nproc)"'
            printf "%-44s %8s %8s  %s\n", "stage", "start", "took", "result" }
    { printf "%-44s %8s %8s  %s\n", $1, mmss($2 - t0), mmss($3 - $2), ($4 == 0 ? "ok" : "FAILED (" $4 ")") }
    END { printf "%-44s %8s %8s\n", "whole run", "", mmss(now - t0) }'
  rm -f "$STAGE_TIMES"
}
