#!/usr/bin/env bash
# Usage: fuzz-core.sh [HARNESS...]
# Coverage-guided differential fuzzing of the C++ core (tests/fuzz): each
# harness decodes libFuzzer's bytes into a small case and aborts when any
# form of a pass gives other bytes than its plain form. Built by Debian's
# newest clang (installed here, with the compiler runtime that carries
# libFuzzer and the sanitizers) with AddressSanitizer and
# UndefinedBehaviorSanitizer, the core included. Runs the harnesses side by
# side, one per core (all four unless named: levels_diffusion,
# palette_diffusion, nearest, threshold), each starting from its seeds in
# tests/fuzz/corpus/ and from what earlier runs kept.
#
#   FUZZ_SECONDS   the whole run's time, shared evenly by the harnesses,
#                  which run FUZZ_JOBS at a time (default 3600: on two
#                  cores, half an hour each)
#   FUZZ_JOBS      how many harnesses run at once, one core each (default:
#                  one per core)
#   FUZZ_CORPUS    where each harness keeps the inputs it finds, one folder
#                  per harness (default build/fuzz/corpus; the seeds are
#                  only read)
#   FUZZ_LOGS      one log per harness, libFuzzer's own output (default
#                  build/fuzz/logs); a failing input is written to
#                  FUZZ_LOGS/HARNESS-crash-* and the disagreement it caused
#                  is printed, after which the next harness runs
#
# Prints each harness's final figures: executions, the edges (cov) and
# features (ft) covered, the corpus size. Fails if any harness found
# anything.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

all=(levels_diffusion palette_diffusion nearest threshold)
harnesses=("$@")
((${#harnesses[@]})) || harnesses=("${all[@]}")
for h in "${harnesses[@]}"; do
  [[ " ${all[*]} " == *" $h "* ]] || die "no harness '$h' (there are: ${all[*]})"
done
seconds=${FUZZ_SECONDS:-3600}
[[ $seconds =~ ^[0-9]+$ ]] || die "FUZZ_SECONDS must be a whole number of seconds"
jobs=${FUZZ_JOBS:-$(nproc)}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || die "FUZZ_JOBS must be a whole number above 0"
((jobs <= ${#harnesses[@]})) || jobs=${#harnesses[@]}
# Rounds of $jobs harnesses at once, each round FUZZ_SECONDS / rounds long.
rounds=$(((${#harnesses[@]} + jobs - 1) / jobs))
each=$((seconds / rounds))
((each > 0)) || die "FUZZ_SECONDS=$seconds leaves no time for ${#harnesses[@]} harnesses"
build="$REPO_ROOT/build/fuzz"
corpus=${FUZZ_CORPUS:-$build/corpus}
logs=${FUZZ_LOGS:-$build/logs}

stage_times_begin
start=$(date +%s)
# The newest clang-N Debian offers here, as the clang lane takes it; the
# sanitizers' and libFuzzer's runtime libraries are a package of their own.
version=$(apt-cache search --names-only '^clang-[0-9]+$' | sed -E 's/^clang-([0-9]+) .*/\1/' |
          sort -n | tail -n 1)
[[ -n $version ]] || die "Debian offers no clang-N package here"
apt_install "clang-$version" "libclang-rt-$version-dev"
cxx=$(command -v "clang++-$version") || die "clang++-$version not found after installing it"
log "fuzz: $("$cxx" --version | head -n 1)"
# The sanitizers' stack traces name functions and lines through the
# llvm-symbolizer of the same version where one is installed (package
# llvm-N, not needed otherwise: the harnesses print each case themselves).
symbolizer=/usr/lib/llvm-$version/bin/llvm-symbolizer
[[ -x $symbolizer ]] && export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$symbolizer}

use_compiler_cache
venv=$("$REPO_ROOT/tools/venv.sh" "${GIL_PYTHON:-python3}")
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
mkdir -p "$build" "$logs"
log "fuzz: building the harnesses (core with ASan, UBSan and coverage)"
run_logged "$build/build.log" bash -c '
  "$1/cmake" -S "$2" -B "$3" -DCMAKE_BUILD_TYPE=Release -DDITHERING_FUZZ=ON \
    -DDITHERING_PYTHON_MODULE=OFF -DDITHERING_WERROR=ON -DCMAKE_CXX_COMPILER="$4" &&
  "$1/cmake" --build "$3" --target "${@:5}"' _ \
  "$venv/bin" "$REPO_ROOT" "$build" "$cxx" "${harnesses[@]/#/fuzz_}"
stage_record "fuzz: clang and build" "$start" 0
start=$(date +%s)

# Usage: fuzz_one HARNESS -- runs it for $each seconds into its own log.
fuzz_one() {
  local h=$1
  mkdir -p "$corpus/$h"
  # The first folder takes what the run finds; the seeds are read only.
  # Inputs stay small (the harnesses build their images from seeds), and
  # a case that takes a minute is a hang worth reporting. No slow growth
  # of the inputs' length: a harness reads its options from the first
  # twenty or so bytes, and libFuzzer's ramp (a few bytes more every few
  # thousand executions) would hold them at zero for minutes (a planted
  # rounding fault in the wavefront went unseen for 150 s from an empty
  # corpus with the ramp, and was caught in 76 executions without it).
  "$build/fuzz_$h" -max_total_time="$each" -max_len=4096 -len_control=0 -timeout=60 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$logs/$h-" \
    "$corpus/$h" "$REPO_ROOT/tests/fuzz/corpus/$h" >"$logs/$h.log" 2>&1
}

# Each harness is one process on one core: $jobs of them at a time, in
# rounds (each runs for the same time, so none waits long for another);
# each one's exit status is kept in a file beside its log.
for ((first = 0; first < ${#harnesses[@]}; first += jobs)); do
  for h in "${harnesses[@]:first:jobs}"; do
    log "fuzz: $h for ${each}s (corpus $corpus/$h, log $logs/$h.log)"
    rm -f "$logs/$h.status"
    (rc=0; fuzz_one "$h" || rc=$?; echo "$rc" >"$logs/$h.status") &
  done
  wait
done

failed=()
for h in "${harnesses[@]}"; do
  rc=$(cat "$logs/$h.status" 2>/dev/null || echo 1)
  printf '%s: ' "$h"
  # The last status line: "#RUNS DONE cov: EDGES ft: FEATURES corp: N/SIZE ...".
  grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$logs/$h.log" | tail -n 1 || echo
  grep -E '^stat::number_of_executed_units' "$logs/$h.log" || true
  if ((rc != 0)); then
    # The harness's report of the disagreement, or the sanitizer's.
    grep -A 12 -E '==== forms disagree|ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error' \
      "$logs/$h.log" | head -n 40 >&2 || tail -n 40 "$logs/$h.log" >&2
    printf '===== fuzz %s FAILED (exit %d; input kept as %s-*) =====\n' "$h" "$rc" "$logs/$h" >&2
    failed+=("$h")
  fi
done
stage_record "fuzz: ${#harnesses[@]} harnesses, ${each}s each" "$start" "${#failed[@]}"
stage_times_end
((${#failed[@]} == 0)) || die "fuzzing found failures in: ${failed[*]}"
log "fuzz: nothing found by ${harnesses[*]} in ${each}s each"
