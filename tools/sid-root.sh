#!/usr/bin/env bash
# Print the directory of a small Debian unstable root: the newest CPython
# (3.14) with the root's own NumPy, Pillow, pytest, hypothesis, Dask, compiler
# and build tools, made once with debootstrap and cached in $CACHE_DIR. Its
# /opt/lane is a venv over the system packages, so installing our wheel never
# touches the root's Debian-managed site-packages.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SUITE=sid
# Dask for tests/test_dask.py: Debian's own packages, like the rest of the root;
# pytest-xdist to run the tests on every core; ccache for the wheel's build
# (tools/common.sh, chroot_run).
PACKAGES=(python3 python3-dev python3-venv python3-pip python3-numpy python3-pil
          python3-pytest python3-hypothesis python3-scikit-build-core
          python3-dask python3-distributed
          python3-pytest-xdist g++ cmake ninja-build make ccache)
ROOT="$CACHE_DIR/root-$SUITE"
# Holds what the root was made from; written last, so a half-made root is redone.
STAMP="$ROOT/.build-complete"
want=$(printf '%s\n' "$SUITE" "${PACKAGES[@]}" | sha256sum | cut -d' ' -f1)

# --one-file-system: should anything ever be mounted inside, fail rather
# than delete through it.
remove_tree() { [[ ! -e $1 ]] || rm -rf --one-file-system "$1"; }

build_root() {
  local uri key tmp opts
  apt_install debootstrap
  read -r uri key < <(debian_archive)
  for tmp in "$CACHE_DIR/root-$SUITE".tmp.*; do remove_tree "$tmp"; done  # left by a killed run; we hold the lock
  tmp=$(mktemp -d "$CACHE_DIR/root-$SUITE.tmp.XXXXXX")
  trap 'remove_tree "$tmp"' EXIT
  chmod 755 "$tmp"
  opts=(--variant=minbase "--include=$(IFS=,; echo "${PACKAGES[*]}")")
  [[ $key == - ]] || opts+=("--keyring=$key")
  log "creating a Debian $SUITE root with debootstrap from $uri (about a minute, 1 GB)"
  # In its own mount namespace, so the /proc and /sys debootstrap mounts in
  # the new root vanish with it even if it is killed.
  run_logged "$CACHE_DIR/debootstrap.log" \
    unshare --mount --propagation private debootstrap "${opts[@]}" "$SUITE" "$tmp" "$uri"
  rm -f "$tmp"/var/cache/apt/archives/*.deb
  run_logged "$CACHE_DIR/root-$SUITE-venv.log" \
    chroot_run "$tmp" python3 -m venv --system-site-packages --without-pip /opt/lane
  run_logged "$CACHE_DIR/root-$SUITE-check.log" chroot_run "$tmp" sh -c '
    /opt/lane/bin/python -c "import numpy, PIL, pytest, hypothesis, scikit_build_core, pip" &&
    cmake --version && ninja --version && g++ --version'
  echo "$want" >"$tmp/.build-complete"
  # Moved into place only when complete; a run killed in between starts over.
  remove_tree "$ROOT"
  mv "$tmp" "$ROOT"
  trap - EXIT
}

if [[ $(cat "$STAMP" 2>/dev/null) != "$want" ]]; then
  lock "root-$SUITE"
  [[ $(cat "$STAMP" 2>/dev/null) == "$want" ]] || build_root  # another process may have made it meanwhile
fi
echo "$ROOT"
