#!/usr/bin/env bash
# Usage: tools/sanitize.sh [PYTEST ARGS...]
# The test suite against sanitizer builds of the extension, on free-threaded
# CPython; fails if a test fails or a sanitizer reports anything.
#   asan: built with AddressSanitizer + UndefinedBehaviorSanitizer, the whole
#         suite (stress and fuzz tests included), runtimes preloaded into the
#         free-threaded interpreter.
#   tsan: built with ThreadSanitizer, the multi-threaded tests, on a
#         TSan-instrumented free-threaded CPython 3.13 built once from the same
#         cached source as the ordinary one (without it every lock the
#         interpreter takes would be invisible and the reports false).
# Both stages run by default; SANITIZERS="asan" (or "tsan") picks one.
# The ASan stage's tests run on every core (tools/run-pytest.sh).
# Reports from other projects' code that we cannot fix are suppressed in
# tools/sanitizer-suppressions/, each with where it was seen; any other
# report fails the stage.
# Extra arguments go to every pytest run, e.g. -x or -k EXPR.
# Build trees, wheels and environments are this lane's own; the other lanes'
# are untouched.
set -euo pipefail
shopt -s inherit_errexit   # a failure inside $(...) fails the assignment too
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

tools="$REPO_ROOT/tools"
supp="$tools/sanitizer-suppressions"
build="$REPO_ROOT/build/sanitize"
ft=$("$tools/ft-python.sh")
read -r tag version < <("$ft" -c 'import sys; v = sys.version_info
print(f"cp{v[0]}{v[1]}{sys.abiflags}", sys.version.split()[0])')
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
mkdir -p "$build"
use_compiler_cache

# The runtimes must be the ones of the compiler that instruments the module.
cxx=$(command -v g++) || die "g++ not found"
runtime() {
  realpath -e "$("$cxx" -print-file-name="$1")" 2>/dev/null ||
    die "$cxx has no $1 (Debian: libgcc-$("$cxx" -dumpversion)-dev)"
}

# Usage: build_wheel NAME PYTHON CXXFLAGS LDFLAGS
# Build a wheel like tools/install-ext.sh does, into build/sanitize/NAME;
# prints its path. No -Werror: instrumentation makes GCC warn falsely
# (-Wmaybe-uninitialized, -Wtsan); the ordinary lanes hold the warnings line.
# Unstripped, for line numbers in reports: -g1 (line tables and functions,
# no variables) is enough for those, and the instrumented core compiles in
# two thirds of the time it takes with full debug information (its
# heaviest source, the AVX2 wavefront steps, took 270 s of CPU alone).
build_wheel() {
  local name=$1 py=$2 cxxflags=$3 ldflags=$4 wheels="$build/$1-wheel" built
  rm -rf "$wheels"
  run_logged "$build/$name-wheel.log" \
    "$py" -m pip wheel -v --no-build-isolation --no-deps -w "$wheels" \
    -C build-dir="$build/$name" -C install.strip=false \
    -C cmake.define.CMAKE_CXX_COMPILER="$cxx" \
    -C cmake.define.CMAKE_CXX_FLAGS="$cxxflags" \
    -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="$ldflags" \
    -C cmake.define.CMAKE_SHARED_LINKER_FLAGS="$ldflags" \
    "$REPO_ROOT"
  built=$(compgen -G "$wheels/$DIST_STEM-*.whl") || die "no wheel in $wheels"
  [[ $built != *$'\n'* ]] || die "more than one wheel in $wheels"
  echo "$built"
}

# Usage: check_reports DIR ERROR_REGEX
# Prints every report file in DIR that holds an error, and a count of the
# warning-only ones; fails if there was an error.
check_reports() {
  local dir=$1 regex=$2 f errors=() warned=()
  for f in "$dir"/*; do
    [[ -e $f ]] || continue
    if grep -qE "$regex" "$f"; then errors+=("$f"); else warned+=("$f"); fi
  done
  if ((${#warned[@]})); then
    printf '\nsanitizer warnings (not failures):\n'
    sed -E 's/^==[0-9]+==//; s/0x[0-9a-f]+/N/g' "${warned[@]}" | sort | uniq -c
  fi
  ((${#errors[@]} == 0)) && return 0
  for f in "${errors[@]}"; do printf '\n===== %s =====\n' "$f"; cat "$f"; done
  printf '\n===== %d process(es) with sanitizer reports, above =====\n' "${#errors[@]}"
  return 1
}

# Prints the python of this lane's own venv (kept up to date the way
# tools/venv.sh keeps the others: stamps of the base interpreter and of
# pyproject.toml's dev dependency group), which builds both instrumented wheels.
sanitize_venv() {
  local venv="$CACHE_DIR/venv-$tag-sanitize" want_base want_reqs pip
  want_base="$(realpath "$ft") $version"
  want_reqs=$(dependency_group dev | sha256sum | cut -d' ' -f1)
  if [[ $(cat "$venv/.base" 2>/dev/null) != "$want_base" ||
        $(cat "$venv/.reqs" 2>/dev/null) != "$want_reqs" ]]; then
    lock "venv-$tag-sanitize"
    if [[ $(cat "$venv/.base" 2>/dev/null) != "$want_base" ]]; then
      log "creating $venv from $ft"
      rm -rf "$venv"
      "$ft" -m venv "$venv" >&2
      echo "$want_base" >"$venv/.base"
    fi
    if [[ $(cat "$venv/.reqs" 2>/dev/null) != "$want_reqs" ]]; then
      log "installing the dev dependency group into $venv"
      rm -f "$venv/.reqs"
      pip=("$venv/bin/python" -m pip install -q --only-binary=:all:)
      "${pip[@]}" --upgrade pip >&2
      "${pip[@]}" --group "$REPO_ROOT/pyproject.toml:dev" >&2
      "${pip[@]}" ninja >&2 2>/dev/null || log "no ninja wheel for $tag; CMake will use make"
      echo "$want_reqs" >"$venv/.reqs"
    fi
    unlock "venv-$tag-sanitize"
  fi
  echo "$venv/bin/python"
}

join() { local IFS=:; echo "$*"; }

# ======================================================================= asan
asan_stage() {
  local py wheel so
  local libasan libubsan reports="$build/asan-reports" rc=0 rc2=0
  printf '\n===== sanitize: ASan + UBSan, whole suite =====\n'
  libasan=$(runtime libasan.so)
  libubsan=$(runtime libubsan.so)

  local start
  start=$(date +%s)
  py=$(sanitize_venv)

  # float-cast-overflow (not in GCC's "undefined"): out-of-range float-to-int
  # casts are the UB most likely in pixel arithmetic. _GLIBCXX_ASSERTIONS
  # bounds-checks standard containers, which ASan misses inside one
  # allocation. -O2 and -ffp-contract=off as in every build, so the bit-exact
  # tests test the same arithmetic.
  local san=address,undefined,float-cast-overflow
  log "building an ASan+UBSan wheel and installing it ($tag-sanitize)"
  wheel=$(build_wheel "asan-$tag" "$py" \
    "-fsanitize=$san -fno-sanitize-recover=undefined,float-cast-overflow -fno-omit-frame-pointer -g1 -O2 -ffp-contract=off -D_GLIBCXX_ASSERTIONS" \
    "-fsanitize=$san")
  drop_old_distribution "$py"
  "$py" -m pip install -q --force-reinstall --no-deps "$wheel"
  so=$("$py" -P -c 'import importlib.util as u; print(u.find_spec("dithering").origin)')
  readelf -d "$so" | grep -q 'NEEDED.*libasan' || die "$so is not instrumented"
  stage_record "asan: venv, build and install" "$start" 0

  # Reports go to files, not stderr: pytest captures fd 2 and a report that
  # ends the process would be lost with it, as would one from a child
  # process whose stderr a test captures.
  rm -rf "$reports"; mkdir -p "$reports"
  # detect_leaks=0: free-threaded CPython keeps its objects in mimalloc's
  #   mmap'd heaps, which LeakSanitizer does not scan, so every malloc'd block
  #   owned by an object still alive at exit (NumPy data, our result buffers)
  #   would be reported; tests/test_output.py::TestLeaks and the fuzz tests
  #   check for leaks instead.
  # allocator_may_return_null=1: a huge request fails as it does with glibc
  #   (the module turns that into MemoryError) instead of ending the process.
  local asan_opts=(
    "log_path=$reports/asan" detect_leaks=0 allocator_may_return_null=1
    detect_stack_use_after_return=1 check_initialization_order=1 strict_init_order=1
  )
  local ubsan_opts=("log_path=$reports/ubsan" print_stacktrace=1 halt_on_error=1)
  [[ -s $supp/asan.supp ]] && asan_opts+=("suppressions=$supp/asan.supp")
  [[ -s $supp/ubsan.supp ]] && ubsan_opts+=("suppressions=$supp/ubsan.supp")
  local env=(env "LD_PRELOAD=$libasan $libubsan"
                 "ASAN_OPTIONS=$(join "${asan_opts[@]}")"
                 "UBSAN_OPTIONS=$(join "${ubsan_opts[@]}")")

  # A deliberate overflow of a malloc'd block through ASan's memset
  # interceptor: proves the runtime is loaded and its reports reach $reports.
  if "${env[@]}" "$py" -P -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
ctypes.memset(libc.malloc(8), 0, 9)' 2>/dev/null; then
    die "the ASan canary was not caught"
  fi
  grep -qs heap-buffer-overflow "$reports"/asan.* || die "the ASan canary left no report in $reports"
  rm -f "$reports"/*

  cd "$REPO_ROOT"
  "${env[@]}" "$py" -P -c 'import sys, dithering
print("dithering", dithering.__version__, "(ASan+UBSan) on Python", sys.version.split()[0] + sys.abiflags,
      "| GIL enabled after import:", sys._is_gil_enabled())' || true
  # Two runs, so that no test is skipped: the RSS-based leak tests measure
  # the allocator, and ASan's holds up to 256 MB of freed blocks in
  # quarantine (to catch use after free), which they would take for a leak.
  # They run on their own with the quarantine off, the rest with it on.
  local rss_tests=tests/test_output.py::TestLeaks
  start=$(date +%s)
  # -P keeps the repo root off sys.path, so tests import the installed wheel.
  # On every core (tools/run-pytest.sh); the workers inherit the runtimes.
  "$tools/run-pytest.sh" "${env[@]}" "$py" -- --deselect "$rss_tests" "$@" || rc=$?
  printf '\n----- %s, ASan quarantine off -----\n' "$rss_tests"
  env[2]+=:quarantine_size_mb=0
  "${env[@]}" "$py" -P -m pytest "$rss_tests" "$@" || rc2=$?
  # Exit 5 (nothing collected) only means extra arguments filtered them out.
  ((rc != 0 || rc2 == 5)) || rc=$rc2
  stage_record "asan: pytest" "$start" "$rc"

  # With allocator_may_return_null=1 a refused huge request leaves only a
  # warning: the module's MemoryError path is meant to take it.
  check_reports "$reports" 'ERROR: |runtime error: |SUMMARY: ' || return 1
  ((rc == 0)) || { printf '===== asan stage: pytest failed (exit %d) =====\n' "$rc"; return "$rc"; }
  printf '===== asan stage: no sanitizer reports =====\n'
}

# ======================================================================= tsan
tsan_stage() {
  local orig py venv_py deps want have wheel reports="$build/tsan-reports" site="$build/tsan-site" rc=0
  printf '\n===== sanitize: ThreadSanitizer, multi-threaded tests =====\n'
  # Made from the source tools/ft-python.sh fetched for the ordinary 3.13t,
  # so that NumPy's and Pillow's cp313t wheels fit both.
  orig=$(compgen -G "$CACHE_DIR/src/python3.13_*.orig.tar.xz" | sort -V | tail -n 1 || true)
  if [[ $tag != cp313t || -z $orig ]]; then
    log "skipping ThreadSanitizer: it needs the CPython 3.13 source that tools/ft-python.sh" \
        "caches when it builds the interpreter (here: $ft, $tag)"
    return 0
  fi
  local start
  start=$(date +%s)
  py=$("$tools/tsan-python.sh")
  stage_record "tsan: interpreter" "$start" 0
  start=$(date +%s)

  venv_py=$(sanitize_venv)
  # NumPy, Pillow and pytest put in place by the ordinary interpreter's pip
  # (same tags; pip itself would crawl under TSan), found through PYTHONPATH.
  deps="$CACHE_DIR/tsan-deps-$tag"
  want=$(dependency_group dev | grep -iE '^(numpy|pillow|pytest)\b')
  have=$(cat "$deps/.reqs" 2>/dev/null || true)
  if [[ $have != "$want" ]]; then
    lock "tsan-deps-$tag"
    if [[ $(cat "$deps/.reqs" 2>/dev/null || true) != "$want" ]]; then
      log "installing numpy, Pillow and pytest for the TSan interpreter into $deps"
      rm -rf "$deps"
      # shellcheck disable=SC2086 # one requirement a line, no blanks inside
      "$venv_py" -m pip install -q --only-binary=:all: --target "$deps" $want
      echo "$want" >"$deps/.reqs"
    fi
    unlock "tsan-deps-$tag"
  fi

  log "building a TSan wheel ($tag-tsan)"
  wheel=$(build_wheel "tsan-$tag" "$venv_py" \
    "-fsanitize=thread -fno-omit-frame-pointer -g1 -O2 -ffp-contract=off" "-fsanitize=thread")
  rm -rf "$site"
  "$venv_py" -m pip install -q --no-deps --target "$site" "$wheel"
  stage_record "tsan: deps, build and install" "$start" 0

  # CPython's own list of the interpreter's known reports, plus ours.
  cat "$(dirname "$py")/Tools/tsan/suppressions_free_threading.txt" \
      "$supp"/tsan.supp >"$build/tsan.supp" 2>/dev/null || true
  rm -rf "$reports"; mkdir -p "$reports"
  local env=(env "PYTHONPATH=$site:$deps"
                 "TSAN_OPTIONS=log_path=$reports/tsan:suppressions=$build/tsan.supp:halt_on_error=0:second_deadlock_stack=1")

  # A race that cannot be ordered away (tools/sanitizer-canary): two native
  # threads writing one global, in a library built like the module and run
  # in this interpreter with the stage's options and suppressions. Proves
  # that every report reaches $reports and that no suppression swallows one
  # of our own; the earlier canary (two Python threads calling
  # ctypes.memset) went unreported in some runs, its writes ordered by the
  # interpreter's own locks.
  local canary="$build/tsan_canary.so"
  "$cxx" -fsanitize=thread -fPIC -shared -O1 -g -o "$canary" \
    "$tools/sanitizer-canary/tsan_canary.cpp" || die "cannot build the TSan canary"
  if "${env[@]}" "$py" -c '
import ctypes, sys
ctypes.CDLL(sys.argv[1]).tsan_canary_race()' "$canary" 2>/dev/null; then
    die "the TSan canary was not caught"
  fi
  grep -qs 'data race' "$reports"/tsan.* || die "the TSan canary left no report in $reports"
  grep -qs 'write_canary' "$reports"/tsan.* || die "the TSan canary's report does not name its writes"
  rm -f "$reports"/*

  cd "$REPO_ROOT"
  # Every test that calls the module from several threads at once.
  start=$(date +%s)
  "${env[@]}" "$py" -P -m pytest -p no:cacheprovider \
    tests/test_threads.py tests/test_output.py::TestThreads "$@" || rc=$?
  stage_record "tsan: pytest" "$start" "$rc"
  check_reports "$reports" 'ThreadSanitizer' || return 1
  ((rc == 0)) || { printf '===== tsan stage: pytest failed (exit %d) =====\n' "$rc"; return "$rc"; }
  printf '===== tsan stage: no sanitizer reports =====\n'
}

# Each stage in a subshell of its own, so that a failing one does not keep
# the next from running; not under `||`, which would turn errexit off inside.
failed=()
stage_times_begin
for stage in ${SANITIZERS:-asan tsan}; do
  [[ $stage == @(asan|tsan) ]] || die "unknown sanitizer stage '$stage' (asan, tsan)"
  set +e
  (set -e; "${stage}_stage" "$@")
  stage_rc=$?
  set -e
  ((stage_rc == 0)) || failed+=("$stage")
done
stage_times_end
if ((${#failed[@]})); then
  printf '===== sanitize FAILED: %s =====\n' "${failed[*]}"
  exit 1
fi
printf '===== sanitize: all stages clean =====\n'
