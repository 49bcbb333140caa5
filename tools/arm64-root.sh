#!/usr/bin/env bash
# Print the directory of a small Debian unstable root for 64-bit ARM: the
# newest CPython (3.14) with the root's own NumPy, Pillow, pytest and
# hypothesis, all arm64 binaries, made once with debootstrap and cached in
# $CACHE_DIR. It runs on this machine under qemu-user emulation, through the
# kernel's binfmt_misc handler, which is registered here whenever it is
# missing (the kernel forgets it on every boot, so this is checked on every
# call, not only when the root is made). It holds no compiler: the lane
# builds with a cross compiler on this machine (tools/arm64-install.sh), which
# is many times faster than compiling under emulation, and reads the Python
# and NumPy headers from here. Its /opt/lane is a venv over the system
# packages, so installing our wheel never touches Debian's site-packages.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SUITE=sid
ARCH=arm64
# python3-dev for the headers the cross build compiles against (pyconfig.h
# is per architecture); python3-pip installs the wheel into /opt/lane;
# pytest-xdist runs the tests under emulation on every core.
PACKAGES=(python3 python3-dev python3-venv python3-pip python3-numpy python3-pil
          python3-pytest python3-pytest-xdist python3-hypothesis)
ROOT="$CACHE_DIR/root-$SUITE-$ARCH"
# Holds what the root was made from; written last, so a half-made root is redone.
STAMP="$ROOT/.build-complete"
want=$(printf '%s\n' "$SUITE" "$ARCH" "${PACKAGES[@]}" | sha256sum | cut -d' ' -f1)

# --one-file-system: should anything ever be mounted inside, fail rather
# than delete through it.
remove_tree() { [[ ! -e $1 ]] || rm -rf --one-file-system "$1"; }

# Make this machine run aarch64 executables: Debian's statically linked qemu
# and its binfmt_misc entry. The entry must carry the F flag (the kernel
# opens the emulator when the entry is registered), so that it also works
# inside a chroot that has no emulator of its own.
ensure_emulation() {
  local binfmt=/proc/sys/fs/binfmt_misc
  apt_install qemu-user-static binfmt-support
  if [[ ! -e $binfmt/status ]]; then
    log "mounting binfmt_misc at $binfmt"
    mount -t binfmt_misc binfmt_misc "$binfmt" ||
      die "cannot mount binfmt_misc at $binfmt (a container without that right cannot run the arm64 lane)"
  fi
  if [[ ! -e $binfmt/qemu-aarch64 ]]; then
    log "registering qemu-aarch64 with binfmt_misc"
    lock binfmt
    [[ -e $binfmt/qemu-aarch64 ]] || update-binfmts --enable qemu-aarch64 ||
      die "update-binfmts could not register qemu-aarch64"
  fi
  grep -qx enabled "$binfmt/qemu-aarch64" || die "the qemu-aarch64 binfmt entry is disabled"
  grep -q '^flags:.*F' "$binfmt/qemu-aarch64" ||
    die "the qemu-aarch64 binfmt entry lacks the F flag, so it cannot run inside a chroot"
}

build_root() {
  local uri key tmp opts
  apt_install debootstrap
  read -r uri key < <(debian_archive)
  for tmp in "$ROOT".tmp.*; do remove_tree "$tmp"; done  # left by a killed run; we hold the lock
  tmp=$(mktemp -d "$ROOT.tmp.XXXXXX")
  trap 'remove_tree "$tmp"' EXIT
  chmod 755 "$tmp"
  opts=("--arch=$ARCH" --variant=minbase "--include=$(IFS=,; echo "${PACKAGES[*]}")")
  [[ $key == - ]] || opts+=("--keyring=$key")
  log "creating a Debian $SUITE $ARCH root with debootstrap from $uri (several minutes under emulation, 600 MB)"
  # In its own mount namespace, so the /proc and /sys debootstrap mounts in
  # the new root vanish with it even if it is killed. Its second stage runs
  # the root's own arm64 maintainer scripts, under emulation.
  run_logged "$CACHE_DIR/debootstrap-$ARCH.log" \
    unshare --mount --propagation private debootstrap "${opts[@]}" "$SUITE" "$tmp" "$uri"
  rm -f "$tmp"/var/cache/apt/archives/*.deb
  run_logged "$CACHE_DIR/root-$SUITE-$ARCH-venv.log" \
    chroot_run "$tmp" python3 -m venv --system-site-packages --without-pip /opt/lane
  run_logged "$CACHE_DIR/root-$SUITE-$ARCH-check.log" chroot_run "$tmp" sh -c '
    test "$(uname -m)" = aarch64 &&
    /opt/lane/bin/python -c "import numpy, PIL, pytest, hypothesis, pip"'
  echo "$want" >"$tmp/.build-complete"
  # Moved into place only when complete; a run killed in between starts over.
  remove_tree "$ROOT"
  mv "$tmp" "$ROOT"
  trap - EXIT
}

ensure_emulation
if [[ $(cat "$STAMP" 2>/dev/null) != "$want" ]]; then
  lock "root-$SUITE-$ARCH"
  [[ $(cat "$STAMP" 2>/dev/null) == "$want" ]] || build_root  # another process may have made it meanwhile
fi
echo "$ROOT"
