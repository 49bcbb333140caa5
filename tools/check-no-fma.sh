#!/usr/bin/env bash
# Usage: check-no-fma.sh FILE|DIR...
#        check-no-fma.sh --self-test
# Disassemble object files, static libraries, shared objects or executables
# (a directory stands for every *.o, *.a and *.so under it) and fail, naming
# the function and the instruction, if any fused multiply-add is in them.
# A fused a*b+c is rounded once instead of twice, so one FMA anywhere gives
# other bytes than the plain arithmetic on the machines that take that path:
# -ffp-contract=off must hold for every file, and target("avx2") (or any
# other target attribute) must never bring FMA in with it.
# --self-test: compile a*b+c with contraction on and off and check that the
# first is caught and the second passes, so a broken pattern cannot pass all.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The mnemonics of every x86 fused multiply-add: FMA3 (vfmadd231ss,
# vfnmsub132pd, vfmaddsub213ps, ...), FMA4 (vfmaddps, vfmsubaddpd, ...),
# their AVX-512 half-precision forms (...ph, ...sh, vfmaddcph, vfcmaddcsh)
# and the 4FMAPS ones (v4fmaddps). No interval braces: mawk lacks them.
FMA_RE='^v4?f(n?m(add|sub)(add|sub)?([0-9][0-9][0-9])?[ps][sdh]|c?maddc[ps]h)$'

# Usage: check FILE|DIR...
# Prints the offending instructions to stderr and fails if there are any,
# else prints one line saying how much was checked.
check() {
  local objdump arg files=() found=() summary offenders nfiles nobjects ninsns
  objdump=$(command -v objdump) || die "objdump not found (Debian: binutils)"
  (($#)) || die "usage: check-no-fma.sh FILE|DIR... (or --self-test)"
  for arg in "$@"; do
    if [[ -d $arg ]]; then
      mapfile -d '' found < <(find "$arg" -type f \( -name '*.o' -o -name '*.a' -o -name '*.so' \) -print0 | sort -z)
      ((${#found[@]})) || die "no *.o, *.a or *.so under $arg"
      files+=("${found[@]}")
    elif [[ -f $arg ]]; then
      files+=("$arg")
    else
      die "no such file or directory: $arg"
    fi
  done

  # One line per offending instruction ("object: function: instruction"),
  # then a last line "# OBJECTS INSTRUCTIONS". Archive members are named
  # archive(member); every word of an instruction is tested, so prefixes
  # such as {vex} or cs cannot hide a mnemonic.
  offenders=$("$objdump" -d -C --no-show-raw-insn -- "${files[@]}" | awk -v re="$FMA_RE" '
    /^In archive .*:$/ { archive = substr($0, 12, length($0) - 12); next }
    /:[ \t]+file format / {
      obj = $0; sub(/:[ \t]+file format .*$/, "", obj)
      if (archive != "") obj = archive "(" obj ")"
      objects++; fn = "?"; next
    }
    /^[0-9a-f]+ <.*>:$/ { fn = $0; sub(/^[0-9a-f]+ </, "", fn); sub(/>:$/, "", fn); next }
    /^[ \t]*[0-9a-f]+:\t/ {
      insns++
      insn = $0; sub(/^[ \t]*[0-9a-f]+:\t/, "", insn)
      n = split(insn, w, /[ \t]+/)
      for (i = 1; i <= n; i++) {
        word = w[i]; gsub(/\{[^}]*\}/, "", word)
        if (word ~ re) { print obj ": " fn ": " insn; break }
      }
    }
    END { print "#", objects + 0, insns + 0 }') || die "objdump failed on ${files[*]}"

  summary=${offenders##*$'\n'}
  read -r _ nobjects ninsns <<<"$summary"
  nfiles=${#files[@]}
  # Nothing disassembled means the patterns above no longer fit objdump's
  # output, which must not pass for a clean build.
  ((ninsns > 0)) || die "objdump gave no instructions for ${files[*]}"
  if [[ $offenders == *$'\n'* ]]; then
    printf '%s\n' "${offenders%$'\n'*}" >&2
    die "fused multiply-add instructions found (above); every object must be built with -ffp-contract=off and no FMA target"
  fi
  printf 'check-no-fma: %d file(s), %d object(s), %d instructions, no fused multiply-add\n' \
    "$nfiles" "$nobjects" "$ninsns"
}

# Usage: self_test
# The checker must flag contracted code (FMA3 and FMA4 encodings) and pass
# the same code compiled without contraction.
self_test() {
  local cxx out flags
  cxx=$(command -v g++) || die "g++ not found"
  tmp=$(mktemp -d)   # not local: the EXIT trap outlives this function
  trap 'rm -rf "$tmp"' EXIT
  printf 'float muladd(float a, float b, float c) { return a * b + c; }\n' >"$tmp/muladd.cpp"
  for flags in "-mfma -ffp-contract=fast" "-mfma4 -ffp-contract=fast" "-mfma -ffp-contract=off"; do
    # shellcheck disable=SC2086 # flags are words
    "$cxx" -std=c++20 -O2 $flags -c "$tmp/muladd.cpp" -o "$tmp/muladd.o" ||
      die "self-test: $cxx $flags failed"
    if [[ $flags == *=fast ]]; then
      if out=$( (check "$tmp/muladd.o") 2>&1 ); then
        die "self-test: a*b+c built with $flags was not flagged"
      fi
      [[ $out == *"muladd(float, float, float): vfmadd"* ]] ||
        die "self-test: a*b+c built with $flags was not reported as expected:"$'\n'"$out"
    else
      out=$( (check "$tmp/muladd.o") 2>&1 ) ||
        die "self-test: a*b+c built with $flags was flagged:"$'\n'"$out"
    fi
  done
  echo "check-no-fma: self-test passed (FMA3 and FMA4 a*b+c flagged, -ffp-contract=off clean)"
}

if [[ ${1-} == --self-test ]]; then
  (($# == 1)) || die "usage: check-no-fma.sh --self-test"
  self_test
else
  check "$@"
fi
