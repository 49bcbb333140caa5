#!/usr/bin/env bash
# Usage: check-no-fma.sh FILE|DIR...
#        check-no-fma.sh --self-test [ARCH...]
# Disassemble object files, static libraries, shared objects or executables
# (a directory stands for every *.o, *.a and *.so under it), x86-64 or
# aarch64, each with an objdump that reads its architecture, and fail, naming
# the function and the instruction, if any fused multiply-add is in them.
# A fused a*b+c is rounded once instead of twice, so one FMA anywhere gives
# other bytes than the plain arithmetic on the machines that take that path:
# -ffp-contract=off must hold for every file, and target("avx2") (or any
# other target attribute) must never bring FMA in with it.
# --self-test: compile a*b+c with contraction on and off and check that the
# first is caught and the second passes, so a broken pattern cannot pass all;
# for each ARCH given (x86_64, aarch64; default this machine's), with g++ on
# that machine or the cross compiler ARCH-linux-gnu-g++ elsewhere.
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The mnemonics of every x86 fused multiply-add: FMA3 (vfmadd231ss,
# vfnmsub132pd, vfmaddsub213ps, ...), FMA4 (vfmaddps, vfmsubaddpd, ...),
# their AVX-512 half-precision forms (...ph, ...sh, vfmaddcph, vfcmaddcsh)
# and the 4FMAPS ones (v4fmaddps). No interval braces: mawk lacks them.
X86_64_FMA_RE='^v4?f(n?m(add|sub)(add|sub)?([0-9][0-9][0-9])?[ps][sdh]|c?maddc[ps]h)$'
# Every aarch64 fused multiply-add: scalar fmadd, fmsub, fnmadd, fnmsub;
# Advanced SIMD fmla, fmls (vector and by element) and the widening
# half-precision fmlal(2), fmlsl(2); SVE's fmad, fmsb, fnmad, fnmsb, fnmla,
# fnmls, and the complex and matrix fcmla, fmmla; the bfloat16 bfmla, bfmls,
# bfmlal[bt], bfmlsl[bt], bfmmla. The plain
# multiply and add (fmul, fadd) and fmax/fmin never match.
AARCH64_FMA_RE='^b?f(n?m(add|sub|ad|sb|la|ls)|ml[as](l2?|l[bt])?|cmla|mmla)$'

# Usage: objdump_for ARCH
# The objdump that disassembles ARCH (x86_64 or aarch64): this machine's own
# for its architecture, Debian's cross binutils (ARCH-linux-gnu-objdump)
# for the other.
objdump_for() {
  local tool=objdump
  [[ $1 == "$(uname -m)" ]] || tool=$1-linux-gnu-objdump
  command -v "$tool" ||
    die "$tool not found (Debian: binutils$([[ $tool == objdump ]] || echo "-${1//_/-}-linux-gnu"))"
}

# Usage: arch_of FILE
# x86_64 or aarch64, from the ELF header (readelf reads every architecture;
# for an archive, its first member's).
arch_of() {
  local machine
  machine=$(readelf -h -- "$1" 2>/dev/null | awk -F: '/^ *Machine:/ { sub(/^[ \t]+/, "", $2); print $2; exit }')
  case $machine in
    *X86-64*) echo x86_64 ;;
    AArch64) echo aarch64 ;;
    '') die "not an ELF file or archive: $1" ;;
    *) die "no fused multiply-add patterns for $machine: $1" ;;
  esac
}

# Usage: disassemble ARCH REGEX FILE...
# One line per instruction whose mnemonic matches REGEX ("object: function:
# instruction"), then a last line "# OBJECTS INSTRUCTIONS". Archive members
# are named archive(member); every word of an instruction is tested, so
# prefixes such as {vex} or cs cannot hide a mnemonic.
disassemble() {
  local arch=$1 re=$2 objdump; shift 2
  objdump=$(objdump_for "$arch") || exit 1
  "$objdump" -d -C --no-show-raw-insn -- "$@" | awk -v re="$re" '
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
    END { print "#", objects + 0, insns + 0 }' || die "$objdump failed on $*"
}

