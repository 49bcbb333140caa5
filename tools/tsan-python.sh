#!/usr/bin/env bash
# Print the path of a free-threaded CPython 3.13 built with ThreadSanitizer
# (for `make sanitize`'s TSan stage: without it every lock the interpreter
# takes would be invisible and the reports false), made once from the
# source tools/ft-python.sh fetched for the ordinary free-threaded
# interpreter, so that NumPy's and Pillow's cp313t wheels fit both, and
# cached in $CACHE_DIR. Fails if that source is not there (tools/sanitize.sh
# looks first, and skips the stage). .ci/run starts it in the background
# while `make test` runs; `make sanitize` then waits for it on its lock.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

TSAN_ROOT="$CACHE_DIR/cpython-3.13t-tsan"

# CPython 3.13t configured --with-thread-sanitizer, kept as its build tree
# (CPython runs from one; `make install` would byte-compile the whole
# library under TSan, which takes longer than the build).
build_tsan_cpython() {
  local orig=$1 tmp
  rm -rf "$CACHE_DIR"/build-cpython-tsan.*   # left by a killed build; we hold the lock
  tmp=$(mktemp -d "$CACHE_DIR/build-cpython-tsan.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
  log "building a ThreadSanitizer free-threaded CPython from $(basename "$orig") (several minutes, once)"
  tar -xJf "$orig" -C "$tmp" --strip-components=1
  (
    cd "$tmp"
    run_logged "$CACHE_DIR/cpython-tsan-configure.log" \
      ./configure --disable-gil --with-thread-sanitizer --disable-test-modules \
                  --without-ensurepip --prefix="$TSAN_ROOT"
    run_logged "$CACHE_DIR/cpython-tsan-make.log" make -j"$(nproc)"
    find . -name '*.o' -delete; rm -f ./*.a
  )
  [[ $("$tmp/python" -c 'import sys, ctypes; print(sys._is_gil_enabled())') == False ]] ||
    die "the TSan interpreter does not run free-threaded"
  rm -rf "$TSAN_ROOT"
  mv "$tmp" "$TSAN_ROOT"
  trap - EXIT
  echo "$orig" >"$TSAN_ROOT/.build-complete"
}

orig=$(compgen -G "$CACHE_DIR/src/python3.13_*.orig.tar.xz" | sort -V | tail -n 1 || true)
[[ -n $orig ]] || die "no CPython 3.13 source in $CACHE_DIR/src (tools/ft-python.sh fetches it)"
if [[ $(cat "$TSAN_ROOT/.build-complete" 2>/dev/null) != "$orig" ]]; then
  lock cpython-3.13t-tsan
  [[ $(cat "$TSAN_ROOT/.build-complete" 2>/dev/null) == "$orig" ]] || build_tsan_cpython "$orig"
  unlock cpython-3.13t-tsan
fi
echo "$TSAN_ROOT/python"
