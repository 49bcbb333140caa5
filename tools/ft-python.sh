#!/usr/bin/env bash
# Print the path of a free-threaded CPython: $PYTHON, else python3.14t or
# python3.13t from PATH, else CPython 3.13 built with --disable-gil from
# Debian's own source package and cached in $CACHE_DIR.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PREFIX="$CACHE_DIR/cpython-3.13t"
# Written only after a verified install, so an interrupted build is redone.
STAMP="$PREFIX/.build-complete"
BUILD_DEPS=(build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev
            liblzma-dev libsqlite3-dev xz-utils)

gil_disabled_build() {
  "$1" -c 'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' 2>/dev/null
}

# Download python3.13's source from trixie (bookworm has no 3.13) with a
# private apt configuration: the system's apt setup is never touched.
fetch_source() {
  local srcdir="$CACHE_DIR/src" aptdir="$CACHE_DIR/apt" uri key opts
  local orig
  orig=$(compgen -G "$srcdir/python3.13_*.orig.tar.xz" | sort -V | tail -n 1 || true)
  if [[ -n $orig ]]; then echo "$orig"; return; fi

  read -r uri key < <(debian_archive)
  opts=""; [[ $key != - ]] && opts="[signed-by=$key] "
  mkdir -p "$srcdir" "$aptdir/lists/partial" "$aptdir/cache/archives/partial"
  echo "deb-src ${opts}${uri} trixie main" >"$aptdir/sources.list"
  local apt_opts=(
    -o "Dir::Etc::SourceList=$aptdir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$aptdir/lists" -o "Dir::Cache=$aptdir/cache"
    # The cache may sit under a home the _apt user cannot enter.
    -o APT::Sandbox::User=root
  )
  log "downloading python3.13 source package (trixie, $uri)"
  run_logged "$aptdir/update.log" apt-get "${apt_opts[@]}" update
  (cd "$srcdir" && run_logged "$aptdir/source.log" \
     apt-get "${apt_opts[@]}" source --download-only python3.13)
  orig=$(compgen -G "$srcdir/python3.13_*.orig.tar.xz" | sort -V | tail -n 1 || true)
  [[ -n $orig ]] || die "apt-get source gave no python3.13 orig tarball"
  echo "$orig"
}

build_cpython() {
  local orig tmp jobs
  orig=$(fetch_source)
  apt_install "${BUILD_DEPS[@]}"
  jobs=$(nproc)
  rm -rf "$CACHE_DIR"/build-cpython.*   # left by a killed build; we hold the lock
  tmp=$(mktemp -d "$CACHE_DIR/build-cpython.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
  # Without CPython's own test modules and test suite, which nothing here
  # runs: less to compile, and less to byte-compile on install.
  log "building free-threaded CPython from $(basename "$orig") (a few minutes)"
  tar -xJf "$orig" -C "$tmp" --strip-components=1
  (
    cd "$tmp"
    run_logged "$CACHE_DIR/cpython-configure.log" \
      ./configure --disable-gil --disable-test-modules --prefix="$PREFIX" --with-ensurepip=install
    run_logged "$CACHE_DIR/cpython-make.log" make -j"$jobs"
    rm -rf "$PREFIX"   # drop any half-installed tree from an earlier try
    run_logged "$CACHE_DIR/cpython-install.log" make install
  )
  # pip needs ssl; the tests need the stdlib pieces that are optional at build time.
  "$PREFIX/bin/python3.13t" -c 'import ssl, zlib, ctypes, bz2, lzma, sqlite3' \
    || die "built interpreter lacks a stdlib module"
  [[ $("$PREFIX/bin/python3.13t" -c 'import sys; print(sys._is_gil_enabled())') == False ]] \
    || die "built interpreter has the GIL enabled"
  touch "$STAMP"
  rm -rf "$tmp"; trap - EXIT
}

if [[ -n ${PYTHON:-} ]]; then
  py=$(command -v "$PYTHON") || die "PYTHON=$PYTHON not found"
  gil_disabled_build "$py" || log "warning: PYTHON=$PYTHON is not a free-threaded build"
  echo "$py"; exit 0
fi
for name in python3.14t python3.13t; do
  if py=$(command -v "$name") && gil_disabled_build "$py"; then echo "$py"; exit 0; fi
done
if [[ ! -e $STAMP ]]; then
  lock cpython-3.13t
  [[ -e $STAMP ]] || build_cpython   # another process may have built it meanwhile
fi
echo "$PREFIX/bin/python3.13t"