# Usage: check FILE|DIR...
# Prints the offending instructions to stderr and fails if there are any,
# else prints one line saying how much was checked.
check() {
  local arg file arch files=() found=() x86_64=() aarch64=() offenders= part nfiles nobjects=0 ninsns=0 n
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

  # Every failure below exits explicitly: the self-test runs this inside a
  # condition, where errexit does not apply.
  for file in "${files[@]}"; do
    arch=$(arch_of "$file") || exit 1
    case $arch in x86_64) x86_64+=("$file") ;; aarch64) aarch64+=("$file") ;; esac
  done
  if ((${#x86_64[@]})); then
    part=$(disassemble x86_64 "$X86_64_FMA_RE" "${x86_64[@]}") || exit 1
    offenders+=$part$'\n'
  fi
  if ((${#aarch64[@]})); then
    part=$(disassemble aarch64 "$AARCH64_FMA_RE" "${aarch64[@]}") || exit 1
    offenders+=$part$'\n'
  fi
  # Each part ends with its "# OBJECTS INSTRUCTIONS" line; the rest are offenders.
  while read -r _ n part; do
    nobjects=$((nobjects + n)) ninsns=$((ninsns + part))
  done < <(grep '^# ' <<<"$offenders")
  offenders=$(grep -v -e '^# ' -e '^$' <<<"$offenders") || true
  nfiles=${#files[@]}
  # Nothing disassembled means the patterns above no longer fit objdump's
  # output, which must not pass for a clean build.
  ((ninsns > 0)) || die "objdump gave no instructions for ${files[*]}"
  if [[ -n $offenders ]]; then
    printf '%s\n' "$offenders" >&2
    die "fused multiply-add instructions found (above); every object must be built with -ffp-contract=off and no FMA target"
  fi
  printf 'check-no-fma: %d file(s), %d object(s), %d instructions, no fused multiply-add\n' \
    "$nfiles" "$nobjects" "$ninsns"
}

# Usage: self_test ARCH...
# For each architecture, the checker must flag contracted code (on x86-64
# the FMA3 and FMA4 encodings; on aarch64 the scalar fmadd and, from a loop
# the compiler vectorises, the vector fmla) and pass the same code compiled
# without contraction.
self_test() {
  local arch cxx out variant flags expected variants
  tmp=$(mktemp -d)   # not local: the EXIT trap outlives this function
  trap 'rm -rf "$tmp"' EXIT
  cat >"$tmp/muladd.cpp" <<'EOF_CPP'
float muladd(float a, float b, float c) { return a * b + c; }
void muladd_rows(float* __restrict a, const float* __restrict b, const float* __restrict c, int n) {
    for (int i = 0; i < n; ++i) a[i] = a[i] * b[i] + c[i];
}
EOF_CPP
  for arch in "$@"; do
    cxx=g++
    [[ $arch == "$(uname -m)" ]] || cxx=$arch-linux-gnu-g++
    command -v "$cxx" >/dev/null || die "self-test: $cxx not found"
    # "FLAGS|what the report must contain", empty when it must pass.
    case $arch in
      x86_64) variants=(
        "-mfma -ffp-contract=fast|muladd(float, float, float): vfmadd"
        "-mfma4 -ffp-contract=fast|muladd(float, float, float): vfmadd"
        "-mfma -ffp-contract=off|") ;;
      aarch64) variants=(
        "-ffp-contract=fast|muladd(float, float, float): fmadd"
        "-O3 -ffp-contract=fast|muladd_rows(float*, float const*, float const*, int): fmla"
        "-ffp-contract=off|"
        "-O3 -ffp-contract=off|") ;;
      *) die "self-test: no cases for $arch" ;;
    esac
    for variant in "${variants[@]}"; do
      flags=${variant%%|*} expected=${variant#*|}
      # shellcheck disable=SC2086 # flags are words
      "$cxx" -std=c++20 -O2 $flags -c "$tmp/muladd.cpp" -o "$tmp/muladd.o" ||
        die "self-test: $cxx $flags failed"
      if [[ -n $expected ]]; then
        if out=$( (check "$tmp/muladd.o") 2>&1 ); then
          die "self-test: a*b+c built with $cxx $flags was not flagged"
        fi
        [[ $out == *"$expected"* ]] ||
          die "self-test: a*b+c built with $cxx $flags was not reported as expected:"$'\n'"$out"
      else
        out=$( (check "$tmp/muladd.o") 2>&1 ) ||
          die "self-test: a*b+c built with $cxx $flags was flagged:"$'\n'"$out"
      fi
    done
    case $arch in
      x86_64) echo "check-no-fma: self-test passed on x86_64 (FMA3 and FMA4 a*b+c flagged, -ffp-contract=off clean)" ;;
      aarch64) echo "check-no-fma: self-test passed on aarch64 (scalar fmadd and vector fmla flagged, -ffp-contract=off clean)" ;;
    esac
  done
}

if [[ ${1-} == --self-test ]]; then
  shift
  (($#)) || set -- "$(uname -m)"
  self_test "$@"
else
  check "$@"
fi
